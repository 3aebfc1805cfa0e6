#include "run_report.h"

#include <algorithm>

namespace kestova {

namespace {

constexpr std::size_t kKeptPerGroup = 5;

std::string place(const RunReport::Failure& failure) {
  std::string text;
  if (!failure.table.empty()) text += failure.table;
  if (failure.row > 0) text += ", fila " + std::to_string(failure.row);
  if (!text.empty()) text += ", ";
  return text + failure.step;
}

}  // namespace

void RunReport::recordFailure(Failure failure) {
  ++failureCount_;
  auto key = std::make_pair(failure.table, failure.step);
  Group& group = groups_[key];
  if (group.count++ == 0) groupOrder_.push_back(key);
  if (group.first.size() < kKeptPerGroup) group.first.push_back(std::move(failure));
}

RunReport::Tally& RunReport::tally(const std::string& table) {
  auto found = std::find_if(tallies_.begin(), tallies_.end(),
                            [&](const auto& entry) { return entry.first == table; });
  if (found != tallies_.end()) return found->second;
  return tallies_.emplace_back(table, Tally{}).second;
}

std::string RunReport::summary() const {
  std::string text = "La actualización terminó con problemas.\n";

  // Failures outside the rows (opening, counting) are few and each matters.
  bool first = true;
  for (const auto& key : groupOrder_) {
    const Group& group = groups_.at(key);
    if (group.first.front().row > 0) continue;
    if (first) text += "\n";
    first = false;
    for (const Failure& failure : group.first)
      text += "- " + place(failure) + ": " + failure.message + "\n";
  }

  if (!tallies_.empty()) text += "\n";
  for (const auto& [table, tally] : tallies_) {
    text += table + ": " + std::to_string(tally.added) + " filas agregadas, " +
            std::to_string(tally.updated) + " actualizadas, " +
            std::to_string(tally.unchanged) + " ya al día, " + std::to_string(tally.rejected) +
            " rechazadas, " + std::to_string(tally.notSaved) + " sin guardar.\n";
  }

  first = true;
  for (const auto& key : groupOrder_) {
    const Group& group = groups_.at(key);
    const Failure& example = group.first.front();
    if (example.row == 0) continue;
    if (first) text += "\nPrimer error de cada tipo:\n";
    first = false;
    text += "- " + place(example) + ": " + example.message;
    if (group.count > 1) text += " (" + std::to_string(group.count) + " veces en total)";
    text += "\n";
  }
  return text;
}

std::string RunReport::details() const {
  std::string text;
  for (const auto& key : groupOrder_) {
    const Group& group = groups_.at(key);
    for (const Failure& failure : group.first)
      text += "kestova: " + place(failure) + ": " + failure.message + "\n";
    if (group.count > static_cast<std::int64_t>(group.first.size())) {
      text += "kestova: " + (key.first.empty() ? std::string() : key.first + ", ") + key.second +
              ": " + std::to_string(group.count - group.first.size()) +
              " errores más como los anteriores\n";
    }
  }
  for (const auto& [table, tally] : tallies_) {
    text += "kestova: " + table + ": " + std::to_string(tally.added) + " agregadas, " +
            std::to_string(tally.updated) + " actualizadas, " +
            std::to_string(tally.unchanged) + " ya al día, " + std::to_string(tally.rejected) +
            " rechazadas, " + std::to_string(tally.notSaved) + " sin guardar\n";
  }
  return text;
}

}  // namespace kestova
