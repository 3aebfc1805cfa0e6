#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTextLayout>
#include <QTranslator>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "data_environment.h"
#include "frm_ppal.h"
#include "progress_text.h"
#include "run_control.h"
#include "sample_data.h"
#include "sqlcipher_file.h"
#include "start_up.h"
#include "stop_signals.h"
#include "test_support.h"
#include "warning_box.h"

namespace kestova {
namespace {

using I = std::int64_t;
using test::TestFolder;
using namespace std::chrono_literals;

// A clock that moves by a fixed step each time it is read.
RunControl::Clock steppingClock(std::chrono::microseconds step) {
  auto now = std::make_shared<std::chrono::steady_clock::time_point>();
  return [now, step] { return *now += step; };
}

// Counts what a person's mouse and keyboard deliver to any widget.
class InputCounter : public QObject {
 public:
  InputCounter() { qApp->installEventFilter(this); }
  ~InputCounter() override { qApp->removeEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    const QEvent::Type type = event->type();
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
        type == QEvent::KeyPress || type == QEvent::KeyRelease)
      ++count;
    return false;
  }
  int count = 0;
};

// A click and a press of the space bar on `button`, queued as a person's
// input waits while the program is busy.
void queueClickAndSpace(QPushButton* button) {
  const QPointF centre = QRectF(button->rect()).center();
  const QPointF global = button->mapToGlobal(centre);
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonPress, centre, global, Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier));
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton,
                              Qt::NoButton, Qt::NoModifier));
  QCoreApplication::postEvent(button,
                              new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " "));
  QCoreApplication::postEvent(
      button, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " "));
}

// Records what a person would see each time the percentage label is painted
// with a text other than the one it showed.
class PaintWatcher : public QObject {
 public:
  explicit PaintWatcher(QLabel* label) { label->installEventFilter(this); }
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      std::string text = static_cast<QLabel*>(object)->text().toStdString();
      if (!texts.empty() && texts.back() == text) return false;
      texts.push_back(std::move(text));
      QCursor* cursor = QApplication::overrideCursor();
      hourglass.push_back(cursor != nullptr && cursor->shape() == Qt::WaitCursor);
    }
    return false;
  }
  std::vector<std::string> texts;
  std::vector<bool> hourglass;
};

