#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTranslator>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "app/progress_text.h"
#include "app/qt/frm_ppal.h"
#include "app/qt/start_up.h"
#include "app/qt/warning_box.h"
#include "app/run_control.h"
#include "data/data_environment.h"
#include "platform/stop_signals.h"
#include "tests/test_support.h"
#include "tools/sample/sample_data.h"
#include "tools/sample/sqlcipher_file.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using I = std::int64_t;
using test::TestFolder;
using namespace std::chrono_literals;

// A clock that moves by a fixed step each time it is read.
RunControl::Clock steppingClock(std::chrono::microseconds step) {
  auto now = std::make_shared<std::chrono::steady_clock::time_point>();
  return [now, step] { return *now += step; };
}

// A click and a press of the space bar on `button`, queued as a person's
// input waits while the program is busy.
void queueClickAndSpace(QPushButton* button) {
  const QPointF at = QRectF(button->rect()).center(), global = button->mapToGlobal(at);
  QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonPress, at, global,
                                                      Qt::LeftButton, Qt::LeftButton, {}));
  QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, at, global,
                                                      Qt::LeftButton, Qt::NoButton, {}));
  for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease})
    QCoreApplication::postEvent(button, new QKeyEvent(type, Qt::Key_Space, {}, " "));
}

// Records each text the percentage label is painted with, other than the one
// it showed, and whether each came under the hourglass.
class PaintWatcher : public QObject {
 public:
  explicit PaintWatcher(QLabel* label) { label->installEventFilter(this); }
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() != QEvent::Paint) return false;
    std::string text = static_cast<QLabel*>(object)->text().toStdString();
    if (!texts.empty() && texts.back() == text) return false;
    texts.push_back(std::move(text));
    const QCursor* cursor = QApplication::overrideCursor();
    underHourglass = underHourglass && cursor != nullptr && cursor->shape() == Qt::WaitCursor;
    return false;
  }
  std::vector<std::string> texts;
  bool underHourglass = true;
};

std::set<std::string> filesUnder(const fs::path& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    files.insert(entry.path().string());
  return files;
}

const test::Row kBrand = {I{1}, I{1}, "A", I{1}, I{1}, I{1}, "X", 1.0};

// One row of each update table, two of ValVehi2.
void someRows(const TestFolder& folder) {
  test::insertRows(folder.updatePath(), "Marcas", {kBrand});
  test::insertRows(folder.updatePath(), "ValVehi1",
                   {{I{2004}, I{1}, I{1}, "2", I{1990}, I{1}, 10.0}});
  test::insertRows(folder.updatePath(), "ValVehi2",
                   {{I{2004}, I{1}, I{1}, I{1}, I{1990}, 1.0, 0.1, "D", I{1}, I{2000}},
                    {I{2004}, I{1}, I{1}, I{2}, I{1990}, 1.0, 0.1, "D", I{1}, I{2000}}});
}

// The window over a test folder with both databases empty, its warning
// recorded instead of shown.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale::c());
    folder_.createEmptyDatabases();
    window_->reportFailures = [this](const RunWarning& warning) {
      warnings_.push_back(warning);
      buttonWhenWarned_ = button()->text();
      if (whileWarned_) whileWarned_();
    };
    window_->show();
    QApplication::processEvents();
  }
  void TearDown() override { clearStopRequest(); }

  QPushButton* button() const { return window_->Cmd_Comenzar_Salir(); }
  QLabel* percent() const { return window_->Lbl_porcentaje(); }
  // Clicks the button and returns what the run wrote to standard error.
  std::string click() {
    std::ostringstream errors;
    std::streambuf* standardError = std::cerr.rdbuf(errors.rdbuf());
    button()->click();
    std::cerr.rdbuf(standardError);
    return errors.str();
  }

  TestFolder folder_;
  std::unique_ptr<DataEnvironment2> environment_ =
      std::make_unique<DataEnvironment2>(folder_.settings());
  std::function<void()> duringRun_;  // called as the run takes the data environment
  std::function<void()> whileWarned_;
  std::unique_ptr<Frm_ppal> window_ = std::make_unique<Frm_ppal>([this]() -> DataEnvironment2& {
    if (duringRun_) duringRun_();
    return *environment_;
  });
  std::vector<RunWarning> warnings_;
  QString buttonWhenWarned_;
};

