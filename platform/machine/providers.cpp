// DataStoreStatus and MSSmBios_RawSMBiosTables (root\wmi), and QZ_CommonLogEntry,
// QZ_WinComputerSystem and QZ_ComputerSystemChassis (root\VXN), answered from the current machine.
#include "machine/providers.h"

#include <oleauto.h>

#include <cstring>

#include "kernel32/text.h"
#include "machine/machine.h"
#include "wbem/provider.h"
#include "wbem/repository.h"

namespace qz::machine {
namespace {

using wbem::ClassBuilder;
using wbem::ClassDef;
using wbem::ObjectStream;
using wbem::TimedObject;

constexpr wchar_t kWmiNamespace[] = L"root\\wmi";
constexpr wchar_t kVxnNamespace[] = L"root\\VXN";

CComVariant ByteArray(const std::vector<uint8_t>& bytes) {
  CComVariant value;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (!array) return value;
  void* data = nullptr;
  if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
  }
  value.vt = VT_ARRAY | VT_UI1;
  value.parray = array;
  return value;
}

// Puts each (name, value) pair; a value that does not fit is a fault of this file, not of a caller.
HRESULT Fill(IWbemClassObject* instance, std::initializer_list<std::pair<const wchar_t*, CComVariant>> values) {
  for (const auto& [name, value] : values) {
    CComVariant copy(value);
    HRESULT hr = instance->Put(name, 0, &copy, 0);
    if (FAILED(hr)) return hr;
  }
  return WBEM_S_NO_ERROR;
}

// Instances of one class built from the machine by `build`, spaced by the machine's answer delay.
class MachineProvider : public wbem::InstanceProvider {
 public:
  using Builder = HRESULT (*)(const Machine& machine, const std::shared_ptr<const ClassDef>& cls,
                              std::vector<CComPtr<IWbemClassObject>>* out);
  MachineProvider(std::wstring nameSpace, Builder build) : m_Namespace(std::move(nameSpace)), m_Build(build) {}

  HRESULT Enumerate(const ClassDef& cls, IWbemContext*, ObjectStream* out) override {
    std::shared_ptr<const ClassDef> def = wbem::Repository::Instance().FindClass(m_Namespace, cls.name);
    if (!def) return WBEM_E_INVALID_CLASS;
    std::shared_ptr<const Machine> machine = Current();
    std::vector<CComPtr<IWbemClassObject>> instances;
    HRESULT hr = m_Build(*machine, def, &instances);
    if (FAILED(hr)) return hr;
    uint32_t delay = 0;
    auto it = machine->answerDelayMs.find(ToUtf8(cls.name));
    if (it != machine->answerDelayMs.end()) delay = it->second;
    wbem::Clock::time_point ready = wbem::Clock::now();
    for (auto& instance : instances) {
      ready += std::chrono::milliseconds(delay);
      out->push_back(TimedObject{instance, ready});
    }
    return WBEM_S_NO_ERROR;
  }

