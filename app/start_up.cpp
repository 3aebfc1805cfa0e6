#include "start_up.h"

#include <signal.h>

#include <QApplication>
#include <QDialog>
#include <QLibraryInfo>
#include <QSocketNotifier>
#include <QTranslator>

#include "stop_signals.h"

namespace kestova {

bool installQtSpanish(QTranslator& translator) {
  if (!translator.load(QStringLiteral("qtbase_es"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return false;
  return QCoreApplication::installTranslator(&translator);
}

void closeOnStopRequest(QWidget& window) {
  const int pipe = stopNotifier();
  if (pipe < 0) return;
  auto* notifier = new QSocketNotifier(pipe, QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [notifier, &window] {
    // The pipe stays readable: one request is acted on once.
    notifier->setEnabled(false);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<QDialog*>(widget);
      if (dialog != nullptr && dialog->isVisible()) dialog->reject();
    }
    window.close();
  });
}

int endStatus(int status) {
  const int signal = stopSignal();
  if (signal <= 0) return status;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  ::raise(signal);
  return 128 + signal;
}

}  // namespace kestova
