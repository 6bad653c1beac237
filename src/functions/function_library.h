// The worksheet-function library: the routines of every function the library computes itself, by
// name, and their installation into the process-wide function table.
#pragma once

#include <span>

#include "formula/function_table.h"

namespace cwbk {

// Returns the rows of every function the library computes itself.
std::span<const ImplementationRow> implementationRows();

// Installs the library's routines into the process-wide function table, and the reading of date and
// time texts into the number conversion; a second call changes nothing.
// Whoever loads workbooks calls it first (the runtime at module load, the tools and tests at start):
// a call node takes its routine from the table when it is built.
void installFunctionLibrary();

} // namespace cwbk
