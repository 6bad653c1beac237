// OLE2 compound files (the container of binary .xls workbooks and of password-encrypted packages): the
// signature and the names in the directory, enough to say what such a file is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cwbk::compiler {

// Returns true when the bytes begin with the compound file signature D0 CF 11 E0 A1 B1 1A E1.
bool isCompoundFile(std::string_view bytes);

// Returns the names of the storages and streams in a compound file's directory, in directory order.
// Every sector is bounds-checked; a damaged file yields the entries read before the damage.
std::vector<std::u16string> compoundFileEntries(std::string_view bytes);

// Returns what a compound file holds, as the reason it is not read: "encrypted workbook: remove the
// password in Excel first" (an EncryptedPackage stream), "binary .xls workbook: save it as .xlsx" (a
// Workbook or Book stream), else "OLE2 compound file, not an .xlsx workbook".
std::string describeCompoundFile(std::string_view bytes);

} // namespace cwbk::compiler
