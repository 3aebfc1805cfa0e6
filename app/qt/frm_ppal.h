#pragma once

#include <QWidget>
#include <functional>
#include <memory>

class QLabel;
class QPushButton;

namespace kestova {

class DataEnvironment2;
class QtWindow;
class RunControl;
struct RunWarning;

// The program's only window: an explanatory text, a percentage label that a
// run shows and rewrites, and one button that starts the run and, once it
// reads "Salir", closes the window. Its look is fixed; positions are given in
// twips, 15 to the pixel.
class Frm_ppal : public QWidget {
  Q_OBJECT

 public:
  using EnvironmentSource = std::function<DataEnvironment2&()>;

  // `environment` gives the data environment at the start of a run; by default
  // the program's own instance.
  explicit Frm_ppal(EnvironmentSource environment = {}, QWidget* parent = nullptr);
  ~Frm_ppal() override;

  QLabel* Label1() const { return label1_; }
  QLabel* Lbl_porcentaje() const { return lblPorcentaje_; }
  QPushButton* Cmd_Comenzar_Salir() const { return cmdComenzarSalir_; }
  RunControl& runControl() const { return *runControl_; }

  // Shows the Spanish account of a run that had failures; by default a modal
  // WarningBox. Tests put their own here.
  std::function<void(const RunWarning&)> reportFailures;

  // Makes "MS Sans Serif", the classic dialog font, resolve to Liberation Sans
  // (same widths) where it is installed, else to any sans-serif font.
  static void substituteClassicFont();

 protected:
  void showEvent(QShowEvent* event) override;
  // A close request (the window manager's, or the end of the session) goes
  // to the run control: during a run it is a stop request.
  void closeEvent(QCloseEvent* event) override;

 private:
  QLabel* label1_;
  QLabel* lblPorcentaje_;
  QPushButton* cmdComenzarSalir_;
  std::unique_ptr<QtWindow> window_;  // what the run control sees of this form
  std::unique_ptr<RunControl> runControl_;
  bool centred_ = false;
};

}  // namespace kestova
