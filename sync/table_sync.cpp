#include "table_sync.h"

#include <stdexcept>
#include <vector>

#include "data_environment.h"
#include "key_filter.h"

namespace kestova {

namespace {

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
  bool isNullValue = true;
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

}  // namespace

void syncTable(const TableDefinition& table, DataEnvironment2& environment, Progress& progress,
               StepRunner& steps) {
  RunReport::Tally& tally = steps.report().tally(table.title);
  steps.setPlace(table.title);
  Recordset* source = nullptr;
  Recordset* target = nullptr;
  // A table whose recordsets did not open cannot be brought up to date; its
  // rows are counted as not saved rather than passed over one failure at a time.
  if (!steps.run("Preparar la tabla", [&] {
        source = &environment.recordset(table.source);
        target = &environment.recordset(table.target);
        if (!source->isOpen() || !target->isOpen()) {
          if (source->isOpen()) tally.notSaved += source->recordCount();
          throw std::runtime_error("no se actualizó porque no se pudo abrir " +
                                   (source->isOpen() ? target->name() : source->name()));
        }
      }))
    return;

  std::vector<std::string> copySteps, guardSteps;
  for (const FieldCopy& copy : table.copies) {
    copySteps.push_back("Copiar " + copy.sourceField + " en " + copy.targetField);
    guardSteps.push_back("Probar " + copy.sourceField);
  }

  for (std::int64_t row = 1;; ++row) {
    bool atEnd = true;
    // A failed end test would otherwise repeat forever: it ends the table.
    if (!steps.run("Fin de datos", [&] { atEnd = source->eof(); }) || atEnd) break;
    steps.setPlace(table.title, row);
    steps.run("Progreso", [&] { progress.advance(); });

    // A key that cannot be used must not leave the previous row's match
    // current, so the row is passed over whole.
    if (!steps.run("Filtrar por clave", [&] { target->setFilter(keyFilter(table, *source)); })) {
      ++tally.rejected;
    } else {
      std::int64_t count = -1;
      bool counted = steps.run("Contar coincidencias", [&] { count = target->recordCount(); });
      const bool adding = counted && count == 0;
      if (!counted || (adding && !steps.run("Agregar fila", [&] { target->addNew(); }))) {
        ++tally.notSaved;
      } else {
        for (std::size_t i = 0; i < table.copies.size(); ++i) {
          const FieldCopy& copy = table.copies[i];
          GuardOutcome guard = evaluateGuard(copy, *source, steps, guardSteps[i]);
          if (!guard.write) continue;
          steps.run(copySteps[i], [&] {
            target->setField(copy.targetField,
                             guard.replacement ? *guard.replacement : source->field(copy.sourceField));
          });
        }
        if (steps.run("Guardar fila", [&] { target->update(); }))
          ++(adding ? tally.added : tally.updated);
        else
          ++tally.notSaved;
      }
    }

    // Staying on the same row would repeat it forever: a failed move ends the table.
    if (!steps.run("Pasar a la fila siguiente", [&] { source->moveNext(); })) break;
  }
  steps.setPlace(table.title);
}

void settleMainDatabase(DataEnvironment2& environment, StepRunner& steps) {
  steps.setPlace("");
  Connection& main = environment.connection("Nevaro");
  if (main.isOpen()) steps.run("Guardar la base de datos principal", [&] { main.settle(); });
}

void syncTables(DataEnvironment2& environment, Progress& progress, StepRunner& steps) {
  for (const TableDefinition* table : {&marcasYModelos(), &valuaciones1(), &valuaciones2()})
    syncTable(*table, environment, progress, steps);
  settleMainDatabase(environment, steps);
}

}  // namespace kestova
