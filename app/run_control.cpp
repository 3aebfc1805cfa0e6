#include "run_control.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <iostream>

#include "data_environment.h"
#include "database_error.h"
#include "frm_ppal.h"
#include "progress_text.h"
#include "step_runner.h"

namespace kestova {

RunControl::RunControl(Frm_ppal& window, std::function<DataEnvironment2&()> environment)
    : window_(window), environment_(std::move(environment)) {}

void RunControl::click() {
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
  shownHundredths_ = -1;

  steps.run("Mostrar el porcentaje", [&] { window_.Lbl_porcentaje()->setVisible(true); });

  DataEnvironment2* environment = nullptr;
  steps.run("Tomar DataEnvironment2", [&] { environment = &environment_(); });
  hourglass_ = false;
  if (environment != nullptr) runUpdate(*environment, *this, steps);
  steps.run("Quitar el reloj de arena", [&] {
    if (hourglass_) QApplication::restoreOverrideCursor();
    hourglass_ = false;
  });

  if (!report_.clean()) {
    std::cerr << report_.details() << std::flush;
    steps.run("Informar los errores",
              [&] { window_.reportFailures(QString::fromStdString(report_.summary())); });
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
  // With no row total (the counts could not be read) the label keeps its text;
  // that failure was recorded where the total was taken.
  if (rowTotal_ <= 0) return;
  std::int64_t hundredths = percentHundredths(progressCounter_, rowTotal_);
  if (hundredths == shownHundredths_) return;
  shownHundredths_ = hundredths;
  QLabel* label = window_.Lbl_porcentaje();
  label->setText(percentText(hundredths));
  label->repaint();
  ++repaints_;
}

}  // namespace kestova
