#include <windows.h>
// Included after windows.h, which it needs.
#include <commctrl.h>

#include "app/run_control.h"
#include "app/win32/frm_ppal.h"
#include "app/win32/win32_window.h"
#include "data/data_environment.h"
#include "platform/stop_signals.h"

// The program takes no command line. Standard error goes nowhere in a
// Windows program: what a person must know is in the warning.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything else, so that a stop request is never lost.
  kestova::installStopSignals();
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  int status = 0;
  {
    kestova::Frm_ppal window;
    window.runControl().closeOnStopRequest();
    window.show();
    status = window.window().exec();
  }
  // Closing checkpoints the main file, so it alone holds every saved row.
  kestova::DataEnvironment2::releaseInstance();
  return kestova::endStatus(status);
}
