// The stand-in host: the host evaluation service that cwbk and the tests use where no spreadsheet
// application runs. It computes TEXT through the number formats, in the date system of the workbook
// being evaluated, and LINEST by least squares; every other request goes unanswered, so its result
// stays as it was (not computed).
#pragma once

#include "formula/host_services.h"

namespace cwbk::compiler {

class StandInHost : public HostEvaluationService {
public:
  void callWorksheetFunction(int number, const CalcValue* const* arguments, int maxArgs,
                             CalcValue& result) override;
  void evaluateText(std::u16string_view, CalcValue&) override {}
  // Formula texts (SUBTOTAL's hidden-row codes among them) are left to the library, as without a host.
  bool evaluatesTexts() const override { return false; }
  void callMacro(std::u16string_view, const CalcValue* const*, CalcValue&) override {}
  void evaluateCall(Cell*, const CallNode&, const CalcValue* const*, CalcValue&) override {}
};

// Makes a process-wide stand-in host the evaluation context's function service.
void useStandInHost();

// TEXT(value, format) as the host computes it: numbers (and numeric texts, empty as 0) through the
// format, other texts through its text section, Booleans as their texts; "#VALUE!" for a format that
// is not valid or a number it cannot show.
void standInText(const CalcValue& value, const CalcValue& format, bool date1904, CalcValue& result);

} // namespace cwbk::compiler
