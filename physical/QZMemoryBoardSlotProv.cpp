// The memory board slot provider's class description.
#include "physical/QZMemoryBoardSlotProv.h"

#include <iterator>

namespace {

constexpr KeyDescription kMemoryBoardSlotKeys[] = {
    {L"Tag", KeyMatch::Record, nullptr},
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_MemoryBoardSlot"},
};

}  // namespace

const ProviderDescription kMemoryBoardSlotProviderDescription = {
    kBoardSlotClass.className, L"CQZMemoryBoardSlotProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryBoardSlotKeys,      std::size(kMemoryBoardSlotKeys), false,
};
