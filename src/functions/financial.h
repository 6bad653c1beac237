// The financial worksheet functions: annuities (PV, FV, PMT, IPMT, PPMT, CUMIPMT, CUMPRINC), cash flows
// (NPV, IRR, MIRR) and depreciation (SLN, SYD, DDB, DB).
#pragma once

#include <span>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the financial family, one row per function name.
std::span<const ImplementationRow> financialRoutines();

} // namespace cwbk
