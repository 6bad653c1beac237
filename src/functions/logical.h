// The logical family (IF, IFERROR, AND, OR, NOT, TRUE, FALSE: logical.cpp) and the information family
// (the IS tests, N, NA, TYPE, ERROR.TYPE, COUNTBLANK, CELL and INFO: information.cpp), with the facts
// about the running application that INFO and CELL report.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the logical functions, one row per function name.
std::span<const ImplementationRow> logicalRoutines();
// Returns the routines of the information functions, one row per function name.
std::span<const ImplementationRow> informationRoutines();

// What the application knows about itself and the workbook it carries.
struct ApplicationInfo {
  std::u16string name;           // INFO("appname"); empty leaves the result empty
  std::u16string version;        // INFO("appver")
  std::u16string workbookFolder; // the workbook's folder, ending in a path separator
  std::u16string workbookName;   // the workbook's file name, as CELL prints it between brackets
};

// Sets (or, with nullopt, forgets) the application information; the host sets it once it knows it.
void setApplicationInfo(std::optional<ApplicationInfo> info);
// Returns the application information, or null when the host has given none.
const ApplicationInfo* applicationInfo();

} // namespace cwbk
