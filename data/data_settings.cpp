#include "data/data_settings.h"

#include "platform/stop_signals.h"
#include "platform/user_folders.h"

namespace kestova {

DataSettings DataSettings::defaults() {
  std::error_code error;
  DataSettings settings{std::filesystem::current_path(error), defaultWindowsPrefix()};
  settings.stopRequested = &kestova::stopRequested;
  return settings;
}

}  // namespace kestova
