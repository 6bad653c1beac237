// The stand-in host: TEXT through the number formats and LINEST by least squares, nothing else.
#include "compiler/stand_in_host.h"

#include <optional>
#include <string>

#include "compiler/least_squares.h"
#include "format/number_format.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "values/conversions.h"

namespace cwbk::compiler {

namespace {

// The worksheet function numbers the stand-in answers.
constexpr int kTextNumber = 48;
constexpr int kLinestNumber = 49;

} // namespace

void standInText(const CalcValue& value, const CalcValue& format, bool date1904, CalcValue& result) {
  std::u16string code = format.isEmpty() ? std::u16string() : displayText(format);
  std::optional<std::u16string> shown;
  std::optional<double> number;
  if (value.isEmpty())
    number = 0;
  else if (value.isNumber() || value.isText())
    number = toNumber(value);
  if (number)
    shown = formatNumber(*number, code, dateSystemOf(date1904));
  else if (value.isText())
    shown = formatText(value.textView(), code);
  else if (value.isBoolean())
    shown = formatText(displayText(value), code);
  if (shown && shown->size() <= 32767)
    result.setText(*shown);
  else
    result.setError(ErrValue);
}

void StandInHost::callWorksheetFunction(int number, const CalcValue* const* arguments, int maxArgs,
                                        CalcValue& result) {
  if (number == kLinestNumber && maxArgs >= 1 && arguments[0]) {
    standInLinest(arguments, result);
    return;
  }
  if (number != kTextNumber || maxArgs < 2 || !arguments[0] || !arguments[1]) return;
  const CompiledWorkbook* workbook = evaluationContext().cellWorkbook();
  standInText(*arguments[0], *arguments[1], workbook && workbook->state().date1904, result);
}

void useStandInHost() {
  static StandInHost host;
  evaluationContext().functionService = &host;
}

} // namespace cwbk::compiler