TEST_F(WindowTest, OpensWithTheTextAndTheFocusedButtonTopToBottomEachWhole) {
  QLabel* text = window_->Label1();
  EXPECT_TRUE(text->isVisible());
  EXPECT_FALSE(percent()->isVisible());
  EXPECT_EQ(button()->text(), "Comenzar");
  EXPECT_TRUE(button()->hasFocus());
  EXPECT_FALSE(button()->isDefault() || button()->autoDefault()) << "Enter would press it";
  EXPECT_LT(text->geometry().bottom(), percent()->geometry().top());
  EXPECT_LT(percent()->geometry().bottom(), button()->geometry().top());
  EXPECT_TRUE(window_->rect().contains(text->geometry() | button()->geometry()));
  // The text fits its label in the classic font's widths.
  const QRect room = text->contentsRect();
  EXPECT_LE(QFontMetrics(text->font()).boundingRect(room, Qt::TextWordWrap, text->text()).height(),
            room.height())
      << QFontInfo(text->font()).family().toStdString();
}

// The label is painted at most once per 1/60 s, under the hourglass, and always
// with the last share of each table and of the run. Tables of 6, 0 and 4 rows:
// shares of 10 %.
struct Pacing {
  const char* name;
  std::chrono::microseconds step;  // how far the clock moves each time it is read
  std::vector<std::string> painted;
  friend void PrintTo(const Pacing& pacing, std::ostream* out) { *out << pacing.name; }
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
  PaintWatcher watcher(percent());
  window_->runControl().setClock(steppingClock(GetParam().step));
  click();
  EXPECT_EQ(watcher.texts, GetParam().painted);
  EXPECT_EQ(window_->runControl().repaints(), std::ssize(GetParam().painted));
  EXPECT_TRUE(watcher.underHourglass);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(button()->text(), "Salir");
  EXPECT_TRUE(warnings_.empty());
}

INSTANTIATE_TEST_SUITE_P(Progress, RepaintPacing, ::testing::ValuesIn(kPacings),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(WindowTest, ARunWithNoRowsEndsOnAHundredPercentInTheLocalesFigures) {
  QLocale::setDefault(QLocale("es_AR"));
  PaintWatcher watcher(percent());
  click();
  EXPECT_TRUE(percent()->isVisible());
  EXPECT_EQ(watcher.texts, (std::vector<std::string>{"100,00 %"}));
  EXPECT_EQ(button()->text(), "Salir");
  EXPECT_TRUE(warnings_.empty());
  EXPECT_TRUE(environment_->connection("Actualizacion").isOpen()) << "nothing is closed";
}

// An update file its maker left in write-ahead mode is read as it is: nothing
// is created beside it, so it also reads from read-only media.
TEST_F(WindowTest, AnUpdateInWriteAheadModeIsReadWithNothingMadeBesideIt) {
  test::insertRows(folder_.updatePath(), "Marcas", {kBrand});
  sample::SqlCipherFile(folder_.updatePath(), sample::kPassword).exec("PRAGMA journal_mode = WAL");
  const std::set<std::string> before = filesUnder(folder_.work());
  click();
  EXPECT_TRUE(warnings_.empty());
  EXPECT_EQ(filesUnder(folder_.work()), before);
  EXPECT_EQ(test::dump(folder_.mainPath(), "RNAMarMod"),
            "1 | 1 | 'A' | 1 | 1 | 1 | 'X' | 1 | 'N'\n");
}

// One press, one action: a click and a key press made while the run works
// reach neither the warning (they would start a second run) nor the "Salir"
// that follows it (they would close the window).
TEST_F(WindowTest, InputMadeDuringTheRunIsNotTakenAsSalir) {
  fs::remove(folder_.updatePath());
  bool queued = false;  // once: a click that got through would start a run again
  duringRun_ = [&] {
    if (!std::exchange(queued, true)) queueClickAndSpace(button());
  };
  whileWarned_ = [] { QApplication::processEvents(); };
  click();
  QApplication::processEvents();
  EXPECT_EQ(warnings_.size(), 1u);
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(button()->text(), "Salir");

  // A click made after the button reads "Salir" ends the program.
  queueClickAndSpace(button());
  QApplication::processEvents();
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(WindowTest, AStopRequestedWhileIdleClosesTheWindow) {
  installStopSignals();
  window_->runControl().closeOnStopRequest();
  ::raise(SIGTERM);
  for (int i = 0; i < 100 && window_->isVisible(); ++i) QApplication::processEvents();
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(stopSignal(), SIGTERM);
}

// A stop requested during a run, by a signal or by closing the window (the
// window manager, the end of the session): the row is finished, the file
// settled, and the window closes without a warning.
class StoppedRun : public WindowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StoppedRun, ClosesTheWindowWithoutAWarning) {
  test::insertRows(folder_.updatePath(), "Marcas", {kBrand});
  const std::string before = test::dumpMain(folder_.mainPath());
  const bool byClosing = GetParam();
  duringRun_ = [&] { byClosing ? (void)window_->close() : requestStop(SIGTERM); };
  const std::string errors = click();
  EXPECT_TRUE(warnings_.empty());
  EXPECT_FALSE(window_->isVisible());
  EXPECT_NE(errors.find("1 sin guardar"), std::string::npos) << errors;
  window_.reset();
  environment_.reset();
  EXPECT_EQ(test::dumpMain(folder_.mainPath()), before);
}

INSTANTIATE_TEST_SUITE_P(Window, StoppedRun, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "ByClosing" : "BySignal"; });

