#pragma once

#include <string>
#include <string_view>

namespace kestova {

// The program's texts are UTF-8; the Windows API's W functions take UTF-16.
// Invalid sequences become U+FFFD.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace kestova
