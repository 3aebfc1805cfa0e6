#include "table_sync.h"

#include <optional>
#include <vector>

#include "data_environment.h"
#include "key_filter.h"
#include "stop_signals.h"

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

GuardOutcome evaluateGuard(const FieldCopy& copy, Recordset& source, StepRunner& steps,
                           const std::string& stepName) {
  GuardOutcome outcome;
  if (copy.guard == FieldCopy::Guard::None) return outcome;
  bool isNullValue = false;
  bool isEmptyText = false;
  steps.run(stepName, [&] {
    const FieldValue& value = source.field(copy.sourceField);
    isNullValue = isNull(value);
    auto* text = std::get_if<std::string>(&value);
    isEmptyText = text != nullptr && text->empty();
  });
  if (copy.guard == FieldCopy::Guard::SkipNullOrEmpty) {
    outcome.write = !isNullValue && !isEmptyText;
  } else if (isNullValue) {
    outcome.replacement = FieldValue(std::int64_t{0});
  }
  return outcome;
}

// One table's recordsets and the names of its steps, made once per table.
struct TablePass {
  const TableDefinition& table;
  Recordset& source;
  Recordset& target;
  StepRunner& steps;
  std::vector<std::string> copySteps, guardSteps;

  // Filter, count, add when missing, copy, save: one source row.
  RowOutcome syncRow() {
    // A key that cannot be used must not leave the previous row's match
    // current, so the row is passed over whole.
    if (!steps.run("Filtrar por clave", [&] { target.setFilter(keyFilter(table, source)); }))
      return RowOutcome::Rejected;
    std::int64_t matches = -1;
    if (!steps.run("Contar coincidencias", [&] { matches = target.recordCount(); }))
      return RowOutcome::NotSaved;
    if (matches == 0 && !steps.run("Agregar fila", [&] { target.addNew(); }))
      return RowOutcome::NotSaved;
    for (std::size_t i = 0; i < table.copies.size(); ++i) {
      const FieldCopy& copy = table.copies[i];
      GuardOutcome guard = evaluateGuard(copy, source, steps, guardSteps[i]);
      if (!guard.write) continue;
      steps.run(copySteps[i], [&] {
        target.setField(copy.targetField,
                        guard.replacement ? *guard.replacement : source.field(copy.sourceField));
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
  TablePass pass{
      table, environment.recordset(table.source), environment.recordset(table.target), steps, {},
      {}};
  for (const FieldCopy& copy : table.copies) {
    pass.copySteps.push_back("Copiar " + copy.sourceField + " en " + copy.targetField);
    pass.guardSteps.push_back("Probar " + copy.sourceField);
  }

  bool writing = true;
  std::int64_t row = 0;
  for (;;) {
    steps.setPlace(table.title);
    if (steps.lockTimedOut() || stopRequested()) {
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
