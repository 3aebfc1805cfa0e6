#include "app/qt/warning_box.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QTextEdit>
#include <algorithm>

namespace kestova {

WarningBox::WarningBox(const QString& title, const RunWarning& warning, QWidget* parent)
    : QMessageBox(QMessageBox::Warning, title, warning.text, QMessageBox::Ok, parent) {
  setObjectName("Aviso");
  // Paths and messages are shown as they are, never read as markup.
  setTextFormat(Qt::PlainText);
  setDefaultButton(QMessageBox::Ok);
  setEscapeButton(QMessageBox::Ok);
  if (!warning.details.isEmpty()) setDetailedText(warning.details);

  // A message box wraps its text at about 500 pixels, which breaks a path or
  // a table's row counts in the middle. Each line gets the width it needs,
  // up to most of the screen.
  if (auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
    int widest = 0;
    for (const QString& line : warning.text.split('\n'))
      widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
    const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
    const int room =
        std::min(800, screen != nullptr ? screen->availableGeometry().width() * 3 / 4 : 800);
    label->setMinimumWidth(std::min(widest + 1, room));
  }
}

QString WarningBox::copyText() const {
  const QString rule = QStringLiteral("---------------------------\n");
  QString text = rule + windowTitle() + '\n' + rule + this->text() + '\n' + rule;
  for (const QAbstractButton* button : buttons()) text += button->text() + QStringLiteral("   ");
  text += '\n' + rule;
  if (!detailedText().isEmpty()) text += detailedText() + '\n' + rule;
  return text;
}

void WarningBox::keyPressEvent(QKeyEvent* event) {
  // A selection in the open details is copied as it is; otherwise the whole box.
  const QTextEdit* details = findChild<QTextEdit*>();
  const bool selection =
      details != nullptr && details->isVisible() && details->textCursor().hasSelection();
  if (event->matches(QKeySequence::Copy) && !selection) {
    QGuiApplication::clipboard()->setText(copyText());
    event->accept();
    return;
  }
  QMessageBox::keyPressEvent(event);
}

}  // namespace kestova
