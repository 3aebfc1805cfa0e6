#pragma once

class QTranslator;
class QWidget;

namespace kestova {

// What main() does around the window: Qt's own texts in Spanish, and an end
// that a stop request (SIGTERM, SIGINT, SIGHUP) can bring about cleanly.

// Loads Qt's own Spanish translation of its standard texts (qtbase_es, from
// Qt's translations folder) into `translator` and installs it, whatever the
// locale: Kestova speaks Spanish everywhere. False when it is not installed.
bool installQtSpanish(QTranslator& translator);

// Once a stop has been requested and the event loop is idle (or waiting in a
// dialog), closes every open dialog and then `window`, so that the program
// ends. Requires: installStopSignals() was called; `window` owns the watch.
void closeOnStopRequest(QWidget& window);

// The status to end with: `status`, or, when a signal asked the program to
// stop, that signal's own ending: its default action is restored and the
// signal raised again, so the parent sees the program end by it (128 +
// signal is returned only if the signal did not end the process).
int endStatus(int status);

}  // namespace kestova
