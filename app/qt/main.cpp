#include <QApplication>
#include <QTranslator>
#include <iostream>

#include "app/qt/frm_ppal.h"
#include "app/qt/start_up.h"
#include "app/run_control.h"
#include "data/data_environment.h"
#include "platform/stop_signals.h"

// The program takes no command line: Qt is handed the program name only.
int main(int, char* argv[]) {
  // Before anything else, so that a stop request is never lost; the handlers
  // only set a flag and wake the event loop.
  kestova::installStopSignals();
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  QTranslator qtSpanish;
  if (!kestova::installQtSpanish(qtSpanish))
    std::cerr << "kestova: falta la traducción de Qt al español (qtbase_es); los botones "
                 "estándar se verán en inglés\n";
  kestova::Frm_ppal::substituteClassicFont();
  kestova::Frm_ppal window;
  window.runControl().closeOnStopRequest();
  window.show();
  const int status = application.exec();
  // Closing checkpoints the main file, so it alone holds every saved row.
  kestova::DataEnvironment2::releaseInstance();
  return kestova::endStatus(status);
}
