#include "platform/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace kestova {

namespace {

// The value of an environment variable that holds an absolute path, or null.
const char* absolutePathIn(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value == '/' ? value : nullptr;
}

}  // namespace

std::filesystem::path homeFolder() {
  if (const char* home = absolutePathIn("HOME")) return home;
  const passwd* user = ::getpwuid(::getuid());
  return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "/";
}

std::filesystem::path defaultWindowsPrefix() {
  if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0')
    return prefix;
  return homeFolder() / ".wine";
}

std::filesystem::path stateFolder() {
  // As the XDG base directory rules ask: a relative path there is ignored.
  if (const char* state = absolutePathIn("XDG_STATE_HOME"))
    return std::filesystem::path(state) / "kestova";
  return homeFolder() / ".local" / "state" / "kestova";
}

}  // namespace kestova
