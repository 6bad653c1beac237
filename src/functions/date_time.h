// The date and time worksheet functions: DATE, DATEVALUE, TIMEVALUE, DAY, MONTH, YEAR, WEEKDAY,
// DATEDIF, EDATE, EOMONTH, NOW and TODAY, in the date system of the workbook being calculated.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the date and time family, one row per function name.
std::span<const ImplementationRow> dateTimeRoutines();

// Returns the serial of a date or time text in the date system of the workbook being calculated (the
// 1900 system outside a calculation): the date reader that the number conversion falls back to.
std::optional<double> dateTextOfWorkbook(std::u16string_view text);

} // namespace cwbk
