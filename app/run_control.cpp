#include "run_control.h"

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <iostream>

#include "data_environment.h"
#include "frm_ppal.h"
#include "progress_text.h"
#include "step_runner.h"
#include "stop_signals.h"
#include "warning_box.h"

namespace kestova {

namespace {

constexpr std::int64_t kWhole = 10000;  // 100.00 %, in hundredths

// Eats what a person does with mouse, keyboard, wheel or touch.
class InputSwallower : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::NonClientAreaMouseButtonPress:
      case QEvent::NonClientAreaMouseButtonRelease:
      case QEvent::NonClientAreaMouseButtonDblClick:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::Wheel:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
      case QEvent::TouchCancel:
      case QEvent::TabletPress:
      case QEvent::TabletRelease:
      case QEvent::ContextMenu:
        return true;
      default:
        return false;
    }
  }
};

// The run never yields to the event loop, so a click or key press made while
// it worked waits in the queue and would be delivered when the handler
// returns: a double click on "Comenzar" would meet "Salir" and close the
// window before the person saw the result. Everything the display server had
// sent by the end of the run is fetched and the input among it dropped, while
// other events (paints, moves, focus) are handled as usual:
// QGuiApplication::sync() processes the queue, makes a round trip to the
// server, so that no event it sent earlier is still on its way, and processes
// the queue again. A display plugin (xcb) hands events over from a reader
// thread, so input keeps being dropped for a short settling time after the
// round trip; nobody reacts to a result that fast. Offscreen there is no
// display and nothing to settle. Input made after this acts normally.
// (Event timestamps were the other candidate, but the server's clock cannot
// be read through Qt, and synthetic events carry none.)
void discardQueuedInput() {
  constexpr int kSettleMs = 30;
  InputSwallower swallower;
  qApp->installEventFilter(&swallower);
  QGuiApplication::sync();
  const QString platform = QGuiApplication::platformName();
  if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal")) {
    QEventLoop settle;
    QTimer::singleShot(kSettleMs, &settle, &QEventLoop::quit);
    settle.exec();
  }
  qApp->removeEventFilter(&swallower);
}

RunFiles filesOf(DataEnvironment2& environment) {
  const auto& tables = runTables();
  RunFiles files;
  files.main = environment.commandOf(tables.front()->target).connection->path().string();
  files.update = environment.commandOf(tables.front()->source).connection->path().string();
  for (const TableDefinition* table : tables)
    files.updateTables.push_back(environment.commandOf(table->source).table);
  return files;
}

}  // namespace

RunControl::RunControl(Frm_ppal& window, std::function<DataEnvironment2&()> environment)
    : window_(window), environment_(std::move(environment)) {}

void RunControl::click() {
  if (running_) return;  // input is dropped while the run serves the window
  // The comparison is exact: "salir" or "Salir " start a run.
  if (window_.Cmd_Comenzar_Salir()->text() == QStringLiteral("Salir")) {
    window_.close();
    return;
  }
  run();
}

void RunControl::run() {
  report_ = RunReport();
  StepRunner steps(report_);
  progressCounter_ = 0;
  rowTotal_ = 0;
  pendingHundredths_ = shownHundredths_ = -1;

  steps.run("Mostrar el porcentaje", [&] { window_.Lbl_porcentaje()->setVisible(true); });

  DataEnvironment2* environment = nullptr;
  running_ = true;
  lastServed_ = {};
  steps.run("Tomar DataEnvironment2", [&] { environment = &environment_(); });
  hourglass_ = false;
  RunFiles files;
  if (environment != nullptr) {
    environment->setWhileWaiting([this] { serveWindow(clock_()); });
    runUpdate(*environment, *this, steps);
    steps.run("Nombrar los archivos", [&] { files = filesOf(*environment); });
  }
  running_ = false;
  steps.run("Quitar el reloj de arena", [&] {
    if (hourglass_) QApplication::restoreOverrideCursor();
    hourglass_ = false;
  });
  // Every row counts as begun at the end, also those of a table that could
  // not be opened, and when there was nothing to count.
  steps.run("Mostrar el porcentaje final", [&] { show(kWhole, clock_()); });

  finish(files, steps);
}

void RunControl::finish(const RunFiles& files, StepRunner& steps) {
  // Stopped from outside: whoever asked the program to end is told on
  // standard error what was saved, and the window closes without a word.
  if (stopRequested()) {
    std::cerr << "kestova: la actualización se detuvo a pedido ("
              << (stopSignal() > 0 ? "señal " + std::to_string(stopSignal())
                                   : std::string("se cerró la ventana"))
              << ")\n"
              << report_.details() << std::flush;
    window_.close();
    return;
  }
  std::cerr << (report_.clean() ? report_.notes() : report_.details()) << std::flush;
  steps.run("Descartar lo pulsado durante la actualización", [] { discardQueuedInput(); });
  if (stopRequested()) {
    window_.close();
    return;
  }
  if (!report_.clean()) {
    const RunWarning warning{QString::fromStdString(report_.summary(files)),
                             QString::fromStdString(report_.details())};
    steps.run("Informar los errores", [&] { window_.reportFailures(warning); });
  }
  steps.run("Cambiar el botón a Salir",
            [&] { window_.Cmd_Comenzar_Salir()->setText(QStringLiteral("Salir")); });
}

void RunControl::tablesBegin(std::int32_t rowTotal) {
  rowTotal_ = rowTotal;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  hourglass_ = true;
}

void RunControl::advance() {
  ++progressCounter_;
  // With no row total (the counts could not be read) the label keeps its text
  // until the end; that failure was recorded where the total was taken.
  if (rowTotal_ <= 0) return;
  pendingHundredths_ = percentHundredths(progressCounter_, rowTotal_);
  if (pendingHundredths_ == shownHundredths_) return;
  // A screen shows at most one frame per 1/60 s: more repaints cost the run
  // a round trip to the display each and show nothing more.
  const auto now = clock_();
  if (shownHundredths_ >= 0 && now - lastPaint_ < kFrame) return;
  show(pendingHundredths_, now);
}

void RunControl::tableEnd() {
  showPending();
}

void RunControl::tablesEnd() {
  showPending();
}

void RunControl::showPending() {
  if (pendingHundredths_ >= 0 && pendingHundredths_ != shownHundredths_)
    show(pendingHundredths_, clock_());
}

void RunControl::show(std::int64_t hundredths, std::chrono::steady_clock::time_point now) {
  if (hundredths == shownHundredths_) return;
  shownHundredths_ = hundredths;
  lastPaint_ = now;
  QLabel* label = window_.Lbl_porcentaje();
  label->setText(percentText(hundredths));
  label->repaint();
  ++repaints_;
  serveWindow(now);
}

void RunControl::serveWindow(std::chrono::steady_clock::time_point now) {
  if (!running_ || (lastServed_ != decltype(lastServed_){} && now - lastServed_ < kFrame)) return;
  lastServed_ = now;
  // Input the display server sent stays queued (and is dropped at the end of
  // the run); input posted inside the program is swallowed here.
  InputSwallower swallower;
  qApp->installEventFilter(&swallower);
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  qApp->removeEventFilter(&swallower);
}

}  // namespace kestova