// Records whether Label1, which a run never changes, was painted while a run
// was working, as it is when another window uncovers it.
class RunPaints : public QObject {
 public:
  RunPaints(Frm_ppal& window, std::function<void()> onPaint = {})
      : window_(window), onPaint_(std::move(onPaint)) {
    window.Label1()->installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && window_.runControl().running()) {
      duringRun = true;
      if (onPaint_) std::exchange(onPaint_, nullptr)();
    }
    return false;
  }
  bool duringRun = false;

 private:
  Frm_ppal& window_;
  std::function<void()> onPaint_;
};

// The window keeps serving its paints while the run works, and while it waits
// for another program's lock: here the lock is let go only once the window
// has repainted during the wait, so a window that did not would time out.
TEST_F(WindowTest, ARepaintAskedForDuringARunIsServedBeforeItEnds) {
  someRows(folder_);
  RunPaints paints(*window_);
  duringRun_ = [&] { window_->Label1()->update(); };
  click();
  EXPECT_TRUE(paints.duringRun);
}

TEST_F(WindowTest, ARepaintAskedForDuringALockWaitIsServedDuringTheWait) {
  someRows(folder_);
  environment_ = std::make_unique<DataEnvironment2>(folder_.settings(3s));
  sample::SqlCipherFile other(folder_.mainPath(), sample::kPassword);
  other.exec("BEGIN EXCLUSIVE");
  RunPaints paints(*window_, [&] { other.exec("COMMIT"); });
  duringRun_ = [&] { window_->Label1()->update(); };
  const std::string errors = click();
  EXPECT_TRUE(paints.duringRun);
  EXPECT_TRUE(warnings_.empty()) << errors;
}

TEST_F(WindowTest, WarningButtonsAreQtsOwnSpanishAndCtrlCCopiesTheWholeBox) {
  WarningBox box(window_->windowTitle(), {"Texto del aviso.", "kestova: detalle\n"}, window_.get());
  QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, "c");
  QApplication::sendEvent(&box, &copy);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
            "---------------------------\n"
            "Actualización de Valuaciones\n"
            "---------------------------\n"
            "Texto del aviso.\n"
            "---------------------------\n"
            "Aceptar   Mostrar detalles…   \n"
            "---------------------------\n"
            "kestova: detalle\n\n"
            "---------------------------\n");
}

// Names a person does not know: recordsets, commands, internal tables, steps,
// the database's English.
const char* const kInternalNames[] = {
    "rsC_",     "C_",         "RNA",    "ValVehi", "Marcas.",      "Actualizacion", "Abrir",
    "Filtrar",  "Contar",     "Copiar", "Probar",  "Guardar fila", "Progreso",      "constraint",
    "database", "such table", "SQLITE", "fila 1",  "kestova:"};

void expectNoInternalNames(const std::string& text) {
  for (const char* name : kInternalNames)
    EXPECT_EQ(text.find(name), std::string::npos) << name << "\n" << text;
}

// Spoils a test folder's files. The helpers below act on one of its two files.
using Spoil = std::function<void(const TestFolder&)>;
using File = fs::path (TestFolder::*)() const;
constexpr File kMain = &TestFolder::mainPath, kUpdate = &TestFolder::updatePath;

Spoil rewritten(File file, std::function<std::string(std::string)> from) {
  return [=](const TestFolder& f) {
    const std::string was = test::readBytes((f.*file)());
    std::ofstream((f.*file)(), std::ios::binary | std::ios::trunc) << from(was);
  };
}

Spoil sql(File file, std::string statements) {
  return [=](const TestFolder& f) {
    sample::SqlCipherFile((f.*file)(), sample::kPassword).exec(statements);
  };
}

