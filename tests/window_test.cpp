#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTextLayout>
#include <stdexcept>

#include "data_environment.h"
#include "frm_ppal.h"
#include "progress_text.h"
#include "run_control.h"
#include "test_support.h"

namespace kestova {
namespace {

using I = std::int64_t;
using test::TestFolder;

// Records what a person would see each time the percentage label is painted.
class PaintWatcher : public QObject {
 public:
  explicit PaintWatcher(QLabel* label) { label->installEventFilter(this); }
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      texts.push_back(static_cast<QLabel*>(object)->text().toStdString());
      QCursor* cursor = QApplication::overrideCursor();
      hourglass.push_back(cursor != nullptr && cursor->shape() == Qt::WaitCursor);
    }
    return false;
  }
  std::vector<std::string> texts;
  std::vector<bool> hourglass;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale::c());
    folder_.createEmptyDatabases();
  }

  Frm_ppal& window() {
    if (!window_) {
      window_ = std::make_unique<Frm_ppal>([this]() -> DataEnvironment2& { return environment_; });
      window_->reportFailures = [this](const QString& text) {
        reports_.push_back(text.toStdString());
        buttonWhenReported_ = window_->Cmd_Comenzar_Salir()->text().toStdString();
      };
      window_->show();
      QApplication::processEvents();
    }
    return *window_;
  }
  void click() { window().Cmd_Comenzar_Salir()->click(); }

  TestFolder folder_;
  DataEnvironment2 environment_{folder_.settings()};
  std::unique_ptr<Frm_ppal> window_;
  std::vector<std::string> reports_;
  std::string buttonWhenReported_;
};

TEST_F(WindowTest, AtStartOnlyTheTextAndTheButtonShowAndTheButtonHasTheFocus) {
  Frm_ppal& w = window();
  QApplication::processEvents();
  EXPECT_EQ(w.windowTitle(), QStringLiteral("Actualizaci\u00f3n de Valuaciones"));
  EXPECT_TRUE(w.Label1()->isVisible());
  EXPECT_FALSE(w.Lbl_porcentaje()->isVisible());
  EXPECT_EQ(w.Lbl_porcentaje()->text(), "Label2");
  EXPECT_EQ(w.Cmd_Comenzar_Salir()->text(), "Comenzar");
  EXPECT_TRUE(w.Cmd_Comenzar_Salir()->hasFocus());
  EXPECT_FALSE(w.Cmd_Comenzar_Salir()->isDefault());
  EXPECT_FALSE(w.Cmd_Comenzar_Salir()->autoDefault());
  EXPECT_EQ(w.Label1()->focusPolicy(), Qt::NoFocus);
}

TEST_F(WindowTest, ControlsSitTopToBottomWithoutOverlapping) {
  Frm_ppal& w = window();
  EXPECT_EQ(w.size(), QSize(317, 140));
  const QRect text = w.Label1()->geometry(), percent = w.Lbl_porcentaje()->geometry(),
              button = w.Cmd_Comenzar_Salir()->geometry();
  EXPECT_EQ(text, QRect(6, 4, 307, 55));
  EXPECT_EQ(percent, QRect(98, 60, 117, 23));
  EXPECT_EQ(button, QRect(92, 92, 137, 45));
  EXPECT_FALSE(text.intersects(percent));
  EXPECT_FALSE(percent.intersects(button));
  EXPECT_LT(text.bottom(), percent.top());
  EXPECT_LT(percent.bottom(), button.top());
  EXPECT_TRUE(w.rect().contains(text) && w.rect().contains(button));
}

TEST_F(WindowTest, ExplanatoryTextWrapsToTwoLines) {
  QLabel* label = window().Label1();
  QTextLayout layout(label->text(), label->font());
  layout.beginLayout();
  int lines = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(label->contentsRect().width());
    ++lines;
  }
  layout.endLayout();
  EXPECT_EQ(lines, 2) << QFontInfo(label->font()).family().toStdString();
}

