#include "app/run_control.h"

#include <iostream>

#include "app/run_progress.h"
#include "app/window.h"
#include "data/data_environment.h"
#include "platform/stop_signals.h"
#include "sync/step_runner.h"

namespace kestova {

namespace {

constexpr std::int64_t kWhole = 10000;  // 100.00 %, in hundredths
constexpr char kSalir[] = "Salir";

}  // namespace

RunControl::RunControl(Window& window, std::function<DataEnvironment2&()> environment)
    : window_(window), environment_(std::move(environment)), display_(window) {}

void RunControl::click() {
  if (running()) return;  // input is dropped while the run serves the window
  // The comparison is exact: "salir" or "Salir " start a run.
  if (window_.caption() == kSalir) {
    window_.close();
    return;
  }
  run();
}

bool RunControl::closeRequested() {
  if (!running()) return true;
  requestStop(0);
  return false;
}

void RunControl::closeOnStopRequest() {
  window_.wakeOnStopRequest([this] { window_.close(); });
}

void RunControl::run() {
  report_ = RunReport();
  StepRunner steps(report_);
  steps.run("Mostrar el porcentaje", [&] { window_.showPercentLabel(); });
  const RunFiles files = update(steps);
  // Every row counts as begun at the end, also those of a table that could
  // not be opened, and when there was nothing to count.
  steps.run("Mostrar el porcentaje final", [&] { display_.show(kWhole); });
  finish(files, steps);
}

RunFiles RunControl::update(StepRunner& steps) {
  display_.beginRun();
  DataEnvironment2* environment = nullptr;
  steps.run("Tomar DataEnvironment2", [&] { environment = &environment_(); });
  RunFiles files;
  if (environment != nullptr) {
    environment->setWhileWaiting([this] { display_.serve(); });
    RunProgress progress(window_, display_);
    files = runUpdate(*environment, progress, steps);
  }
  display_.endRun();
  return files;
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
  steps.run("Descartar lo pulsado durante la actualización", [&] { window_.dropQueuedInput(); });
  if (stopRequested()) {
    window_.close();
    return;
  }
  if (!report_.clean()) {
    const std::string text = report_.summary(files), details = report_.details();
    steps.run("Informar los errores", [&] { window_.showWarning(text, details); });
  }
  steps.run("Cambiar el botón a Salir", [&] { window_.setCaption(kSalir); });
}

}  // namespace kestova
