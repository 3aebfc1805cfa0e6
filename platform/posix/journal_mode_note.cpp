#include "platform/journal_mode_note.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>

#include "platform/user_folders.h"

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
  return Noted{text.substr(0, lineEnd), text.substr(lineEnd + 1, text.size() - lineEnd - 2)};
}

// The file the note was written for is still at its path.
bool fileStillThere(const fs::path& note, const Noted& noted) {
  const std::optional<FileIdentity> identity = fileIdentity(noted.file);
  return identity && noteName(*identity) == note.filename().string();
}

bool writeAndSync(const fs::path& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  return ::close(fd) == 0 && written;
}

// Makes a name given in `folder` last through a power cut.
bool syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

void removeNotesOfMissingFiles(const fs::path& folder) {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().filename().string().rfind(kPrefix, 0) != 0) continue;
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
  // Written whole under another name first, so that nobody reads half a note.
  const fs::path written = folder / ("." + note_.filename().string());
  if (!writeAndSync(written, mode + "\n" + file_.string() + "\n") ||
      std::rename(written.c_str(), note_.c_str()) != 0) {
    fs::remove(written, error);
    return false;
  }
  if (syncFolder(folder)) return true;
  remove();
  return false;
}

void JournalModeNote::remove() const noexcept {
  std::error_code ignored;
  fs::remove(note_, ignored);
}

}  // namespace kestova
