// The plain-text workbook format: one cell per line ("Sheet1!A2: =A1*2"), with sections for sheets,
// defined names, cell flags, cached values, data tables and hyperlinks (docs/text-workbook-format.md).
#pragma once

#include <string>
#include <string_view>

#include "compiler/source_workbook.h"

namespace cwbk::compiler {

// Returns the workbook described by `text` (UTF-8); `sourceName` names it in error messages, which read
// "NAME:LINE: what is wrong". Throws SourceError on the first fault.
SourceWorkbook readTextWorkbook(std::string_view text, const std::string& sourceName = "<text>");

// Returns the workbook in the text file at `path`; throws SourceError when it cannot be read or parsed.
SourceWorkbook readTextWorkbookFile(const std::string& path);

} // namespace cwbk::compiler