Spoil remadeWithKey(File file, const char* password, const char* schema) {
  return [=](const TestFolder& f) {
    fs::remove((f.*file)());
    sample::SqlCipherFile((f.*file)(), password, sample::SqlCipherFile::Mode::kCreate).exec(schema);
  };
}

// A main or update file that cannot serve as it should, in one of the ways a
// person's disk can hold one, or that holds rows the run must refuse. Each
// spoils the files someRows() filled. Where `text` is given it is the whole
// warning after its heading, `{main}` and `{folder}` standing for the main
// database and the update file's folder.
struct BadFile {
  const char* name;
  Spoil spoil;
  bool mainUnchanged;  // nothing can be applied: the main file stays byte for byte
  std::string text = {};
  std::vector<std::string> details = {};  // the database's own words, in the details only
  friend void PrintTo(const BadFile& bad, std::ostream* out) { *out << bad.name; }
};

constexpr char kHeading[] = "La actualización terminó con problemas.\n\n";
// The rows of someRows(), none of them saved.
constexpr char kNoneSaved[] =
    "\n"
    "Filas de cada tabla:\n"
    "Marcas y modelos: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 1 sin guardar.\n"
    "Valuaciones 1: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 1 sin guardar.\n"
    "Valuaciones 2: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 2 sin guardar.\n";

