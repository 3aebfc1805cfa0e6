#include <QApplication>

#include "frm_ppal.h"

// The program takes no command line: Qt is handed the program name only.
int main(int, char* argv[]) {
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  kestova::Frm_ppal::substituteClassicFont();
  kestova::Frm_ppal window;
  window.show();
  return application.exec();
}
