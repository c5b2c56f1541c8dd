// The WMI classes that the managed machine's other software publishes (the data store's status,
// the raw SMBIOS table, the management journal, the computer system and its chassis) and the
// providers that answer them from the current machine description.
#pragma once

namespace qz::wbem {
class Repository;
}

namespace qz::machine {

// Defines the classes in root\wmi and root\VXN and registers their providers.
void InstallMachineClasses(qz::wbem::Repository& repository);

}  // namespace qz::machine
