#include "data/data_settings.h"

#include "platform/program_files.h"
#include "platform/stop_signals.h"
#include "platform/user_folders.h"

namespace kestova {

DataSettings DataSettings::defaults() {
  std::error_code error;
  DataSettings settings{std::filesystem::current_path(error), defaultWindowsPrefix()};
  settings.stopRequested = &kestova::stopRequested;
  settings.fileToWrite = [store = virtualStoreFolder()](const std::filesystem::path& file) {
    return virtualStoreCopy(file, store).value_or(file);
  };
  settings.administratorCouldWrite = kestova::administratorCouldWrite();
  settings.startedInTemporaryFolder = isInside(settings.currentDirectory, temporaryFolder());
  return settings;
}

}  // namespace kestova
