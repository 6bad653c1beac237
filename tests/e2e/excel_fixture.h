// The fixture of the wrapper tests: a double with one workbook of three sheets and the runtime's
// Application wrapper holding the double's Application.
#pragma once

#include <gtest/gtest.h>

#include "excel/excel_objects.h"
#include "excel_double/excel_double.h"

namespace cwbk::testing {

class ExcelFixture : public ::testing::Test {
protected:
  ExcelDouble excel;
  WorkbookObject& book = excel.addWorkbook(u"Book1.xlsx", {u"Data", u"Calc", u"Extra"});
  WorksheetObject& sheet = book.sheet(1);
  ApplicationWrapper app{excel.application()};

  // Returns the wrapper of the first sheet, reached through the object model.
  WorksheetWrapper dataSheet() { return app.workbooks().workbook(1).worksheets().sheet(1); }
  // Returns the calls of member `id` as the log holds them.
  std::vector<const LoggedCall*> calls(DISPID id, CallLog::Kind kind = CallLog::Kind::Any,
                                       std::string_view object = {}) {
    return excel.log().find(id, kind, object);
  }
};

// Returns true when the variant is a double (or integer) equal to d.
inline bool holdsNumber(const Variant& v, double d) {
  return (v.type() == VT_R8 && v.get().dblVal == d) || (v.type() == VT_I4 && v.get().lVal == d);
}
inline bool holdsText(const Variant& v, std::u16string_view t) {
  return v.type() == VT_BSTR && bstrText(v.get().bstrVal) == t;
}

} // namespace cwbk::testing
