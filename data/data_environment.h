#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "data/connection.h"
#include "data/recordset.h"

namespace kestova {

// One command of the data environment: the SQL that fills a recordset, the
// connection it runs on, and the recordset member it owns. Every command is a
// static, client-side cursor with optimistic locking: the Recordset class.
struct Command {
  Command(std::string commandName, Connection* commandConnection, std::string tableName)
      : name(std::move(commandName)),
        connection(commandConnection),
        table(std::move(tableName)),
        recordset("rs" + name) {}

  std::string name;
  Connection* connection;
  std::string table;
  Recordset recordset;
};

// The program's one fixed description of where its data lives: the main
// database `Nevaro` (read-write), the update database `Actualizacion`
// (read-only) and six commands, each with its recordset member. Members are
// reached by name, without regard to case. It is created with every member
// closed and owns them all; nothing closes them before it is destroyed.
class DataEnvironment2 {
 public:
  explicit DataEnvironment2(DataSettings settings = DataSettings::defaults());
  ~DataEnvironment2();

  DataEnvironment2(const DataEnvironment2&) = delete;
  DataEnvironment2& operator=(const DataEnvironment2&) = delete;

  // The program's instance, created at its first use with the default
  // settings; it lives until releaseInstance().
  static DataEnvironment2& instance();
  // Closes and destroys the program's instance, if it was created. The program
  // calls it when its window has closed, while the libraries it needs to leave
  // the files whole are still loaded.
  static void releaseInstance();

  // Throws DatabaseError for a name that is not a member.
  Connection& connection(std::string_view name);
  // The recordset member, named "rs" followed by its command's name.
  Recordset& recordset(std::string_view name);
  // The command that owns the named recordset member.
  Command& commandOf(std::string_view recordsetName);

  // Opens the named connection with its stored connection string.
  void openConnection(std::string_view name);
  // Opens the named recordset member on its command, opening the command's
  // connection first when that is closed.
  void openRecordset(std::string_view name);

  const DataSettings& settings() const { return settings_; }
  // What connections opened from now on call while they wait for a lock.
  void setWhileWaiting(std::function<void()> whileWaiting) {
    settings_.whileWaiting = std::move(whileWaiting);
  }

 private:
  DataSettings settings_;
  std::array<std::unique_ptr<Connection>, 2> connections_;
  std::array<std::unique_ptr<Command>, 6> commands_;
};

}  // namespace kestova
