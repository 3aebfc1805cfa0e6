#include "app/qt/qt_window.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include "app/qt/frm_ppal.h"
#include "app/qt/warning_box.h"
#include "platform/stop_signals.h"

namespace kestova {

namespace {

// Eats what a person does with mouse, keyboard, wheel or touch while it is
// installed on the application.
class InputSwallower : public QObject {
 public:
  InputSwallower() { qApp->installEventFilter(this); }
  ~InputSwallower() override { qApp->removeEventFilter(this); }

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

}  // namespace

void QtWindow::showPercentLabel() {
  form_.Lbl_porcentaje()->setVisible(true);
}

void QtWindow::paintPercentText(const std::string& text) {
  QLabel* label = form_.Lbl_porcentaje();
  label->setText(QString::fromStdString(text));
  label->repaint();
}

std::string QtWindow::decimalSeparator() const {
  return QLocale().decimalPoint().toStdString();
}

void QtWindow::setHourglass(bool on) {
  if (on)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void QtWindow::serveWithoutInput() {
  // Input the display server sent stays queued (and is dropped at the end of
  // the run); input posted inside the program is swallowed here.
  InputSwallower swallower;
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void QtWindow::showWarning(const std::string& text, const std::string& details) {
  form_.reportFailures({QString::fromStdString(text), QString::fromStdString(details)});
}

std::string QtWindow::caption() const {
  return form_.Cmd_Comenzar_Salir()->text().toStdString();
}

void QtWindow::setCaption(const std::string& caption) {
  form_.Cmd_Comenzar_Salir()->setText(QString::fromStdString(caption));
}

void QtWindow::close() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog != nullptr && dialog->isVisible()) dialog->reject();
  }
  form_.close();
}

// The run never yields to the event loop, so a click or key press made while
// it worked waits in the queue and would be delivered when the handler
// returns. Everything the display server had sent by now is fetched and the
// input among it dropped, while other events (paints, moves, focus) are
// handled as usual: QGuiApplication::sync() processes the queue, makes a round
// trip to the server, so that no event it sent earlier is still on its way,
// and processes the queue again. A display plugin (xcb) hands events over from
// a reader thread, so input keeps being dropped for a short settling time
// after the round trip; nobody reacts to a result that fast. Offscreen there
// is no display and nothing to settle. (Event timestamps were the other
// candidate, but the server's clock cannot be read through Qt, and synthetic
// events carry none.)
void QtWindow::dropQueuedInput() {
  constexpr int kSettleMs = 30;
  InputSwallower swallower;
  QGuiApplication::sync();
  const QString platform = QGuiApplication::platformName();
  if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal")) {
    QEventLoop settle;
    QTimer::singleShot(kSettleMs, &settle, &QEventLoop::quit);
    settle.exec();
  }
}

void QtWindow::wakeOnStopRequest(std::function<void()> wake) {
  const std::intptr_t pipe = stopNotifier();
  if (pipe < 0) return;
  auto* notifier = new QSocketNotifier(pipe, QSocketNotifier::Read, &form_);
  QObject::connect(notifier, &QSocketNotifier::activated, &form_,
                   [notifier, wake = std::move(wake)] {
                     // The pipe stays readable: one request is acted on once.
                     notifier->setEnabled(false);
                     wake();
                   });
}

}  // namespace kestova
