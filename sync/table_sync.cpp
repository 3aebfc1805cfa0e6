#include "sync/table_sync.h"

#include <optional>
#include <vector>

#include "data/data_environment.h"
#include "sync/key_filter.h"

namespace kestova {

namespace {

// How one source row ended.
enum class RowOutcome { Added, Updated, Unchanged, Rejected, NotSaved };

void count(RunReport::Tally& tally, RowOutcome outcome) {
  using Tally = RunReport::Tally;
  // In the order of RowOutcome.
  static constexpr std::int64_t Tally::*kCounts[] = {
      &Tally::added, &Tally::updated, &Tally::unchanged, &Tally::rejected, &Tally::notSaved};
  ++(tally.*kCounts[static_cast<int>(outcome)]);
}

// Whether a guarded copy is made, and with what value. A guard whose source
// value cannot be read counts as passed: the copy (or its first branch) runs.
struct GuardOutcome {
  bool write = true;
  std::optional<FieldValue> replacement;
};

// One field copy, its fields' columns found on first use, and its steps' names.
struct CopyPass {
  const FieldCopy& copy;
  NamedField source, target;
  std::string copyStep, guardStep;

  explicit CopyPass(const FieldCopy& fieldCopy)
      : copy(fieldCopy),
        source(fieldCopy.sourceField),
        target(fieldCopy.targetField),
        copyStep("Copiar " + fieldCopy.sourceField + " en " + fieldCopy.targetField),
        guardStep("Probar " + fieldCopy.sourceField) {}
};

GuardOutcome evaluateGuard(CopyPass& pass, Recordset& source, StepRunner& steps) {
  GuardOutcome outcome;
  if (pass.copy.guard == FieldCopy::Guard::None) return outcome;
  bool isNullValue = false;
  bool isEmptyText = false;
  steps.run(pass.guardStep, [&] {
    const FieldValue& value = pass.source.read(source);
    isNullValue = isNull(value);
    auto* text = std::get_if<std::string>(&value);
    isEmptyText = text != nullptr && text->empty();
  });
  if (pass.copy.guard == FieldCopy::Guard::SkipNullOrEmpty) {
    outcome.write = !isNullValue && !isEmptyText;
  } else if (isNullValue) {
    outcome.replacement.emplace(std::int64_t{0});
  }
  return outcome;
}

// One table's recordsets, key filter and copies, made once per table.
struct TablePass {
  Recordset& source;
  Recordset& target;
  StepRunner& steps;
  KeyFilter keyFilter;
  std::vector<CopyPass> copies;

  TablePass(const TableDefinition& table, DataEnvironment2& environment, StepRunner& runner)
      : source(environment.recordset(table.source)),
        target(environment.recordset(table.target)),
        steps(runner),
        keyFilter(table),
        copies(table.copies.begin(), table.copies.end()) {}

  // Every field the copies write is in the target: else no row is written,
  // rather than rows written but for that field.
  void findTargetFields() {
    for (const CopyPass& copy : copies) target.writeColumn(copy.copy.targetField);
  }

  // Filter, count, add when missing, copy, save: one source row.
  RowOutcome syncRow() {
    // A filter that fails must not leave the previous row's match current,
    // so the row is passed over whole. Only a key that cannot be used
    // rejects it; any other failure leaves it not saved.
    std::string key;
    if (!steps.run("Filtrar por clave", [&] {
          key = keyFilter.text(source);
          target.setFilter(key);
        }))
      return steps.keyRejected() ? RowOutcome::Rejected : RowOutcome::NotSaved;
    std::int64_t matches = -1;
    if (!steps.run("Contar coincidencias", [&] { matches = target.recordCount(); }))
      return RowOutcome::NotSaved;
    // A Null text key finds the row holding the empty text, as the design's
    // filter does, when no row holds the 0 it is written as; a row is added
    // under the 0.
    if (matches == 0 && !keyFilter.nullAsEmptyText().empty() &&
        !steps.run("Filtrar por clave vacía", [&] {
          target.setFilter(keyFilter.nullAsEmptyText());
          matches = target.recordCount();
          if (matches == 0) target.setFilter(key);
        }))
      return RowOutcome::NotSaved;
    if (matches == 0 && !steps.run("Agregar fila", [&] { target.addNew(); }))
      return RowOutcome::NotSaved;
    for (CopyPass& copy : copies) {
      GuardOutcome guard = evaluateGuard(copy, source, steps);
      if (!guard.write) continue;
      steps.run(copy.copyStep, [&] {
        copy.target.write(target,
                          guard.replacement ? *guard.replacement : copy.source.read(source));
      });
    }
    SaveResult saved = SaveResult::Unchanged;
    if (!steps.run("Guardar fila", [&] { saved = target.update(); })) return RowOutcome::NotSaved;
    if (saved == SaveResult::Added) return RowOutcome::Added;
    return saved == SaveResult::Updated ? RowOutcome::Updated : RowOutcome::Unchanged;
  }
};

}  // namespace

bool syncTable(const TableDefinition& table, DataEnvironment2& environment, Progress& progress,
               StepRunner& steps) {
  RunReport::Tally& tally = steps.report().tally(table.title);
  TablePass pass(table, environment, steps);

  bool writing = true;
  std::int64_t row = 0;
  const bool fieldsFound =
      steps.run("Buscar los campos de destino", [&] { pass.findTargetFields(); });
  if (!fieldsFound) tally.notSaved += pass.source.recordCount();
  while (fieldsFound) {
    steps.setPlace(table.title);
    if (steps.writingStopped() || environment.settings().stopRequested()) {
      writing = false;
      break;
    }
    bool atEnd = true;
    // A failed end test would otherwise repeat forever: it ends the table.
    if (!steps.run("Fin de datos", [&] { atEnd = pass.source.eof(); }) || atEnd) break;
    steps.setPlace(table.title, ++row);
    steps.run("Progreso", [&] { progress.advance(); });
    count(tally, pass.syncRow());
    pass.target.endOldReads();
    // Staying on the same row would repeat it forever: a failed move ends the table.
    if (!steps.run("Pasar a la fila siguiente", [&] { pass.source.moveNext(); })) break;
  }
  steps.setPlace(table.title);
  steps.run("Terminar la tabla", [&] { progress.tableEnd(); });
  if (!writing) tally.notSaved += std::max<std::int64_t>(0, pass.source.recordCount() - row);
  return writing;
}

}  // namespace kestova
