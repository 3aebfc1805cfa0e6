#include "app/qt/frm_ppal.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "app/qt/qt_window.h"
#include "app/qt/warning_box.h"
#include "app/run_control.h"
#include "data/data_environment.h"

namespace kestova {

namespace {

constexpr char kClassicFont[] = "MS Sans Serif";

// Positions and sizes are designed in twips; 15 twips make one pixel.
QRect twips(int left, int top, int width, int height) {
  auto pixels = [](int value) { return (value + 7) / 15; };
  return QRect(pixels(left), pixels(top), pixels(width), pixels(height));
}

QFont classicFont(double points, QFont::Weight weight) {
  QFont font(kClassicFont);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(points);
  font.setWeight(weight);
  return font;
}

// Bold figures, centred on teal, hidden until a run shows it.
void setUpPercentLabel(QLabel* label) {
  label->setObjectName("Lbl_porcentaje");
  label->setGeometry(twips(1463, 900, 1755, 345));
  label->setFont(classicFont(12, QFont::Bold));
  label->setAlignment(Qt::AlignCenter);
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, QColor(0, 192, 192));
  label->setPalette(palette);
  label->setAutoFillBackground(true);
  label->setVisible(false);
}

}  // namespace

void Frm_ppal::substituteClassicFont() {
  const QString substitute =
      QFontDatabase::hasFamily("Liberation Sans") ? "Liberation Sans" : "Sans Serif";
  QFont::insertSubstitution(kClassicFont, substitute);
}

Frm_ppal::Frm_ppal(EnvironmentSource environment, QWidget* parent)
    : QWidget(parent),
      label1_(new QLabel(QStringLiteral("Este Programa Actualiza Marcas, Modelos y Valuaciones"),
                         this)),
      lblPorcentaje_(new QLabel(QStringLiteral("Label2"), this)),
      cmdComenzarSalir_(new QPushButton(QStringLiteral("Comenzar"), this)) {
  setObjectName("Frm_ppal");
  setWindowTitle(QStringLiteral("Actualización de Valuaciones"));
  setFont(classicFont(8, QFont::Normal));
  setFixedSize(twips(0, 0, 4755, 2100).size());

  label1_->setObjectName("Label1");
  label1_->setGeometry(twips(90, 60, 4605, 825));
  label1_->setFont(classicFont(13.5, QFont::Normal));
  label1_->setWordWrap(true);
  label1_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  setUpPercentLabel(lblPorcentaje_);

  cmdComenzarSalir_->setObjectName("Cmd_Comenzar_Salir");
  cmdComenzarSalir_->setGeometry(twips(1380, 1380, 2055, 675));
  // Neither the default nor the cancel button: Enter and Escape do not press it.
  cmdComenzarSalir_->setAutoDefault(false);
  cmdComenzarSalir_->setDefault(false);
  cmdComenzarSalir_->setFocus();

  if (!environment)
    environment = []() -> DataEnvironment2& { return DataEnvironment2::instance(); };
  window_ = std::make_unique<QtWindow>(*this);
  runControl_ = std::make_unique<RunControl>(*window_, std::move(environment));
  connect(cmdComenzarSalir_, &QPushButton::clicked, this, [this] { runControl_->click(); });

  reportFailures = [this](const RunWarning& warning) {
    WarningBox(windowTitle(), warning, this).exec();
  };
}

Frm_ppal::~Frm_ppal() = default;

void Frm_ppal::closeEvent(QCloseEvent* event) {
  if (runControl_->closeRequested())
    QWidget::closeEvent(event);
  else
    event->ignore();
}

void Frm_ppal::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (centred_) return;
  centred_ = true;
  if (QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  cmdComenzarSalir_->setFocus();
}

}  // namespace kestova
