#pragma once

#include <filesystem>

namespace kestova {

// The folders of the user who runs the program, as this system names them.

// The home folder: $HOME when it is an absolute path, else the one the user
// database names, else the root; never a path relative to wherever the
// program was started. On Windows the user's profile folder.
std::filesystem::path homeFolder();

// The Windows prefix of this process, whose drive_c stands for drive C::
// $WINEPREFIX, else ~/.wine. Empty on Windows, where drive C: is itself.
std::filesystem::path defaultWindowsPrefix();

// The folder where Kestova keeps what it must remember between runs:
// $XDG_STATE_HOME/kestova when that is an absolute path, else
// ~/.local/state/kestova; on Windows %LOCALAPPDATA%\Kestova. It may not
// exist yet.
std::filesystem::path stateFolder();

}  // namespace kestova