std::set<std::string> filesUnder(const std::filesystem::path& root) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    files.insert(entry.path().string());
  return files;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale::c());
    folder_.createEmptyDatabases();
  }
  void TearDown() override { clearStopRequest(); }

  Frm_ppal& window() {
    if (!window_) {
      window_ = std::make_unique<Frm_ppal>([this]() -> DataEnvironment2& {
        if (duringRun_) duringRun_();
        return *environment_;
      });
      window_->reportFailures = [this](const RunWarning& warning) {
        reports_.push_back(warning.text.toStdString());
        details_.push_back(warning.details.toStdString());
        buttonWhenReported_ = window_->Cmd_Comenzar_Salir()->text().toStdString();
        if (whileReported_) whileReported_();
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
  std::function<void()> duringRun_;      // called as the run takes the data environment
  std::function<void()> whileReported_;  // called while the warning would be shown
  std::vector<std::string> reports_;
  std::vector<std::string> details_;
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
  window().runControl().setClock(steppingClock(RunControl::kFrame));
  click();
  EXPECT_EQ(watcher.texts, (std::vector<std::string>{"033.33 %", "066.67 %", "100.00 %"}));
  EXPECT_EQ(watcher.hourglass, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(window().Cmd_Comenzar_Salir()->text(), "Salir");
  EXPECT_TRUE(reports_.empty()) << reports_.front();
  EXPECT_EQ(window().runControl().repaints(), 3);
}

// The label is painted at most once per 1/60 s, and always with the last share
// of each table and of the run. Tables of 6, 0 and 4 rows: shares of 10 %.
struct Pacing {
  const char* name;
  std::chrono::microseconds step;  // how far the clock moves each time it is read
  std::vector<std::string> painted;
};

const Pacing kPacings[] = {
    // A frozen clock: the first share, then only the end of each table.
    {"FrozenClock", 0us, {"010.00 %", "060.00 %", "100.00 %"}},
    // A little over a third of a frame per read: one share in three, and the
    // end of each table.
    {"ThirdOfAFramePerRead",
     RunControl::kFrame / 3 + 1us,
     {"010.00 %", "040.00 %", "060.00 %", "090.00 %", "100.00 %"}},
    // A frame per read: every share.
    {"FramePerRead",
     RunControl::kFrame,
     {"010.00 %", "020.00 %", "030.00 %", "040.00 %", "050.00 %", "060.00 %", "070.00 %",
      "080.00 %", "090.00 %", "100.00 %"}},
};

class RepaintPacing : public WindowTest, public ::testing::WithParamInterface<Pacing> {};

TEST_P(RepaintPacing, AtMostOncePerFrameAndAlwaysTheLastShareOfEachTable) {
  std::vector<test::Row> brands, valuations;
  for (I i = 1; i <= 6; ++i) brands.push_back({I{1}, i, "A", I{1}, I{1}, I{1}, "X", 1.0});
  for (I i = 1; i <= 4; ++i)
    valuations.push_back({I{2004}, I{1}, I{1}, i, I{1990}, 1.0, 0.1, "D", I{1}, I{2000}});
  test::insertRows(folder_.updatePath(), "Marcas", brands);
  test::insertRows(folder_.updatePath(), "ValVehi2", valuations);
  PaintWatcher watcher(window().Lbl_porcentaje());
  window().runControl().setClock(steppingClock(GetParam().step));
  click();
  EXPECT_EQ(watcher.texts, GetParam().painted);
  EXPECT_TRUE(reports_.empty()) << reports_.front();
}

INSTANTIATE_TEST_SUITE_P(Progress, RepaintPacing, ::testing::ValuesIn(kPacings),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(WindowTest, RunWithNoRowsEndsOnAHundredPercent) {
  PaintWatcher watcher(window().Lbl_porcentaje());
  click();
  EXPECT_TRUE(window().Lbl_porcentaje()->isVisible());
  EXPECT_EQ(window().Lbl_porcentaje()->text(), "100.00 %");
  EXPECT_EQ(watcher.texts, (std::vector<std::string>{"100.00 %"}));
  EXPECT_EQ(window().Cmd_Comenzar_Salir()->text(), "Salir");
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(environment_->recordset("rsC_ValVehi2_Actualizacion").isOpen());
}

// An update file its maker left in write-ahead mode is read as it is: nothing
// is created beside it, so it also reads from read-only media.
TEST_F(WindowTest, AnUpdateInWriteAheadModeIsReadWithNothingMadeBesideIt) {
  test::insertRows(folder_.updatePath(), "Marcas", {{I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0}});
  sample::SqlCipherFile(folder_.updatePath(), sample::kPassword).exec("PRAGMA journal_mode = WAL");
  const std::set<std::string> before = filesUnder(folder_.work());
  click();
  EXPECT_TRUE(reports_.empty()) << reports_.front();
  EXPECT_EQ(filesUnder(folder_.work()), before);
  EXPECT_EQ(test::dump(folder_.mainPath(), "RNAMarMod"), "1 | 1 | 'A' | 1 | 1 | 1 | 'X' | 1 | 'N'\n");
}

TEST_F(WindowTest, FinalShareUsesTheLocalesDecimalSeparator) {
  QLocale::setDefault(QLocale("es_AR"));
  click();
  EXPECT_EQ(window().Lbl_porcentaje()->text(), "100,00 %");
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
  EXPECT_EQ(window().Cmd_Comenzar_Salir()->text(), "Salir");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// What a person reads, for the causes a person meets. `{main}`, `{update}` and
// `{folder}` stand for the main database, the update file and its folder.
struct Warning {
  const char* name;
  void (*arrange)(const TestFolder& folder);
  const char* text;
  const char* detail;  // the database's own words, in the details only
};

void someRows(const TestFolder& folder) {
  test::insertRows(folder.updatePath(), "Marcas", {{I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0}});
  test::insertRows(folder.updatePath(), "ValVehi1",
                   {{I{2004}, I{1}, I{1}, "2", I{1990}, I{1}, 10.0}});
  test::insertRows(folder.updatePath(), "ValVehi2",
                   {{I{2004}, I{1}, I{1}, I{1}, I{1990}, 1.0, 0.1, "D", I{1}, I{2000}},
                    {I{2004}, I{1}, I{1}, I{2}, I{1990}, 1.0, 0.1, "D", I{1}, I{2000}}});
}

void recreate(const std::filesystem::path& file, const char* password, const char* schema) {
  std::filesystem::remove(file);
  sample::SqlCipherFile(file, password, sample::SqlCipherFile::Mode::kCreate).exec(schema);
}

const Warning kWarnings[] = {
    {"MainMissing",
     [](const TestFolder& f) {
       someRows(f);
       std::filesystem::remove(f.mainPath());
     },
     "La actualización terminó con problemas.\n"
     "\n"
     "No se encontró la base de datos de Nevaro. Se buscó en:\n"
     "{main}\n"
     "Ejecute Kestova en la computadora donde está instalado Nevaro; si está instalado en esta, "
     "avise a quien le da soporte técnico de Nevaro.\n"
     "\n"
     "Filas de cada tabla:\n"
     "Marcas y modelos: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 1 sin guardar.\n"
     "Valuaciones 1: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 1 sin guardar.\n"
     "Valuaciones 2: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 2 sin guardar.\n",
     "el archivo no existe"},
    {"MainWithAnotherPassword",
     [](const TestFolder& f) {
       someRows(f);
       recreate(f.mainPath(), "otra", sample::kMainSchema);
     },
     "La actualización terminó con problemas.\n"
     "\n"
     "La base de datos de Nevaro está dañada o tiene otra contraseña, y Kestova no pudo usarla:\n"
     "{main}\n"
     "Avise a quien le da soporte técnico de Nevaro.\n"
     "\n"
     "Filas de cada tabla:\n"
     "Marcas y modelos: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 1 sin guardar.\n"
     "Valuaciones 1: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 1 sin guardar.\n"
     "Valuaciones 2: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 2 sin guardar.\n",
     "file is encrypted or is not a database"},
    {"UpdateMissing", [](const TestFolder& f) { std::filesystem::remove(f.updatePath()); },
     "La actualización terminó con problemas.\n"
     "\n"
     "No se encontró el archivo de actualización Kestova.mdb en la carpeta desde la que se "
     "inició Kestova:\n"
     "{folder}\n"
     "Coloque Kestova.mdb en esa carpeta y vuelva a ejecutar Kestova.\n",
     "el archivo no existe"},
    {"MainTableMissing",
     [](const TestFolder& f) {
       someRows(f);
       sample::SqlCipherFile(f.mainPath(), sample::kPassword).exec("DROP TABLE RNAValVehi1");
     },
     "La actualización terminó con problemas.\n"
     "\n"
     "A la base de datos de Nevaro le falta una tabla o un campo que Kestova necesita para "
     "Valuaciones 1:\n"
     "{main}\n"
     "Avise a quien le da soporte técnico de Nevaro.\n"
     "\n"
     "Filas de cada tabla:\n"
     "Marcas y modelos: 1 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n"
     "Valuaciones 1: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 1 sin guardar.\n"
     "Valuaciones 2: 2 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n",
     "no such table: RNAValVehi1"},
    {"RowsRejected",
     [](const TestFolder& f) {
       test::insertRows(f.updatePath(), "Marcas",
                        {{I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0},
                         {Null{}, I{2}, "B", I{1}, I{1}, I{1}, "X", 1.0},
                         {I{1}, "tres", "C", I{1}, I{1}, I{1}, "X", 1.0}});
       test::insertRows(f.updatePath(), "ValVehi2",
                        {{I{2004}, I{1}, I{1}, I{1}, "", 1.0, 0.1, "D", I{1}, I{2000}}});
     },
     "La actualización terminó con problemas.\n"
     "\n"
     "3 filas (2 de Marcas y modelos y 1 de Valuaciones 2) no se copiaron porque su clave (los "
     "códigos que identifican cada fila) está vacía o no es un número. Avise a quien le envió el "
     "archivo de actualización.\n"
     "\n"
     "Filas de cada tabla:\n"
     "Marcas y modelos: 1 agregadas, 0 actualizadas, 0 ya al día, 2 rechazadas, 0 sin guardar.\n"
     "Valuaciones 1: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n"
     "Valuaciones 2: 0 agregadas, 0 actualizadas, 0 ya al día, 1 rechazadas, 0 sin guardar.\n",
     "CodMar es Null"},
    // Two refusals of different kinds at the same step: both are counted, and
    // each of the database's messages is in the details.
    {"ValuesRefused",
     [](const TestFolder& f) {
       sample::SqlCipherFile(f.mainPath(), sample::kPassword)
           .exec(
               "DROP TABLE RNAValVehi2; CREATE TABLE RNAValVehi2(AnioImpuesto INTEGER, Tipo "
               "INTEGER, CodMar INTEGER, CodMod INTEGER, ModAnio INTEGER, Importe REAL NOT "
               "NULL, Alicuota REAL CHECK (Alicuota >= 0), DispTipo TEXT, DispNro INTEGER, "
               "DispAnio INTEGER, Alta TEXT DEFAULT 'N')");
       test::insertRows(f.updatePath(), "ValVehi2",
                        {{I{2004}, I{1}, I{1}, I{1}, I{1990}, Null{}, 0.1, "D", I{1}, I{2000}},
                         {I{2004}, I{1}, I{1}, I{2}, I{1990}, 1.0, -0.1, "D", I{1}, I{2000}},
                         {I{2004}, I{1}, I{1}, I{3}, I{1990}, 1.0, 0.1, "D", I{1}, I{2000}}});
     },
     "La actualización terminó con problemas.\n"
     "\n"
     "2 filas de Valuaciones 2 no se guardaron porque tienen un valor que la tabla no acepta, por "
     "2 motivos distintos (están en los detalles). Avise a quien le envió el archivo de "
     "actualización.\n"
     "\n"
     "Filas de cada tabla:\n"
     "Marcas y modelos: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n"
     "Valuaciones 1: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n"
     "Valuaciones 2: 1 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 2 sin guardar.\n",
     "NOT NULL constraint failed: RNAValVehi2.Importe"},
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Names a person does not know: recordsets, commands, internal tables, steps,
// the database's English.
const char* const kInternalNames[] = {
    "rsC_",     "C_",         "RNA",    "ValVehi", "Marcas.",      "Actualizacion", "Abrir",
    "Filtrar",  "Contar",     "Copiar", "Probar",  "Guardar fila", "Progreso",      "constraint",
    "database", "such table", "SQLITE", "fila 1",  "kestova:"};

std::string withoutPaths(std::string text, const TestFolder& folder) {
  text = replaced(text, folder.mainPath().string(), "{main}");
  text = replaced(text, folder.updatePath().string(), "{update}");
  return replaced(text, folder.work().string(), "{folder}");
}

class Warnings : public WindowTest, public ::testing::WithParamInterface<Warning> {};

TEST_P(Warnings, TellEachCauseOnceInAPersonsWordsWithTheDetailsApart) {
  const Warning& warning = GetParam();
  warning.arrange(folder_);
  std::ostringstream errors;
  std::streambuf* standardError = std::cerr.rdbuf(errors.rdbuf());
  click();
  std::cerr.rdbuf(standardError);

  ASSERT_EQ(reports_.size(), 1u);
  const std::string text = withoutPaths(reports_[0], folder_);
  EXPECT_EQ(text, warning.text);
  for (const char* name : kInternalNames) EXPECT_EQ(text.find(name), std::string::npos) << name;
  EXPECT_NE(details_[0].find(warning.detail), std::string::npos) << details_[0];
  EXPECT_EQ(details_[0], errors.str());
  EXPECT_EQ(window().Lbl_porcentaje()->text(), "100.00 %");
  EXPECT_EQ(window().Cmd_Comenzar_Salir()->text(), "Salir");
}

INSTANTIATE_TEST_SUITE_P(Window, Warnings, ::testing::ValuesIn(kWarnings),
                         [](const auto& param) { return std::string(param.param.name); });

// Every cause the data layer can give, recorded where a run meets it: each is
// told in one paragraph of a person's words, without internal names.
TEST(RunWarningText, EveryCauseIsToldOnceWithoutInternalNames) {
  using Cause = DatabaseError::Cause;
  const RunFiles files{"/c/Archivos de programa/Nevaro/Nevaro.mdb",
                       "/trabajo/Kestova.mdb",
                       {"Marcas", "ValVehi1", "ValVehi2"}};
  struct Case {
    RunReport::Failure failure;
    const char* says;
  };
  const Case cases[] = {
      {{"", 0, "Abrir la conexión Nevaro", "m", Cause::AlreadyRunning, files.main},
       "Otro Kestova abierto en esta computadora ya está actualizando"},
      {{"", 0, kSettleStep, "m", Cause::InUse, files.main}, "Todo lo guardado está a salvo"},
      {{"Valuaciones 1", 7, "Guardar fila", "m", Cause::InUse, "RNAValVehi1"},
       "estaba en uso por otro programa"},
      {{"Valuaciones 1", 0, "Abrir rsC_ValVehi1_Nevaro", "m", Cause::NotATable, files.main},
       "una tabla que Kestova no puede usar para Valuaciones 1"},
      {{"Valuaciones 2", 3, "Guardar fila", "m", Cause::RowGone, "RNAValVehi2"},
       "1 fila de Valuaciones 2 no se guardó porque otro programa la borró"},
      {{"", 0, "Abrir la conexión Nevaro", "m", Cause::CannotWrite, files.main},
       "no puede escribir en la base de datos de Nevaro"},
      {{"Marcas y modelos", 2, "Guardar fila", "m", Cause::DiskError, "RNAMarMod"},
       "El disco dio un error al escribir la base de datos de Nevaro"},
      {{"Valuaciones 2", 0, "Abrir rsC_ValVehi2_Actualizacion", "m", Cause::DiskError,
        files.update},
       "El disco dio un error al leer el archivo de actualización"},
      {{"Marcas y modelos", 4, "Probar SubCate", "m", Cause::TableMissing, "Marcas.SubCate"},
       "Al archivo de actualización Kestova.mdb le falta una tabla o un campo de Marcas y modelos"},
      {{"", 0, "Contar las filas de origen", "m", Cause::Other, ""},
       "Hubo un problema, descrito en los detalles"},
  };
  for (const Case& c : cases) {
    RunReport report;
    report.recordFailure(c.failure);
    const std::string text = report.summary(files);
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    // The heading and one paragraph.
    const std::size_t paragraphs = [&] {
      std::size_t n = 0;
      for (std::size_t at = text.find("\n\n"); at != std::string::npos;
           at = text.find("\n\n", at + 2))
        ++n;
      return n;
    }();
    EXPECT_EQ(paragraphs, 1u) << text;
    std::string withoutPaths =
        replaced(replaced(text, files.main, "{main}"), files.update, "{update}");
    for (const char* name : kInternalNames)
      EXPECT_EQ(withoutPaths.find(name), std::string::npos) << name << "\n" << text;
  }
}

TEST_F(WindowTest, BothRefusalsOfOneStepAreInTheDetails) {
  kWarnings[5].arrange(folder_);
  std::ostringstream errors;
  std::streambuf* standardError = std::cerr.rdbuf(errors.rdbuf());
  click();
  std::cerr.rdbuf(standardError);
  ASSERT_EQ(details_.size(), 1u);
  EXPECT_NE(details_[0].find("Valuaciones 2, fila 1, Guardar fila: "), std::string::npos)
      << details_[0];
  EXPECT_NE(details_[0].find("NOT NULL constraint failed: RNAValVehi2.Importe"), std::string::npos);
  EXPECT_NE(details_[0].find("CHECK constraint failed"), std::string::npos) << details_[0];
}

TEST_F(WindowTest, WarningButtonsAreQtsOwnSpanishAndCtrlCCopiesTheWholeBox) {
  WarningBox box(window().windowTitle(), {"Texto del aviso.", "kestova: detalle\n"}, &window());
  std::vector<std::string> buttons;
  for (QAbstractButton* button : box.buttons()) buttons.push_back(button->text().toStdString());
  EXPECT_EQ(buttons, (std::vector<std::string>{"Aceptar", "Mostrar los detalles..."}));
  EXPECT_EQ(box.detailedText(), "kestova: detalle\n");
  EXPECT_EQ(box.textFormat(), Qt::PlainText);

  QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, "c");
  QApplication::sendEvent(&box, &copy);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
            "---------------------------\n"
            "Actualización de Valuaciones\n"
            "---------------------------\n"
            "Texto del aviso.\n"
            "---------------------------\n"
            "Aceptar   Mostrar los detalles...   \n"
            "---------------------------\n"
            "kestova: detalle\n\n"
            "---------------------------\n");
}

TEST_F(WindowTest, InputMadeDuringTheRunIsNotTakenAsSalir) {
  test::insertRows(folder_.updatePath(), "Marcas", {{I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0}});
  QPushButton* button = window().Cmd_Comenzar_Salir();
  duringRun_ = [button] { queueClickAndSpace(button); };
  InputCounter delivered;
  click();
  QApplication::processEvents();
  EXPECT_EQ(delivered.count, 0);
  EXPECT_TRUE(window().isVisible());
  EXPECT_EQ(button->text(), "Salir");

  // A click made after the button reads "Salir" ends the program.
  duringRun_ = nullptr;
  queueClickAndSpace(button);
  QApplication::processEvents();
  EXPECT_FALSE(window().isVisible());
}

TEST_F(WindowTest, InputMadeDuringTheRunDoesNotReachTheWarning) {
  std::filesystem::remove(folder_.updatePath());
  QPushButton* button = window().Cmd_Comenzar_Salir();
  bool queued = false;  // once: a click that got through would start a run again
  duringRun_ = [&queued, button] {
    if (!std::exchange(queued, true)) queueClickAndSpace(button);
  };
  InputCounter delivered;
  whileReported_ = [] { QApplication::processEvents(); };
  click();
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(delivered.count, 0);
  EXPECT_TRUE(window().isVisible());
}

TEST_F(WindowTest, AStopRequestedWhileIdleClosesTheWindow) {
  installStopSignals();
  closeOnStopRequest(window());
  ASSERT_TRUE(window().isVisible());
  ::raise(SIGTERM);
  for (int i = 0; i < 100 && window().isVisible(); ++i) QApplication::processEvents();
  EXPECT_FALSE(window().isVisible());
  EXPECT_EQ(stopSignal(), SIGTERM);
}

TEST_F(WindowTest, ARunStoppedByASignalClosesTheWindowWithoutAWarning) {
  test::insertRows(folder_.updatePath(), "Marcas", {{I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0}});
  const std::string before = test::dumpMain(folder_.mainPath());
  duringRun_ = [] { requestStop(SIGTERM); };
  std::ostringstream errors;
  std::streambuf* standardError = std::cerr.rdbuf(errors.rdbuf());
  click();
  std::cerr.rdbuf(standardError);
  EXPECT_TRUE(reports_.empty());
  EXPECT_FALSE(window().isVisible());
  EXPECT_NE(errors.str().find("1 sin guardar"), std::string::npos) << errors.str();
  window_.reset();
  environment_.reset();
  EXPECT_EQ(test::dumpMain(folder_.mainPath()), before);
}

// A file that cannot serve as a database, in one of the ways a person's disk
// can hold one. Each case spoils the main or the update file.
struct BadFile {
  const char* name;
  bool main;  // which file is spoiled
  void (*spoil)(const std::filesystem::path& file);
  bool stillOpens = false;  // a main file that opens takes the rows that can be applied
  bool mainUntouched = false;  // nothing can be applied: the main file stays byte for byte
};

void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

void dropTable(const std::filesystem::path& file, const char* table) {
  sample::SqlCipherFile(file, sample::kPassword).exec(std::string("DROP TABLE ") + table);
}

void dropValuations(const std::filesystem::path& f) {
  dropTable(f, "RNAValVehi1");
}

void dropWeight(const std::filesystem::path& f) {
  sample::SqlCipherFile(f, sample::kPassword)
      .exec(
          "DROP TABLE RNAMarMod; CREATE TABLE RNAMarMod(CodMar INTEGER, CodMod INTEGER, "
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
    {"UpdateMissing", false, [](const auto& f) { std::filesystem::remove(f); }, false, true},
    {"UpdateEmpty", false, [](const auto& f) { writeBytes(f, ""); }, false, true},
    {"UpdateOtherPassword", false,
     [](const auto& f) {
       std::filesystem::remove(f);
       sample::SqlCipherFile(f, "otra", sample::SqlCipherFile::Mode::kCreate)
           .exec(sample::kUpdateSchema);
     },
     false, true},
    // Only ordinary tables are read: a view could compute rows without end.
    {"UpdateTableIsAView", false,
     [](const auto& f) {
       sample::SqlCipherFile(f, sample::kPassword)
           .exec("DROP TABLE Marcas; CREATE VIEW Marcas AS SELECT Anioimp AS CodMar, "
                 "Tipo AS CodMod FROM ValVehi1");
     }},
    {"UpdateTableIsAnEndlessView", false,
     [](const auto& f) {
       sample::SqlCipherFile(f, sample::kPassword)
           .exec("DROP TABLE Marcas; CREATE VIEW Marcas AS WITH RECURSIVE n(x) AS (SELECT 1 "
                 "UNION ALL SELECT x + 1 FROM n) SELECT x AS CodMar, x AS CodMod, 'N' AS Nombre, "
                 "1 AS Tipo, 1 AS SubTipo, 1 AS Categoria, 'S' AS SubCate, 1.0 AS Peso FROM n");
     }},
    {"UpdateTableMissing", false, [](const auto& f) { dropTable(f, "ValVehi1"); }},
    {"UpdateFieldOfAnotherType", false,
     [](const auto& f) {
       sample::SqlCipherFile(f, sample::kPassword)
           .exec(
               "DROP TABLE ValVehi2; CREATE TABLE ValVehi2(Anioimp TEXT, Tipo INTEGER, CodMar "
               "INTEGER, CodMod INTEGER, Modanio INTEGER, Importe REAL, Alicuota REAL, DispTipo "
               "TEXT, DispNro INTEGER, DispAnio INTEGER);"
               "INSERT INTO ValVehi2 VALUES ('dos mil', 1, 1, 1, 1990, 1, 1, 'D', 1, 2000)");
     }},
};

class BadFiles : public WindowTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFiles, AreToldInSpanishAndOnStandardErrorAndNothingElseIsWritten) {
  const BadFile& bad = GetParam();
  test::insertRows(folder_.updatePath(), "Marcas", {{I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0}});
  const std::filesystem::path spoiled = bad.main ? folder_.mainPath() : folder_.updatePath();
  bad.spoil(spoiled);
  const std::set<std::string> filesBefore = filesUnder(folder_.root());
  const std::string spoiledBefore = test::readBytes(spoiled);
  const std::string updateBefore = test::readBytes(folder_.updatePath());
  const std::string mainBefore = test::readBytes(folder_.mainPath());

  std::ostringstream errors;
  std::streambuf* standardError = std::cerr.rdbuf(errors.rdbuf());
  click();
  std::cerr.rdbuf(standardError);
  window_.reset();
  environment_.reset();

  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("La actualización terminó con problemas"), std::string::npos);
  const std::string text = withoutPaths(reports_[0], folder_);
  for (const char* name : kInternalNames)
    EXPECT_EQ(text.find(name), std::string::npos) << name << "\n" << text;
  EXPECT_NE(errors.str().find("kestova: "), std::string::npos);
  EXPECT_EQ(filesUnder(folder_.root()), filesBefore);
  if (!bad.stillOpens) {
    EXPECT_TRUE(test::readBytes(spoiled) == spoiledBefore) << "the spoiled file changed";
  }
  EXPECT_TRUE(test::readBytes(folder_.updatePath()) == updateBefore) << "the update file changed";
  if (bad.mainUntouched) {
    EXPECT_TRUE(test::readBytes(folder_.mainPath()) == mainBefore) << "the main file changed";
  }
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
  QTranslator qtSpanish;
  if (!kestova::installQtSpanish(qtSpanish)) std::cerr << "window_test: no qtbase_es\n";
  kestova::Frm_ppal::substituteClassicFont();
  return RUN_ALL_TESTS();
}
