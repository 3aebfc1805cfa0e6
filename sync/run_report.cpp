#include "sync/run_report.h"

#include <algorithm>

#include "sync/warning_text.h"

namespace kestova {

namespace {

using Cause = DatabaseError::Cause;

constexpr std::size_t kKeptPerGroup = 5;
// Different messages at one step (a NOT NULL and a CHECK refusal) are each
// kept, up to this many, however many failures came before them.
constexpr std::size_t kDistinctMessages = 10;

FailureKind kindOf(const RunReport::Failure& failure) {
  if (failure.keyRejected) return FailureKind::KeyRejected;
  if (failure.cause == Cause::InUse && failure.settles) return FailureKind::SettleHeldUp;
  return FailureKind::ByCause;
}

bool remember(std::vector<std::string>& messages, const std::string& message) {
  if (messages.size() >= kDistinctMessages ||
      std::find(messages.begin(), messages.end(), message) != messages.end())
    return false;
  messages.push_back(message);
  return true;
}

// A failure that names neither the update file nor one of its tables is about
// the main database, the only file a run writes.
FileRole roleOf(const std::string& object, const RunFiles& files) {
  if (object.empty()) return FileRole::Main;
  if (!files.update.empty() && object == files.update) return FileRole::Update;
  if (object == files.main) return FileRole::Main;
  const std::string table = object.substr(0, object.find('.'));
  const auto& tables = files.updateTables;
  return std::find(tables.begin(), tables.end(), table) != tables.end() ? FileRole::Update
                                                                        : FileRole::Main;
}

}  // namespace

void RunReport::recordFailure(Failure failure) {
  ++failureCount_;

  Kind kind{kindOf(failure), failure.cause, failure.object, failure.table};
  auto [found, fresh] = kinds_.try_emplace(kind);
  if (fresh) kindOrder_.push_back(kind);
  KindCount& counted = found->second;
  ++counted.failures;
  if (failure.row > 0 && failure.row != counted.lastRow) ++counted.rows;
  counted.lastRow = failure.row;
  remember(counted.messages, failure.message);

  auto key = std::make_pair(failure.table, failure.step);
  Group& group = groups_[key];
  if (group.count++ == 0) groupOrder_.push_back(key);
  const bool newMessage = remember(group.messages, failure.message);
  if (group.kept.size() < kKeptPerGroup || newMessage) group.kept.push_back(std::move(failure));
}

RunReport::Tally& RunReport::tally(const std::string& table) {
  auto found = std::find_if(tallies_.begin(), tallies_.end(),
                            [&](const auto& entry) { return entry.first == table; });
  if (found != tallies_.end()) return found->second;
  return tallies_.emplace_back(table, Tally{}).second;
}

std::string RunReport::summary(const RunFiles& files) const {
  // One paragraph per kind and file; failures of no known cause are told in
  // one paragraph whatever file they are about.
  std::vector<Topic> topics;
  for (const Kind& kind : kindOrder_) {
    const KindCount& counted = kinds_.at(kind);
    const FileRole role = roleOf(kind.object, files);
    const bool unknown = kind.kind == FailureKind::ByCause && kind.cause == Cause::Other;
    auto topic = std::find_if(topics.begin(), topics.end(), [&](const Topic& t) {
      return t.kind == kind.kind && t.cause == kind.cause && (t.role == role || unknown);
    });
    if (topic == topics.end()) {
      topic = topics.insert(topics.end(), Topic{});
      topic->kind = kind.kind;
      topic->cause = kind.cause;
      topic->role = role;
    }
    topic->failures += counted.failures;
    topic->rows += counted.rows;
    auto table = std::find_if(topic->tables.begin(), topic->tables.end(),
                              [&](const auto& entry) { return entry.first == kind.table; });
    if (table == topic->tables.end())
      table = topic->tables.insert(topic->tables.end(), {kind.table, 0});
    table->second += counted.rows;
    for (const std::string& message : counted.messages) remember(topic->messages, message);
  }
  return warningSummary(topics, tallies_, files);
}

std::string RunReport::details() const {
  std::string text;
  for (const auto& key : groupOrder_) {
    const Group& group = groups_.at(key);
    for (const Failure& failure : group.kept) text += failureDetail(failure);
    if (group.count > static_cast<std::int64_t>(group.kept.size()))
      text += moreFailuresDetail(key.first, key.second,
                                 group.count - static_cast<std::int64_t>(group.kept.size()));
  }
  text += notes();
  for (const auto& [table, tally] : tallies_) text += tallyDetail(table, tally);
  return text;
}

std::string RunReport::notes() const {
  std::string text;
  for (const std::string& note : notes_) text += noteDetail(note);
  return text;
}

}  // namespace kestova