const BadFile kBadFiles[] = {
    {"MainMissing",
     [](const TestFolder& f) { fs::remove(f.mainPath()); },
     true,
     std::string("No se encontró la base de datos de Nevaro. Se buscó en:\n"
                 "{main}\n"
                 "Ejecute Kestova en la computadora donde está instalado Nevaro; si está instalado "
                 "en esta, avise a quien le da soporte técnico de Nevaro.\n") +
         kNoneSaved,
     {"el archivo no existe"}},
    {"MainEmpty", rewritten(kMain, [](auto) { return ""; }), true},
    {"MainRandomBytes",
     rewritten(kMain,
               [](auto) {
                 std::string random(8192, '\0');
                 for (std::size_t i = 0; i < random.size(); ++i)
                   random[i] = static_cast<char>(i * 7919 % 251);
                 return random;
               }),
     true},
    {"MainTruncated",
     rewritten(kMain, [](std::string was) { return was.substr(0, was.size() / 2 + 100); }), true},
    {"MainUnencrypted", remadeWithKey(kMain, "", sample::kMainSchema), true},
    {"MainOtherPassword",
     remadeWithKey(kMain, "otra", sample::kMainSchema),
     true,
     std::string("La base de datos de Nevaro está dañada o tiene otra contraseña, y Kestova no "
                 "pudo usarla:\n"
                 "{main}\n"
                 "Avise a quien le da soporte técnico de Nevaro.\n") +
         kNoneSaved,
     {"is not a database"}},
    {"MainTableMissing",
     sql(kMain, "DROP TABLE RNAValVehi1"),
     false,
     "A la base de datos de Nevaro le falta una tabla o un campo que Kestova necesita para "
     "Valuaciones 1:\n"
     "{main}\n"
     "Avise a quien le da soporte técnico de Nevaro.\n"
     "\n"
     "Filas de cada tabla:\n"
     "Marcas y modelos: 1 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n"
     "Valuaciones 1: 0 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 1 sin guardar.\n"
     "Valuaciones 2: 2 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n",
     {"no such table: RNAValVehi1"}},
    {"MainFieldMissing",
     sql(kMain,
         "DROP TABLE RNAMarMod; CREATE TABLE RNAMarMod(CodMar INTEGER, CodMod INTEGER, Nombre "
         "TEXT, Tipo INTEGER, SubTipo INTEGER, Categoria INTEGER, SubCat TEXT)"),
     false},
    // Two refusals of different kinds at the same step: both are counted, and
    // each of the database's messages is in the details.
    {"MainRefusesTwoKindsOfValue",
     [](const TestFolder& f) {
       sql(kMain,
           "DROP TABLE RNAValVehi2; CREATE TABLE RNAValVehi2(AnioImpuesto INTEGER, Tipo INTEGER, "
           "CodMar INTEGER, CodMod INTEGER, ModAnio INTEGER, Importe REAL NOT NULL, Alicuota "
           "REAL CHECK (Alicuota >= 0), DispTipo TEXT, DispNro INTEGER, DispAnio INTEGER, Alta "
           "TEXT DEFAULT 'N')")(f);
       sql(kUpdate,
           "INSERT INTO ValVehi2 VALUES (2004, 1, 1, 3, 1990, NULL, 0.1, 'D', 1, 2000), (2004, 1, "
           "1, 4, 1990, 1.0, -0.1, 'D', 1, 2000)")(f);
     },
     false,
     "2 filas de Valuaciones 2 no se guardaron porque tienen un valor que la tabla no acepta, por "
     "2 motivos distintos (están en los detalles). Avise a quien le envió el archivo de "
     "actualización.\n"
     "\n"
     "Filas de cada tabla:\n"
     "Marcas y modelos: 1 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n"
     "Valuaciones 1: 1 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n"
     "Valuaciones 2: 2 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 2 sin guardar.\n",
     {"Valuaciones 2, fila 3, Guardar fila: ", "NOT NULL constraint failed: RNAValVehi2.Importe",
      "CHECK constraint failed"}},
    {"UpdateMissing",
     [](const TestFolder& f) { fs::remove(f.updatePath()); },
     true,
     "No se encontró el archivo de actualización Kestova.mdb en la carpeta desde la que se "
     "inició Kestova:\n"
     "{folder}\n"
     "Coloque Kestova.mdb en esa carpeta y vuelva a ejecutar Kestova.\n",
     {"el archivo no existe"}},
    {"UpdateEmpty", rewritten(kUpdate, [](auto) { return ""; }), true},
    {"UpdateOtherPassword", remadeWithKey(kUpdate, "otra", sample::kUpdateSchema), true},
    // Only ordinary tables are read: a view could compute rows without end.
    {"UpdateTableIsAView",
     sql(kUpdate,
         "DROP TABLE Marcas; CREATE VIEW Marcas AS SELECT Anioimp AS CodMar, Tipo AS CodMod FROM "
         "ValVehi1"),
     false},
    {"UpdateTableIsAnEndlessView",
     sql(kUpdate,
         "DROP TABLE Marcas; CREATE VIEW Marcas AS WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL "
         "SELECT x + 1 FROM n) SELECT x AS CodMar, x AS CodMod, 'N' AS Nombre, 1 AS Tipo, 1 AS "
         "SubTipo, 1 AS Categoria, 'S' AS SubCate, 1.0 AS Peso FROM n"),
     false},
    {"UpdateTableMissing", sql(kUpdate, "DROP TABLE ValVehi1"), false},
    {"UpdateFieldOfAnotherType",
     sql(kUpdate,
         "DROP TABLE ValVehi2; CREATE TABLE ValVehi2(Anioimp TEXT, Tipo INTEGER, CodMar INTEGER, "
         "CodMod INTEGER, Modanio INTEGER, Importe REAL, Alicuota REAL, DispTipo TEXT, DispNro "
         "INTEGER, DispAnio INTEGER); INSERT INTO ValVehi2 VALUES ('dos mil', 1, 1, 1, 1990, 1, "
         "1, 'D', 1, 2000)"),
     false},
    {"UpdateRowsRejected",
     sql(kUpdate,
         "INSERT INTO Marcas VALUES (NULL, 2, 'B', 1, 1, 1, 'X', 1.0), (1, 'tres', 'C', 1, 1, 1, "
         "'X', 1.0); INSERT INTO ValVehi2 VALUES (2004, 1, 1, 3, '', 1.0, 0.1, 'D', 1, 2000)"),
     false,
     "3 filas (2 de Marcas y modelos y 1 de Valuaciones 2) no se copiaron porque su clave (los "
     "códigos que identifican cada fila) está vacía o no es un número. Avise a quien le envió el "
     "archivo de actualización.\n"
     "\n"
     "Filas de cada tabla:\n"
     "Marcas y modelos: 1 agregadas, 0 actualizadas, 0 ya al día, 2 rechazadas, 0 sin guardar.\n"
     "Valuaciones 1: 1 agregadas, 0 actualizadas, 0 ya al día, 0 rechazadas, 0 sin guardar.\n"
     "Valuaciones 2: 2 agregadas, 0 actualizadas, 0 ya al día, 1 rechazadas, 0 sin guardar.\n",
     {"CodMar es Null"}},
};

class BadFiles : public WindowTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFiles, AreToldInSpanishBeforeSalirAndNothingElseIsWritten) {
  const BadFile& bad = GetParam();
  someRows(folder_);
  bad.spoil(folder_);
  const std::set<std::string> filesBefore = filesUnder(folder_.root());
  const std::string updateBefore = test::readBytes(folder_.updatePath());
  const std::string mainBefore = test::readBytes(folder_.mainPath());

