#pragma once

#include <windows.h>

#include <functional>
#include <memory>

namespace kestova {

class DataEnvironment2;
class RunControl;
class Win32Window;

// The form's pixels at `dpi` dots per inch: the client area, the three
// controls' rectangles in it and the fonts' heights (negative: character
// heights, as CreateFontW takes them). Designed in twips, 1440 to the inch.
struct FormLayout {
  SIZE client;
  RECT label1, percent, button;
  int label1Font, percentFont, buttonFont;
};
FormLayout formLayout(int dpi);

// The program's only window: an explanatory text, a percentage label that a
// run shows and rewrites, and one button that starts the run and, once it
// reads "Salir", closes the window. Its look is fixed and computed once, for
// the DPI of the monitor it starts on; it cannot be resized.
class Frm_ppal {
 public:
  using EnvironmentSource = std::function<DataEnvironment2&()>;

  // Creates the window, hidden; `environment` gives the data environment at
  // the start of a run, by default the program's own instance.
  explicit Frm_ppal(EnvironmentSource environment = {});
  ~Frm_ppal();
  Frm_ppal(const Frm_ppal&) = delete;
  Frm_ppal& operator=(const Frm_ppal&) = delete;

  // Shows the window centred on its screen's work area, the button focused.
  void show();

  HWND hwnd() const { return hwnd_; }
  HWND Label1() const { return label1_; }
  HWND Lbl_porcentaje() const { return lblPorcentaje_; }
  HWND Cmd_Comenzar_Salir() const { return cmdComenzarSalir_; }
  RunControl& runControl() const { return *runControl_; }
  Win32Window& window() const { return *window_; }

 private:
  static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void createControls();
  HBRUSH labelColours(HDC dc, HWND label) const;

  HWND hwnd_ = nullptr;
  HWND label1_ = nullptr, lblPorcentaje_ = nullptr, cmdComenzarSalir_ = nullptr;
  HFONT label1Font_ = nullptr, percentFont_ = nullptr, formFont_ = nullptr;
  HBRUSH teal_ = nullptr;
  std::unique_ptr<Win32Window> window_;  // what the run control sees of this form
  std::unique_ptr<RunControl> runControl_;
};

}  // namespace kestova
