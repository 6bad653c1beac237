// The database worksheet functions computed here: DSUM, DMIN and DGET over a table of records selected by
// a criteria table.
#pragma once

#include <span>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the database family, one row per function name.
std::span<const ImplementationRow> databaseRoutines();

} // namespace cwbk