  const std::string errors = click();
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_EQ(buttonWhenWarned_, "Comenzar");
  EXPECT_EQ(button()->text(), "Salir");
  EXPECT_EQ(percent()->text(), "100.00 %");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  const std::string text = QString(warnings_[0].text)
                               .replace(folder_.mainPath().string().c_str(), "{main}")
                               .replace(folder_.work().string().c_str(), "{folder}")
                               .toStdString();
  if (!bad.text.empty())
    EXPECT_EQ(text, kHeading + bad.text);
  else
    EXPECT_TRUE(text.starts_with(kHeading)) << text;
  expectNoInternalNames(text);
  const std::string details = warnings_[0].details.toStdString();
  for (const std::string& detail : bad.details)
    EXPECT_NE(details.find(detail), std::string::npos) << detail << "\n" << details;
  EXPECT_EQ(details, errors);

  window_.reset();
  environment_.reset();
  EXPECT_EQ(filesUnder(folder_.root()), filesBefore);
  EXPECT_TRUE(test::readBytes(folder_.updatePath()) == updateBefore) << "the update file changed";
  if (bad.mainUnchanged) {
    EXPECT_TRUE(test::readBytes(folder_.mainPath()) == mainBefore) << "the main file changed";
  }
}

INSTANTIATE_TEST_SUITE_P(Window, BadFiles, ::testing::ValuesIn(kBadFiles),
                         [](const auto& param) { return std::string(param.param.name); });

// Every cause the data layer can give, recorded where a run meets it: each is
// told in one paragraph of a person's words, without internal names.
TEST(RunWarningText, EveryCauseIsToldOnceWithoutInternalNames) {
  using Cause = DatabaseError::Cause;
  const RunFiles files{"/c/Archivos de programa/Nevaro/Nevaro.mdb",
                       "/trabajo/Kestova.mdb",
                       {"Marcas", "ValVehi1", "ValVehi2"}};
  const std::pair<RunReport::Failure, const char*> cases[] = {
      {{"", 0, "Abrir la conexión Nevaro", "m", Cause::AlreadyRunning, files.main},
       "Otro Kestova abierto en esta computadora ya está actualizando"},
      {{"Valuaciones 1", 7, "Guardar fila", "m", Cause::InUse, "RNAValVehi1"},
       "estaba en uso por otro programa"},
      {{"Valuaciones 1", 0, "Abrir rsC_ValVehi1_Nevaro", "m", Cause::NotATable, files.main},
       "una tabla que Kestova no puede usar para Valuaciones 1"},
      {{"Valuaciones 2", 3, "Guardar fila", "m", Cause::RowGone, "RNAValVehi2"},
       "1 fila de Valuaciones 2 no se guardó porque otro programa la borró"},
      {{"", 0, "Abrir la conexión Nevaro", "m", Cause::CannotWrite, files.main},
       "no puede escribir en la base de datos de Nevaro"},
      {{"", 0, "Guardar fila", "m", Cause::FileReplaced, files.main}, "fue reemplazada o borrada"},
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
  for (const auto& [failure, says] : cases) {
    RunReport report;
    report.recordFailure(failure);
    const std::string text = report.summary(files);
    EXPECT_NE(text.find(says), std::string::npos) << text;
    // The heading and one paragraph.
    EXPECT_TRUE(text.find("\n\n") != std::string::npos && text.find("\n\n") == text.rfind("\n\n"))
        << text;
    expectNoInternalNames(text);
  }
  // The final settling held up by another program loses nothing: it is told apart.
  RunReport report;
  StepRunner(report).run(kSettleStep,
                         [&] { throw DatabaseError("o", files.main, "m", 0, Cause::InUse); });
  EXPECT_NE(report.summary(files).find("Todo lo guardado está a salvo"), std::string::npos);
}

TEST(ProgressText, UsesThePatternAndTheGivenDecimalSeparator) {
  EXPECT_EQ(percentText(percentHundredths(1, 3), "."), "033.33 %");
  EXPECT_EQ(percentText(percentHundredths(2, 3), "."), "066.67 %");
  EXPECT_EQ(percentText(percentHundredths(1, 400), "."), "000.25 %");
  EXPECT_EQ(percentText(percentHundredths(1, 3), ","), "033,33 %");
  EXPECT_EQ(percentText(percentHundredths(25, 2), "."), "1250.00 %");
}

TEST(RowTotal, OverflowingSumsAreFailures) {
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
