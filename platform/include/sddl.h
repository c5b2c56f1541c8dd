// Security descriptors written in the security descriptor definition language.
#pragma once

#include "errhandlingapi.h"

#define SDDL_REVISION_1 1
#define SDDL_REVISION SDDL_REVISION_1

// Parses the text into a self-relative descriptor that the caller frees with LocalFree.
WINBASEAPI BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision, PSECURITY_DESCRIPTOR* SecurityDescriptor,
    PULONG SecurityDescriptorSize);
