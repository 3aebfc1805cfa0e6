#include "warning_box.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QTextEdit>

namespace kestova {

WarningBox::WarningBox(const QString& title, const RunWarning& warning, QWidget* parent)
    : QMessageBox(QMessageBox::Warning, title, warning.text, QMessageBox::Ok, parent) {
  setObjectName("Aviso");
  // Paths and messages are shown as they are, never read as markup.
  setTextFormat(Qt::PlainText);
  setDefaultButton(QMessageBox::Ok);
  setEscapeButton(QMessageBox::Ok);
  if (!warning.details.isEmpty()) setDetailedText(warning.details);
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
  const bool selection = details != nullptr && details->isVisible() && details->textCursor().hasSelection();
  if (event->matches(QKeySequence::Copy) && !selection) {
    QGuiApplication::clipboard()->setText(copyText());
    event->accept();
    return;
  }
  QMessageBox::keyPressEvent(event);
}

}  // namespace kestova
