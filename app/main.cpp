#include <QApplication>

#include "data_environment.h"
#include "frm_ppal.h"

// The program takes no command line: Qt is handed the program name only.
int main(int, char* argv[]) {
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  kestova::Frm_ppal::substituteClassicFont();
  kestova::Frm_ppal window;
  window.show();
  const int status = application.exec();
  // Closing checkpoints the main file, so it alone holds every saved row.
  kestova::DataEnvironment2::releaseInstance();
  return status;
}
