// The system memory association provider's class description.
#include "logical/QZWinSystemMemoryProv.h"

const ProviderDescription kWinSystemMemoryProviderDescription = {
    kWinSystemMemoryClass, L"CQZWinSystemMemoryProv", nullptr, false, WBEMPATH_INFO_IS_INST_REF,
    kGroupPartKeys,        2,                         false,
};
