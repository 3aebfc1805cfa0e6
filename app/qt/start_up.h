#pragma once

class QTranslator;

namespace kestova {

// What main() does around the window: Qt's own texts in Spanish, and an end
// that a stop request (SIGTERM, SIGINT, SIGHUP) can bring about cleanly.

// Loads Qt's own Spanish translation of its standard texts (qtbase_es, from
// Qt's translations folder) into `translator` and installs it, whatever the
// locale: Kestova speaks Spanish everywhere. False when it is not installed.
bool installQtSpanish(QTranslator& translator);

}  // namespace kestova
