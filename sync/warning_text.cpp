#include "sync/warning_text.h"

#include <algorithm>
#include <iterator>

#include "platform/utf8_path.h"

namespace kestova {

namespace {

using Cause = DatabaseError::Cause;

std::string count(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "Valuaciones 1", "Marcas y modelos y Valuaciones 2", "A, B y C".
std::string listOf(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " y " : ", ";
    text += names[i];
  }
  return text;
}

std::string tableNames(const Topic& topic, const char* lead) {
  std::vector<std::string> names;
  for (const auto& [title, rows] : topic.tables)
    if (!title.empty()) names.push_back(title);
  return names.empty() ? std::string() : lead + listOf(names);
}

// "2 filas de Valuaciones 2", "3 filas (2 de Marcas y modelos y 1 de Valuaciones 2)".
std::string rowsOf(const Topic& topic) {
  std::string text = count(topic.rows, "fila", "filas");
  std::vector<std::string> parts;
  for (const auto& [title, rows] : topic.tables)
    if (!title.empty() && rows > 0) parts.push_back(std::to_string(rows) + " de " + title);
  if (parts.size() == 1) return text + " de " + topic.tables.front().first;
  if (parts.size() > 1) text += " (" + listOf(parts) + ")";
  return text;
}

std::string folderOf(const std::string& file) {
  return utf8(pathFromUtf8(file).parent_path());
}

// What a paragraph about one file says for a cause: the lead, the tables
// concerned when `tables` is set (after that word), the place the file was
// looked for, and what to do.
struct Words {
  Cause cause;
  const char* lead;
  const char* advice;
  const char* tables = nullptr;
  const char* afterTables = "";
  bool inFolder = false;  // the place is the file's folder
};

constexpr char kSupport[] = "Avise a quien le da soporte técnico de Nevaro.";
constexpr char kSender[] = "Avise a quien le envió el archivo de actualización.";
constexpr char kNewUpdate[] =
    "Pida el archivo de actualización otra vez, colóquelo en esa carpeta y vuelva a ejecutar "
    "Kestova.";

constexpr Words kMainWords[] = {
    {Cause::FileMissing, "No se encontró la base de datos de Nevaro. Se buscó en",
     "Ejecute Kestova en la computadora donde está instalado Nevaro; si está instalado en esta, "
     "avise a quien le da soporte técnico de Nevaro."},
    {Cause::NotADatabase,
     "La base de datos de Nevaro está dañada o tiene otra contraseña, y Kestova no pudo usarla",
     kSupport},
    {Cause::InUse,
     "La base de datos de Nevaro estaba en uso por otro programa y Kestova no pudo guardar en ella",
     "Cierre Nevaro, en esta y en las demás computadoras que lo usan, y vuelva a ejecutar "
     "Kestova. Las filas ya guardadas no se duplican."},
    {Cause::AlreadyRunning,
     "Otro Kestova abierto en esta computadora ya está actualizando la base de datos de Nevaro; "
     "este no escribió nada en ella",
     "Espere a que el otro termine, o ciérrelo, y vuelva a ejecutar Kestova si hace falta."},
    {Cause::TableMissing,
     "A la base de datos de Nevaro le falta una tabla o un campo que Kestova necesita", kSupport,
     " para "},
    {Cause::NotATable, "La base de datos de Nevaro tiene una tabla que Kestova no puede usar",
     kSupport, " para "},
    {Cause::CannotWrite,
     "Kestova no puede escribir en la base de datos de Nevaro ni en su carpeta (son de solo "
     "lectura o faltan permisos)",
     "Pida a quien administra esta computadora permiso para escribir en esa carpeta y vuelva a "
     "ejecutar Kestova."},
    {Cause::DiskError,
     "El disco dio un error al escribir la base de datos de Nevaro; puede estar lleno",
     "Libere espacio en el disco, o avise a quien administra esta computadora, y vuelva a "
     "ejecutar Kestova."},
    {Cause::FileReplaced,
     "La base de datos de Nevaro fue reemplazada o borrada mientras Kestova la actualizaba (por "
     "ejemplo, al restaurar una copia de seguridad), y Kestova dejó de escribir",
     "Lo que Kestova guardó hasta entonces quedó en el archivo anterior, no en el que está ahora "
     "en ese lugar. Vuelva a ejecutar Kestova."},
};

// Causes missing here are told in the main database's words, with the update
// file's place.
constexpr Words kUpdateWords[] = {
    {Cause::FileMissing,
     "No se encontró el archivo de actualización Kestova.mdb en la carpeta desde la que se "
     "inició Kestova",
     "Coloque Kestova.mdb en esa carpeta y vuelva a ejecutar Kestova.", nullptr, "", true},
    {Cause::NotADatabase,
     "El archivo de actualización Kestova.mdb está dañado, incompleto (copiado a medias, por "
     "ejemplo) o no es un archivo de actualización para Kestova. Kestova no aplicó nada de él",
     kNewUpdate},
    {Cause::InUse, "Otro programa estaba usando el archivo de actualización Kestova.mdb",
     "Cierre ese programa y vuelva a ejecutar Kestova."},
    {Cause::TableMissing, "Al archivo de actualización Kestova.mdb le falta una tabla o un campo",
     kNewUpdate, " de ", ", así que está incompleto y Kestova no aplicó nada de él"},
    {Cause::NotATable, "Al archivo de actualización Kestova.mdb le falta una tabla o un campo",
     kNewUpdate, " de ", ", así que está incompleto y Kestova no aplicó nada de él"},
    {Cause::CannotWrite,
     "Kestova no tiene permiso para leer el archivo de actualización Kestova.mdb",
     "Pida a quien administra esta computadora permiso para leerlo y vuelva a ejecutar Kestova."},
    {Cause::DiskError, "El disco dio un error al leer el archivo de actualización Kestova.mdb",
     kNewUpdate},
};

// Where Windows is the cause: a right that administrator rights would give,
// and an update missing beside Kestova because it was opened inside a zip
// (Explorer then runs it alone from the user's temporary folder).
constexpr char kAsAdministrator[] =
    "Cierre Kestova y vuelva a iniciarlo como administrador: haga clic con el botón derecho del "
    "mouse en Kestova y elija \"Ejecutar como administrador\". Si no puede, pida ayuda a quien "
    "administra esta computadora.";
constexpr char kExtractAll[] =
    "Kestova se abrió desde dentro de un archivo comprimido (zip). Cierre Kestova, haga clic con "
    "el botón derecho del mouse en el archivo zip, elija \"Extraer todo...\" y ejecute Kestova "
    "desde la carpeta extraída, donde también queda Kestova.mdb.";

const char* adviceFor(const Topic& topic, const Words& words, const RunFiles& files) {
  if (topic.role == FileRole::Main && topic.cause == Cause::CannotWrite &&
      files.administratorCouldWrite)
    return kAsAdministrator;
  if (topic.role == FileRole::Update && topic.cause == Cause::FileMissing &&
      files.startedInTemporaryFolder)
    return kExtractAll;
  return words.advice;
}

template <std::size_t N>
const Words* wordsFor(const Words (&table)[N], Cause cause) {
  const auto found = std::find_if(std::begin(table), std::end(table),
                                  [&](const Words& words) { return words.cause == cause; });
  return found == std::end(table) ? nullptr : found;
}

// A paragraph about the main database or the update file.
std::string fileParagraph(const Topic& topic, const RunFiles& files) {
  const bool update = topic.role == FileRole::Update;
  const Words* words = update ? wordsFor(kUpdateWords, topic.cause) : nullptr;
  if (words == nullptr) words = wordsFor(kMainWords, topic.cause);
  if (words == nullptr) return {};
  const std::string& path = update ? files.update : files.main;
  std::string text = words->lead;
  if (words->tables != nullptr) text += tableNames(topic, words->tables) + words->afterTables;
  return text + ":\n" + (words->inFolder ? folderOf(path) : path) + "\n" +
         adviceFor(topic, *words, files);
}

std::string rowsParagraph(const Topic& topic) {
  const bool one = topic.rows == 1;
  switch (topic.cause) {
    case Cause::ValueRefused: {
      std::string text = rowsOf(topic) +
                         (one ? " no se guardó porque tiene" : " no se guardaron porque tienen") +
                         " un valor que la tabla no acepta";
      if (topic.messages.size() > 1)
        text += ", por " + std::to_string(topic.messages.size()) +
                " motivos distintos (están en los detalles)";
      return text + ". " + kSender;
    }
    case Cause::RowGone:
      return rowsOf(topic) + (one ? " no se guardó" : " no se guardaron") +
             " porque otro programa " + (one ? "la" : "las") +
             " borró o cambió mientras Kestova trabajaba. Vuelva a ejecutar Kestova.";
    default:
      return {};
  }
}

// `alone`: the only paragraph of the warning.
std::string paragraph(const Topic& topic, const RunFiles& files, bool alone) {
  const bool one = topic.rows == 1;
  switch (topic.kind) {
    case FailureKind::KeyRejected:
      return rowsOf(topic) + (one ? " no se copió" : " no se copiaron") +
             " porque su clave (los códigos que identifican " + (one ? "la fila" : "cada fila") +
             ") está vacía o no es un número. " + kSender;
    case FailureKind::SettleHeldUp:
      return "Todo lo guardado está a salvo. Al terminar, otro programa tenía abierta la base "
             "de datos de Nevaro y Kestova no pudo terminar de ordenar el archivo; lo hará la "
             "próxima vez que se ejecute. No hace falta hacer nada.";
    case FailureKind::ByCause:
      break;
  }
  if (topic.cause == Cause::ValueRefused || topic.cause == Cause::RowGone)
    return rowsParagraph(topic);
  if (topic.cause != Cause::Other) return fileParagraph(topic, files);
  const std::string more = alone ? "" : " más";
  return (topic.failures == 1
              ? "Hubo un problema" + more + ", descrito"
              : "Hubo " + std::to_string(topic.failures) + " problemas" + more + ", descritos") +
         " en los detalles. Si se repite, avise a quien le da soporte técnico de Nevaro.";
}

std::string tallySentence(const std::string& table, const RunReport::Tally& tally) {
  return table + ": " + std::to_string(tally.added) + " agregadas, " +
         std::to_string(tally.updated) + " actualizadas, " + std::to_string(tally.unchanged) +
         " ya al día, " + std::to_string(tally.rejected) + " rechazadas, " +
         std::to_string(tally.notSaved) + " sin guardar";
}

std::string detail(const std::string& text) {
  return "kestova: " + text + "\n";
}

std::string place(const std::string& table, std::int64_t row, const std::string& step) {
  std::string text;
  if (!table.empty()) text += table;
  if (row > 0) text += ", fila " + std::to_string(row);
  if (!text.empty()) text += ", ";
  return text + step;
}

}  // namespace

std::string warningSummary(const std::vector<Topic>& topics, const RunReport::Tallies& tallies,
                           const RunFiles& files) {
  std::string text = "La actualización terminó con problemas.\n";
  for (const Topic& topic : topics)
    text += "\n" + paragraph(topic, files, topics.size() == 1) + "\n";

  const bool anyRows = std::any_of(tallies.begin(), tallies.end(), [](const auto& entry) {
    const RunReport::Tally& t = entry.second;
    return t.added + t.updated + t.unchanged + t.rejected + t.notSaved > 0;
  });
  if (anyRows) {
    text += "\nFilas de cada tabla:\n";
    for (const auto& [table, tally] : tallies) text += tallySentence(table, tally) + ".\n";
  }
  return text;
}

std::string failureDetail(const RunReport::Failure& failure) {
  return detail(place(failure.table, failure.row, failure.step) + ": " + failure.message);
}

std::string moreFailuresDetail(const std::string& table, const std::string& step,
                               std::int64_t more) {
  return detail(place(table, 0, step) + ": " + std::to_string(more) +
                " errores más como los anteriores");
}

std::string tallyDetail(const std::string& table, const RunReport::Tally& tally) {
  return detail(tallySentence(table, tally));
}

std::string noteDetail(const std::string& note) {
  return detail(note);
}

}  // namespace kestova