TEST_F(WindowTest, PassesShowTheShareOfAllRowsBegunUnderTheHourglass) {
  test::insertRows(folder_.updatePath(), "Marcas", {{I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0}});
  test::insertRows(folder_.updatePath(), "ValVehi2",
                   {{I{2004}, I{1}, I{1}, I{1}, I{1990}, 1.0, 0.1, "D", I{1}, I{2000}},
                    {I{2004}, I{1}, I{1}, I{2}, I{1990}, 1.0, 0.1, "D", I{1}, I{2000}}});
  PaintWatcher watcher(window().Lbl_porcentaje());
  click();
  EXPECT_EQ(watcher.texts, (std::vector<std::string>{"033.33 %", "066.67 %", "100.00 %"}));
  EXPECT_EQ(watcher.hourglass, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(window().Cmd_Comenzar_Salir()->text(), "Salir");
  EXPECT_TRUE(reports_.empty()) << reports_.front();
  EXPECT_EQ(window().runControl().repaints(), 3);
}

TEST_F(WindowTest, RunWithNoRowsLeavesThePlaceholderVisible) {
  click();
  EXPECT_TRUE(window().Lbl_porcentaje()->isVisible());
  EXPECT_EQ(window().Lbl_porcentaje()->text(), "Label2");
  EXPECT_EQ(window().Cmd_Comenzar_Salir()->text(), "Salir");
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(environment_.recordset("rsC_ValVehi2_Actualizacion").isOpen());
}

TEST_F(WindowTest, OnlyTheExactCaptionSalirClosesTheWindow) {
  window().Cmd_Comenzar_Salir()->setText("salir ");
  click();
  EXPECT_TRUE(window().isVisible());
  EXPECT_EQ(window().Cmd_Comenzar_Salir()->text(), "Salir");
  click();
  EXPECT_FALSE(window().isVisible());
}

TEST_F(WindowTest, FailuresAreToldInSpanishBeforeTheButtonReadsSalir) {
  std::filesystem::remove(folder_.updatePath());
  click();
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(buttonWhenReported_, "Comenzar");
  EXPECT_NE(reports_[0].find("La actualización terminó con problemas"), std::string::npos);
  EXPECT_NE(reports_[0].find("el archivo no existe"), std::string::npos) << reports_[0];
  EXPECT_NE(reports_[0].find(folder_.updatePath().string()), std::string::npos) << reports_[0];
  EXPECT_EQ(window().Cmd_Comenzar_Salir()->text(), "Salir");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(ProgressText, UsesThePatternAndTheLocalesDecimalSeparator) {
  EXPECT_EQ(percentText(percentHundredths(1, 3), QLocale::c()), "033.33 %");
  EXPECT_EQ(percentText(percentHundredths(2, 3), QLocale::c()), "066.67 %");
  EXPECT_EQ(percentText(percentHundredths(3, 3), QLocale::c()), "100.00 %");
  EXPECT_EQ(percentText(percentHundredths(1, 400), QLocale::c()), "000.25 %");
  EXPECT_EQ(percentText(percentHundredths(1, 3), QLocale("es_AR")), "033,33 %");
  EXPECT_EQ(percentText(percentHundredths(25, 2), QLocale::c()), "1250.00 %");
}

TEST(RowTotal, OverflowingSumsAreFailures) {
  EXPECT_EQ(rowTotal({1, 0, 2}), 3);
  EXPECT_EQ(rowTotal({2147483646, 1, 0}), 2147483647);
  EXPECT_THROW(rowTotal({2147483647, 1, 0}), std::overflow_error);
  EXPECT_THROW(rowTotal({1, 2, 4294967296}), std::overflow_error);
}

}  // namespace
}  // namespace kestova

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Window tests need no display; they run, and are listed, offscreen.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  kestova::Frm_ppal::substituteClassicFont();
  return RUN_ALL_TESTS();
}
