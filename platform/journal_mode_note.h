#pragma once

#include <filesystem>
#include <string>

#include "platform/file_identity.h"

namespace kestova {

// The journal mode a database file was kept in before a run put it in
// write-ahead mode, noted with the user who runs the program (in the state
// folder, user_folders.h), never on the file or beside it: a run that could
// not put the mode back (killed, or another program kept the file open)
// leaves the note, and the next run of the same user returns the file to it.
// There is one note per file, named after the file's identity; it also names
// the file's path, so that a note whose file no longer exists there (removed,
// or its identity taken by another file since) is ignored. Paths are noted in
// UTF-8 on every system.
class JournalModeNote {
 public:
  JournalModeNote(std::filesystem::path file, const FileIdentity& identity);

  // The mode noted for the file, or "" when there is none to trust.
  std::string read() const;
  // Notes `mode`, flushed to the disk, and removes the notes of files that no
  // longer exist. False when it cannot be noted.
  bool write(const std::string& mode) const;
  // Removes the note, if any.
  void remove() const noexcept;

 private:
  std::filesystem::path file_;
  std::filesystem::path note_;
};

}  // namespace kestova
