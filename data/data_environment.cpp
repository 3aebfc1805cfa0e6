#include "data/data_environment.h"

#include "data/database_error.h"
#include "data/text_rules.h"

namespace kestova {

namespace {

std::unique_ptr<DataEnvironment2>& programInstance() {
  static std::unique_ptr<DataEnvironment2> instance;
  return instance;
}

[[noreturn]] void noMember(std::string_view name) {
  throw DatabaseError("Buscar en DataEnvironment2", std::string(name), "no existe ese miembro");
}

}  // namespace

DataEnvironment2::DataEnvironment2(DataSettings settings) : settings_(std::move(settings)) {
  connections_ = {
      std::make_unique<Connection>("Nevaro",
                                   "Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;"
                                   "Data Source=C:\\Archivos de programa\\Nevaro\\Nevaro.mdb;"
                                   "Jet OLEDB:Database Password=k7p.t4;",
                                   /*readOnly=*/false),
      // Nothing in a run may alter the update file.
      std::make_unique<Connection>("Actualizacion",
                                   "Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;"
                                   "Data Source=Kestova.mdb;Jet OLEDB:Database Password=k7p.t4;",
                                   /*readOnly=*/true),
  };
  Connection* nevaro = connections_[0].get();
  Connection* actualizacion = connections_[1].get();
  auto command = [](const char* name, Connection* connection, const char* table) {
    return std::make_unique<Command>(name, connection, table);
  };
  commands_ = {
      command("C_ValVehi2_Actualizacion", actualizacion, "ValVehi2"),
      command("C_ValVehi1_Actualizacion", actualizacion, "ValVehi1"),
      command("C_MarMod_Actualizacion", actualizacion, "Marcas"),
      command("C_ValVehi2_Nevaro", nevaro, "RNAValVehi2"),
      command("C_ValVehi1_Nevaro", nevaro, "RNAValVehi1"),
      command("C_Marmod_Nevaro", nevaro, "RNAMarMod"),
  };
}

// Recordsets go before the connections their statements belong to.
DataEnvironment2::~DataEnvironment2() {
  for (auto& command : commands_) command.reset();
}

DataEnvironment2& DataEnvironment2::instance() {
  auto& instance = programInstance();
  if (!instance) instance = std::make_unique<DataEnvironment2>();
  return *instance;
}

void DataEnvironment2::releaseInstance() {
  programInstance().reset();
}

Connection& DataEnvironment2::connection(std::string_view name) {
  for (auto& connection : connections_)
    if (sameName(connection->name(), name)) return *connection;
  noMember(name);
}

Recordset& DataEnvironment2::recordset(std::string_view name) {
  return commandOf(name).recordset;
}

Command& DataEnvironment2::commandOf(std::string_view recordsetName) {
  for (auto& command : commands_)
    if (sameName(command->recordset.name(), recordsetName)) return *command;
  noMember(recordsetName);
}

void DataEnvironment2::openConnection(std::string_view name) {
  connection(name).open(settings_);
}

void DataEnvironment2::openRecordset(std::string_view name) {
  Command& command = commandOf(name);
  if (!command.connection->isOpen()) command.connection->open(settings_);
  command.recordset.open(*command.connection, command.table);
}

}  // namespace kestova
