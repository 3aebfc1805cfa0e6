#include <gtest/gtest.h>

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QTextLayout>
#include <fstream>
#include <set>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "data_environment.h"
#include "frm_ppal.h"
#include "progress_text.h"
#include "run_control.h"
#include "sample_data.h"
#include "sqlcipher_file.h"
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
      window_ = std::make_unique<Frm_ppal>([this]() -> DataEnvironment2& { return *environment_; });
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
  std::unique_ptr<DataEnvironment2> environment_ =
      std::make_unique<DataEnvironment2>(folder_.settings());
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

TEST_F(WindowTest, ExplanatoryTextWrapsToTwoLinesInTheClassicWidths) {
  QLabel* label = window().Label1();
  if (QFontDatabase::hasFamily("Liberation Sans")) {
    EXPECT_EQ(QFontInfo(label->font()).family(), "Liberation Sans");
  }
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
  EXPECT_TRUE(environment_->recordset("rsC_ValVehi2_Actualizacion").isOpen());
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

// A file that cannot serve as a database, in one of the ways a person's disk
// can hold one. Each case spoils the main or the update file.
struct BadFile {
  const char* name;
  bool main;  // which file is spoiled
  void (*spoil)(const std::filesystem::path& file);
  bool stillOpens = false;  // a main file that opens takes the rows that can be applied
};

void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

void dropTable(const std::filesystem::path& file, const char* table) {
  sample::SqlCipherFile(file, sample::kPassword).exec(std::string("DROP TABLE ") + table);
}

void dropValuations(const std::filesystem::path& f) { dropTable(f, "RNAValVehi1"); }

void dropWeight(const std::filesystem::path& f) {
  sample::SqlCipherFile(f, sample::kPassword)
      .exec("DROP TABLE RNAMarMod; CREATE TABLE RNAMarMod(CodMar INTEGER, CodMod INTEGER, "
            "Nombre TEXT, Tipo INTEGER, SubTipo INTEGER, Categoria INTEGER, SubCat TEXT)");
}

const BadFile kBadFiles[] = {
    {"MainMissing", true, [](const auto& f) { std::filesystem::remove(f); }},
    {"MainEmpty", true, [](const auto& f) { writeBytes(f, ""); }},
    {"MainRandomBytes", true,
     [](const auto& f) {
       std::string bytes(8192, '\0');
       for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
       writeBytes(f, bytes);
     }},
    {"MainTruncated", true,
     [](const auto& f) {
       std::string bytes = test::readBytes(f);
       writeBytes(f, bytes.substr(0, bytes.size() / 2 + 100));
     }},
    {"MainUnencrypted", true,
     [](const auto& f) {
       std::filesystem::remove(f);
       sample::SqlCipherFile(f, "", sample::SqlCipherFile::Mode::kCreate).exec(sample::kMainSchema);
     }},
    {"MainOtherPassword", true,
     [](const auto& f) {
       std::filesystem::remove(f);
       sample::SqlCipherFile(f, "otra", sample::SqlCipherFile::Mode::kCreate)
           .exec(sample::kMainSchema);
     }},
    {"MainTableMissing", true, dropValuations, true},
    {"MainFieldMissing", true, dropWeight, true},
    {"UpdateMissing", false, [](const auto& f) { std::filesystem::remove(f); }},
    {"UpdateEmpty", false, [](const auto& f) { writeBytes(f, ""); }},
    {"UpdateOtherPassword", false,
     [](const auto& f) {
       std::filesystem::remove(f);
       sample::SqlCipherFile(f, "otra", sample::SqlCipherFile::Mode::kCreate)
           .exec(sample::kUpdateSchema);
     }},
    {"UpdateTableMissing", false, [](const auto& f) { dropTable(f, "ValVehi1"); }},
    {"UpdateFieldOfAnotherType", false,
     [](const auto& f) {
       sample::SqlCipherFile(f, sample::kPassword)
           .exec("DROP TABLE ValVehi2; CREATE TABLE ValVehi2(Anioimp TEXT, Tipo INTEGER, CodMar "
                 "INTEGER, CodMod INTEGER, Modanio INTEGER, Importe REAL, Alicuota REAL, DispTipo "
                 "TEXT, DispNro INTEGER, DispAnio INTEGER);"
                 "INSERT INTO ValVehi2 VALUES ('dos mil', 1, 1, 1, 1990, 1, 1, 'D', 1, 2000)");
     }},
};

std::set<std::string> filesUnder(const std::filesystem::path& root) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    files.insert(entry.path().string());
  return files;
}

class BadFiles : public WindowTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFiles, AreToldInSpanishAndOnStandardErrorAndNothingElseIsWritten) {
  const BadFile& bad = GetParam();
  test::insertRows(folder_.updatePath(), "Marcas", {{I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0}});
  const std::filesystem::path spoiled = bad.main ? folder_.mainPath() : folder_.updatePath();
  bad.spoil(spoiled);
  const std::set<std::string> filesBefore = filesUnder(folder_.root());
  const std::string spoiledBefore = test::readBytes(spoiled);
  const std::string updateBefore = test::readBytes(folder_.updatePath());

  std::ostringstream errors;
  std::streambuf* standardError = std::cerr.rdbuf(errors.rdbuf());
  click();
  std::cerr.rdbuf(standardError);
  window_.reset();
  environment_.reset();

  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("La actualización terminó con problemas"), std::string::npos);
  EXPECT_NE(errors.str().find("kestova: "), std::string::npos);
  EXPECT_EQ(filesUnder(folder_.root()), filesBefore);
  if (!bad.stillOpens) {
    EXPECT_TRUE(test::readBytes(spoiled) == spoiledBefore) << "the spoiled file changed";
  }
  EXPECT_TRUE(test::readBytes(folder_.updatePath()) == updateBefore) << "the update file changed";
}

INSTANTIATE_TEST_SUITE_P(Window, BadFiles, ::testing::ValuesIn(kBadFiles),
                         [](const auto& param) { return std::string(param.param.name); });

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
