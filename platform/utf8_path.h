#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestova {

// Kestova's texts are UTF-8 on every system. A path made from a plain string
// would read it in the system's code page on Windows ("á" as two letters), so
// paths and texts meet only through these two.
inline std::filesystem::path pathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace kestova
