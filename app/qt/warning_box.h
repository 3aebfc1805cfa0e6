#pragma once

#include <QMessageBox>
#include <QString>

namespace kestova {

// What a person is told when a run ends with failures: the main text in their
// words, and the details (every recorded failure with its object names, steps
// and the database's own messages) for whoever helps them.
struct RunWarning {
  QString text;
  QString details;
};

// The warning box: Qt's standard warning, its buttons in the language of the
// Qt translation loaded ("Aceptar", "Mostrar detalles…"), the details
// closed until asked for. Ctrl+C copies the whole box, as message boxes do on
// Windows, so that it can be pasted into a message to whoever helps.
class WarningBox : public QMessageBox {
 public:
  WarningBox(const QString& title, const RunWarning& warning, QWidget* parent = nullptr);

  // The title, the text, the buttons and the details, between rules.
  QString copyText() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace kestova
