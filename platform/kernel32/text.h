// Conversions between the process's wide strings and the UTF-8 of Linux file names and databases.
#pragma once

#include <string>
#include <string_view>

namespace qz {

std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// Upper case of the ASCII letters only, as Windows compares object and key names.
std::wstring UpperAscii(std::wstring_view text);

}  // namespace qz
