#pragma once

// An X display for the measures that show the program's real window. When
// DISPLAY is set, that display is used as it is. When it is not, an Xvfb
// server of our own is started on the first free display number from 99 up
// (`Xvfb :N -screen 0 1024x768x24 -nolisten tcp`), waited for until it
// accepts connections, and DISPLAY is set to it for this process and the
// children it starts. The server is ended when the object goes, and by the
// kernel should this process die first (it gets SIGTERM when its parent goes).

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace kestova::bench {

class XDisplay {
 public:
  // `log`: where our own server's output goes. Throws std::runtime_error when
  // no server could be started (its log's end in the message).
  explicit XDisplay(const std::filesystem::path& log);
  ~XDisplay();

  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  // ":N", as DISPLAY now reads.
  const std::string& name() const { return name_; }
  // True when the server is ours (DISPLAY was unset).
  bool started() const { return server_ > 0; }

 private:
  // Starts Xvfb on :number; true once it accepts connections, false (and no
  // server left behind) when it ended first, as it does when the number is taken.
  bool tryStart(int number, const std::filesystem::path& log);
  void stop();

  std::string name_;
  pid_t server_ = -1;
};

}  // namespace kestova::bench