 private:
  std::wstring m_Namespace;
  Builder m_Build;
};

HRESULT NewInstance(const std::shared_ptr<const ClassDef>& cls, std::vector<CComPtr<IWbemClassObject>>* out,
                    IWbemClassObject** instance) {
  CComPtr<IWbemClassObject> object;
  HRESULT hr = wbem::ClassObject::Create(cls, true, &object);
  if (FAILED(hr)) return hr;
  out->push_back(object);
  *instance = object;
  return WBEM_S_NO_ERROR;
}

HRESULT BuildDataStoreStatus(const Machine& machine, const std::shared_ptr<const ClassDef>& cls,
                             std::vector<CComPtr<IWbemClassObject>>* out) {
  if (!machine.dataStore.present) return WBEM_S_NO_ERROR;
  IWbemClassObject* instance = nullptr;
  HRESULT hr = NewInstance(cls, out, &instance);
  if (FAILED(hr)) return hr;
  return Fill(instance, {{L"InstanceName", CComVariant(L"DataStore_0")},
                         {L"Active", CComVariant(true)},
                         {L"DataAvailable", CComVariant(machine.dataStore.dataAvailable)}});
}

HRESULT BuildRawSmbiosTables(const Machine& machine, const std::shared_ptr<const ClassDef>& cls,
                             std::vector<CComPtr<IWbemClassObject>>* out) {
  if (!machine.smbios.present) return WBEM_S_NO_ERROR;
  IWbemClassObject* instance = nullptr;
  HRESULT hr = NewInstance(cls, out, &instance);
  if (FAILED(hr)) return hr;
  return Fill(instance, {{L"InstanceName", CComVariant(L"SMBiosData")},
                         {L"Active", CComVariant(true)},
                         {L"Used20CallingMethod", CComVariant(false)},
                         {L"SmbiosMajorVersion", CComVariant(static_cast<int>(machine.smbios.major))},
                         {L"SmbiosMinorVersion", CComVariant(static_cast<int>(machine.smbios.minor))},
                         {L"DmiRevision", CComVariant(0)},
                         {L"Size", CComVariant(static_cast<int>(machine.smbios.table.size()))},
                         {L"SMBiosData", ByteArray(machine.smbios.table)}});
}

HRESULT BuildJournal(const Machine& machine, const std::shared_ptr<const ClassDef>& cls,
                     std::vector<CComPtr<IWbemClassObject>>* out) {
  int record = 0;
  for (const JournalEntry& entry : machine.journal) {
    IWbemClassObject* instance = nullptr;
    HRESULT hr = NewInstance(cls, out, &instance);
    if (FAILED(hr)) return hr;
    hr = Fill(instance, {{L"RecordNumber", CComVariant(++record)},
                         {L"Severity", CComVariant(static_cast<int>(entry.severity))},
                         {L"Description", CComVariant(FromUtf8(entry.description).c_str())},
                         {L"RawData", ByteArray(entry.rawData)}});
    if (FAILED(hr)) return hr;
  }
  return WBEM_S_NO_ERROR;
}

// The computer system's name is the machine's fully qualified DNS name, as the module reads it first.
std::string ComputerSystemName(const Machine& machine) {
  const ComputerNames& names = machine.names;
  return !names.dnsFullyQualified.empty() ? names.dnsFullyQualified
         : !names.dnsHostname.empty()     ? names.dnsHostname
                                          : names.netBios;
}

HRESULT BuildComputerSystem(const Machine& machine, const std::shared_ptr<const ClassDef>& cls,
                            std::vector<CComPtr<IWbemClassObject>>* out) {
  IWbemClassObject* instance = nullptr;
  HRESULT hr = NewInstance(cls, out, &instance);
  if (FAILED(hr)) return hr;
  const std::wstring name = FromUtf8(ComputerSystemName(machine));
  return Fill(instance, {{L"CreationClassName", CComVariant(L"QZ_WinComputerSystem")},
                         {L"Name", CComVariant(name.c_str())},
                         {L"Caption", CComVariant(name.c_str())},
                         {L"Description", CComVariant(FromUtf8(machine.name).c_str())}});
}

HRESULT BuildChassis(const Machine& machine, const std::shared_ptr<const ClassDef>& cls,
                     std::vector<CComPtr<IWbemClassObject>>* out) {
  for (const Chassis& chassis : machine.chassis) {
    IWbemClassObject* instance = nullptr;
    HRESULT hr = NewInstance(cls, out, &instance);
    if (FAILED(hr)) return hr;
    const std::wstring system =
        FromUtf8(chassis.computerSystem.empty() ? ComputerSystemName(machine) : chassis.computerSystem);
    hr = Fill(instance, {{L"CreationClassName", CComVariant(L"QZ_ComputerSystemChassis")},
                         {L"Tag", CComVariant(FromUtf8(chassis.tag).c_str())},
                         {L"ComputerSystemName", CComVariant(system.c_str())}});
    if (FAILED(hr)) return hr;
  }
  return WBEM_S_NO_ERROR;
}

void Define(wbem::Repository& repository, const wchar_t* nameSpace, const ClassBuilder& builder,
            MachineProvider::Builder build) {
  std::shared_ptr<const ClassDef> def = builder.Build();
  if (!def) return;
  repository.PutClass(nameSpace, *def);
  wbem::RegisterInstanceProvider(nameSpace, def->name, std::make_shared<MachineProvider>(nameSpace, build));
}

}  // namespace

void InstallMachineClasses(wbem::Repository& repository) {
  repository.CreateNamespace(kWmiNamespace);
  repository.CreateNamespace(kVxnNamespace);
  Define(repository, kWmiNamespace,
         ClassBuilder(L"DataStoreStatus").AddKey(L"InstanceName", CIM_STRING).AddProperty(L"Active", CIM_BOOLEAN)
             .AddProperty(L"DataAvailable", CIM_BOOLEAN),
         &BuildDataStoreStatus);
  Define(repository, kWmiNamespace,
         ClassBuilder(L"MSSmBios_RawSMBiosTables").AddKey(L"InstanceName", CIM_STRING)
             .AddProperty(L"Active", CIM_BOOLEAN).AddProperty(L"Used20CallingMethod", CIM_BOOLEAN)
             .AddProperty(L"SmbiosMajorVersion", CIM_UINT8).AddProperty(L"SmbiosMinorVersion", CIM_UINT8)
             .AddProperty(L"DmiRevision", CIM_UINT8).AddProperty(L"Size", CIM_UINT32)
             .AddProperty(L"SMBiosData", CIM_UINT8 | CIM_FLAG_ARRAY),
         &BuildRawSmbiosTables);
  Define(repository, kVxnNamespace,
         ClassBuilder(L"QZ_CommonLogEntry").AddKey(L"RecordNumber", CIM_UINT32).AddProperty(L"Severity", CIM_UINT32)
             .AddProperty(L"Description", CIM_STRING).AddProperty(L"RawData", CIM_UINT8 | CIM_FLAG_ARRAY),
         &BuildJournal);
  Define(repository, kVxnNamespace,
         ClassBuilder(L"QZ_WinComputerSystem").AddKey(L"CreationClassName", CIM_STRING).AddKey(L"Name", CIM_STRING)
             .AddProperty(L"Caption", CIM_STRING).AddProperty(L"Description", CIM_STRING),
         &BuildComputerSystem);
  Define(repository, kVxnNamespace,
         ClassBuilder(L"QZ_ComputerSystemChassis").AddKey(L"CreationClassName", CIM_STRING).AddKey(L"Tag", CIM_STRING)
             .AddProperty(L"ComputerSystemName", CIM_STRING),
         &BuildChassis);
}

}  // namespace qz::machine
