#include "run_control.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <array>
#include <iostream>
#include <limits>

#include "data_environment.h"
#include "database_error.h"
#include "frm_ppal.h"
#include "progress_text.h"
#include "step_runner.h"

namespace kestova {

namespace {

// For each table in run order, its target and then its source.
constexpr std::array<const char*, 6> kRecordsets = {
    "rsC_Marmod_Nevaro",   "rsC_MarMod_Actualizacion", "rsC_ValVehi1_Nevaro",
    "rsC_ValVehi1_Actualizacion", "rsC_ValVehi2_Nevaro", "rsC_ValVehi2_Actualizacion",
};

}  // namespace

std::int32_t rowTotal(std::initializer_list<std::int64_t> counts) {
  std::int32_t total = 0;
  for (std::int64_t count : counts) {
    std::int32_t sum = 0;
    if (count > std::numeric_limits<std::int32_t>::max() ||
        count < std::numeric_limits<std::int32_t>::min() ||
        __builtin_add_overflow(total, static_cast<std::int32_t>(count), &sum))
      throw std::overflow_error("la suma de las filas de origen pasa de 2147483647");
    total = sum;
  }
  return total;
}

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
  auto env = [&]() -> DataEnvironment2& {
    if (environment == nullptr)
      throw DatabaseError("Usar DataEnvironment2", "", "no está disponible");
    return *environment;
  };

  steps.run("Abrir la conexión Nevaro", [&] { env().openConnection("Nevaro"); });
  for (const char* name : kRecordsets)
    steps.run(std::string("Abrir ") + name, [&] { env().openRecordset(name); });
  steps.run("Contar las filas de origen", [&] {
    rowTotal_ = rowTotal({env().recordset("rsC_MarMod_Actualizacion").recordCount(),
                          env().recordset("rsC_ValVehi1_Actualizacion").recordCount(),
                          env().recordset("rsC_ValVehi2_Actualizacion").recordCount()});
  });

  bool hourglass = false;
  steps.run("Poner el reloj de arena", [&] {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    hourglass = true;
  });
  if (environment != nullptr) syncTables(*environment, *this, steps);
  steps.run("Quitar el reloj de arena", [&] {
    if (hourglass) QApplication::restoreOverrideCursor();
  });
  environment = nullptr;

  if (!report_.clean()) {
    std::cerr << report_.details() << std::flush;
    steps.run("Informar los errores",
              [&] { window_.reportFailures(QString::fromStdString(report_.summary())); });
  }
  steps.run("Cambiar el botón a Salir",
            [&] { window_.Cmd_Comenzar_Salir()->setText(QStringLiteral("Salir")); });
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
