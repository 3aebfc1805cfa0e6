#pragma once

#include "data/connection.h"

namespace kestova {

// Reads every page of an open connection's file and checks its structure:
// a page that cannot be read, fails its authentication (every page of an
// encrypted file carries its own) or does not fit the file's b-trees shows a
// file damaged or cut short. Throws DatabaseError naming the file, with the
// database's first findings (cause NotADatabase, or the read's own cause).
void checkWholeFile(Connection& connection);

}  // namespace kestova
