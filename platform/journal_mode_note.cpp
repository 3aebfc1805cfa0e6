#include "platform/journal_mode_note.h"

#include <fstream>
#include <iterator>
#include <optional>

#include "platform/durable_file.h"
#include "platform/user_folders.h"
#include "platform/utf8_path.h"

namespace kestova {

namespace {

namespace fs = std::filesystem;

constexpr char kPrefix[] = "journal-mode-";

std::string noteName(const FileIdentity& identity) {
  return kPrefix + std::to_string(identity.device) + "-" + std::to_string(identity.inode);
}

// What a note holds: the mode on its first line, then the file's path.
struct Noted {
  std::string mode;
  fs::path file;
};

std::optional<Noted> readNote(const fs::path& note) {
  std::ifstream in(note, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::size_t lineEnd = text.find('\n');
  if (lineEnd == std::string::npos || text.size() < lineEnd + 3 || text.back() != '\n')
    return std::nullopt;
  try {
    return Noted{text.substr(0, lineEnd),
                 pathFromUtf8(text.substr(lineEnd + 1, text.size() - lineEnd - 2))};
  } catch (const fs::filesystem_error&) {
    return std::nullopt;  // damaged: not UTF-8, so no path (on Windows)
  }
}

// The file the note was written for is still at its path.
bool fileStillThere(const fs::path& note, const Noted& noted) {
  const std::optional<FileIdentity> identity = fileIdentity(noted.file);
  return identity && noteName(*identity) == utf8(note.filename());
}

void removeNotesOfMissingFiles(const fs::path& folder) {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    if (utf8(entry.path().filename()).rfind(kPrefix, 0) != 0) continue;
    const std::optional<Noted> noted = readNote(entry.path());
    if (!noted || !fileStillThere(entry.path(), *noted)) fs::remove(entry.path(), error);
  }
}

}  // namespace

JournalModeNote::JournalModeNote(fs::path file, const FileIdentity& identity)
    : file_(std::move(file)), note_(stateFolder() / noteName(identity)) {}

std::string JournalModeNote::read() const {
  const std::optional<Noted> noted = readNote(note_);
  return noted && fileStillThere(note_, *noted) ? noted->mode : std::string();
}

bool JournalModeNote::write(const std::string& mode) const {
  const fs::path folder = note_.parent_path();
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return false;
  removeNotesOfMissingFiles(folder);
  if (replaceFileDurably(note_, mode + "\n" + utf8(file_) + "\n")) return true;
  remove();
  return false;
}

void JournalModeNote::remove() const noexcept {
  std::error_code ignored;
  fs::remove(note_, ignored);
}

}  // namespace kestova
