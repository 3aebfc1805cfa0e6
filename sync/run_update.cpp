#include "sync/run_update.h"

#include <limits>
#include <set>
#include <stdexcept>

#include "data/data_environment.h"
#include "data/file_check.h"
#include "platform/utf8_path.h"

namespace kestova {

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

namespace {

// Opens the recordsets of the run, trying each connection once.
class Opener {
 public:
  Opener(DataEnvironment2& environment, StepRunner& steps)
      : environment_(environment), steps_(steps) {}

  void openConnection(Connection& connection) {
    if (!steps_.run("Abrir la conexión " + connection.name(),
                    [&] { connection.open(environment_.settings()); }))
      failed_.insert(&connection);
  }

  void openRecordset(const std::string& name) {
    Connection& connection = *environment_.commandOf(name).connection;
    if (failed_.count(&connection) != 0) return;  // its cause is already reported
    if (!steps_.run("Abrir " + name, [&] { environment_.openRecordset(name); }) &&
        !connection.isOpen())
      failed_.insert(&connection);
  }

 private:
  DataEnvironment2& environment_;
  StepRunner& steps_;
  std::set<const Connection*> failed_;
};

void settleMainDatabase(Connection& main, StepRunner& steps) {
  steps.setPlace("");
  if (!main.isOpen() || !steps.run(kSettleStep, [&] { main.settle(); }) || !main.leftInLog())
    return;
  // Not a failure: the file alone holds every saved row.
  steps.report().addNote(std::string(kSettleStep) + " (" + utf8(main.path()) +
                         "): otro programa tiene abierta la base de datos: todas las filas están "
                         "guardadas en el archivo, que queda en modo de registro de escritura "
                         "hasta que la próxima ejecución le devuelva su modo de diario");
}

// The main connection, then for each table its target and its source.
void openRecordsets(DataEnvironment2& environment, Connection& main, StepRunner& steps) {
  Opener opener(environment, steps);
  opener.openConnection(main);
  if (main.path() != main.dataSource())
    steps.report().addNote("el archivo que Kestova actualiza es " + utf8(main.path()) +
                           ", la copia de " + utf8(main.dataSource()) +
                           " que Windows guarda para este usuario (VirtualStore) y que Nevaro "
                           "usa en su lugar");
  for (const TableDefinition* table : runTables()) {
    steps.setPlace(table->title);  // a table that cannot be opened is told by its name
    // A lock on the main file that outlasted the time-out is not waited for
    // again by each of its tables.
    if (!steps.writingStopped()) opener.openRecordset(table->target);
    opener.openRecordset(table->source);
  }
  steps.setPlace("");
}

// Counted only when every source opened: a source that did not open has its
// cause reported already, and the row total then stays 0.
std::int32_t countSourceRows(DataEnvironment2& environment, StepRunner& steps) {
  const auto& tables = runTables();
  for (const TableDefinition* table : tables)
    if (!environment.recordset(table->source).isOpen()) return 0;
  std::int32_t total = 0;
  steps.run("Contar las filas de origen", [&] {
    total = rowTotal({environment.recordset(tables[0]->source).recordCount(),
                      environment.recordset(tables[1]->source).recordCount(),
                      environment.recordset(tables[2]->source).recordCount()});
  });
  return total;
}

// An update is applied whole or not at all: before the first row is written,
// every source must be open, every page of the update file readable and
// authenticated, and every field the tables' keys and copies read present. A
// source that did not open has its cause reported already.
bool updateIsWhole(DataEnvironment2& environment, StepRunner& steps) {
  for (const TableDefinition* table : runTables())
    if (!environment.recordset(table->source).isOpen()) return false;
  Connection& update = *environment.commandOf(runTables().front()->source).connection;
  if (!steps.run("Comprobar el archivo de actualización", [&] { checkWholeFile(update); }))
    return false;
  bool whole = true;
  for (const TableDefinition* table : runTables()) {
    Recordset& source = environment.recordset(table->source);
    steps.setPlace(table->title);
    whole = steps.run("Buscar los campos de origen", [&] {
      for (const KeyPiece& piece : table->key) source.readColumn(piece.sourceField);
      for (const FieldCopy& copy : table->copies) source.readColumn(copy.sourceField);
    }) && whole;
  }
  steps.setPlace("");
  return whole;
}

// The main file, the update file and the update's tables, as the database
// names them.
RunFiles filesOf(DataEnvironment2& environment) {
  const auto& tables = runTables();
  RunFiles files;
  files.main = utf8(environment.commandOf(tables.front()->target).connection->path());
  files.update = utf8(environment.commandOf(tables.front()->source).connection->path());
  for (const TableDefinition* table : tables)
    files.updateTables.push_back(environment.commandOf(table->source).table);
  files.administratorCouldWrite = environment.settings().administratorCouldWrite;
  files.startedInTemporaryFolder = environment.settings().startedInTemporaryFolder;
  return files;
}

}  // namespace

RunFiles runUpdate(DataEnvironment2& environment, Progress& progress, StepRunner& steps) {
  Connection& main = *environment.commandOf(runTables().front()->target).connection;
  steps.setPlace("");
  openRecordsets(environment, main, steps);
  const std::int32_t total = countSourceRows(environment, steps);
  const bool whole = updateIsWhole(environment, steps);

  steps.run("Empezar las tablas", [&] { progress.tablesBegin(total); });
  bool writing = whole;
  for (const TableDefinition* table : runTables()) {
    Recordset& source = environment.recordset(table->source);
    Recordset& target = environment.recordset(table->target);
    if (writing && source.isOpen() && target.isOpen()) {
      writing = syncTable(*table, environment, progress, steps);
    } else if (source.isOpen()) {
      // Not processed: its rows are counted as not saved, once.
      steps.report().tally(table->title).notSaved += source.recordCount();
    } else {
      steps.report().tally(table->title);
    }
  }
  steps.run("Terminar las tablas", [&] { progress.tablesEnd(); });
  settleMainDatabase(main, steps);
  RunFiles files;
  steps.run("Nombrar los archivos", [&] { files = filesOf(environment); });
  return files;
}

}  // namespace kestova
