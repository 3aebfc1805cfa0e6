#include "app/qt/start_up.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace kestova {

namespace {

// The warning's details button in the words the program's documents use,
// looked up before Qt's own translation ("Mostrar los detalles...").
class DetailsButtonTexts : public QTranslator {
 public:
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): Qt's own signature
  QString translate(const char* context, const char* sourceText, const char* disambiguation,
                    int n) const override {
    (void)disambiguation;
    (void)n;
    if (qstrcmp(context, "QMessageBox") != 0) return {};
    if (qstrcmp(sourceText, "Show Details...") == 0) return QStringLiteral("Mostrar detalles…");
    if (qstrcmp(sourceText, "Hide Details...") == 0) return QStringLiteral("Ocultar detalles…");
    return {};
  }
  bool isEmpty() const override { return false; }
};

}  // namespace

bool installQtSpanish(QTranslator& translator) {
  if (!translator.load(QStringLiteral("qtbase_es"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(&translator))
    return false;
  static DetailsButtonTexts detailsButton;
  QCoreApplication::installTranslator(&detailsButton);
  return true;
}

}  // namespace kestova
