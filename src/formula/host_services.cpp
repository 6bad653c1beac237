// Host evaluation services: the guarded calls into the two services (clearing the host-untouched flag
// first), and the formula texts built for the host.
#include "formula/host_services.h"

#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "formula/reference.h"
#include "platform/locale_settings.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// The host is about to be asked: the recalculation learns that its answers may have touched cells.
void noticeHostCall(EvaluationContext&) {
  if (CompiledWorkbook* workbook = evaluationWorkbook()) workbook->state().hostUntouched = 0;
}

} // namespace

bool hostCallWorksheetFunction(EvaluationContext& context, int number, const CalcValue* const* arguments,
                               int maxArgs, CalcValue& result) {
  HostEvaluationService* service = context.functionService;
  if (!service) return false;
  noticeHostCall(context);
  service->callWorksheetFunction(number, arguments, maxArgs, result);
  return true;
}

bool hostEvaluateText(EvaluationContext& context, std::u16string_view text, CalcValue& result) {
  HostEvaluationService* service = context.functionService;
  if (!service || !service->evaluatesTexts()) return false;
  noticeHostCall(context);
  service->evaluateText(text, result);
  return true;
}

bool hostCallMacro(EvaluationContext& context, std::u16string_view name, const CalcValue* const* arguments,
                   CalcValue& result) {
  HostEvaluationService* service = context.macroService;
  if (!service) return false;
  noticeHostCall(context);
  service->callMacro(name, arguments, result);
  return true;
}

bool hostEvaluateCall(EvaluationContext& context, const CallNode& call, const CalcValue* const* arguments,
                      CalcValue& result) {
  HostEvaluationService* service = context.macroService;
  if (!service) return false;
  noticeHostCall(context);
  service->evaluateCall(context.currentCell, call, arguments, result);
  return true;
}

// ---------------------------------------------------------------- texts

std::u16string quotedFormulaText(std::u16string_view text) {
  std::u16string quoted;
  quoted.reserve(text.size() + 2);
  quoted += u'"';
  for (char16_t c : text) {
    if (c == u'"') quoted += u'"';
    quoted += c;
  }
  quoted += u'"';
  return quoted;
}

// The sheet name is quoted (apostrophes around it, inner apostrophes doubled) so that names with
// spaces, punctuation or apostrophes read back as one sheet name.
std::u16string hostReferenceText(const Area& area) {
  CompiledWorkbook* workbook = evaluationWorkbook();
  const SheetInfo* sheet = workbook && area.first.isValid() ? workbook->sheet(area.first.sheet()) : nullptr;
  return referenceText(area, sheet ? std::u16string_view(sheet->quotedName) : std::u16string_view(), true);
}

std::u16string hostArgumentText(const CalcValue& v) {
  switch (v.kind()) {
  case CalcValue::ShortText:
  case CalcValue::LongText:
    return quotedFormulaText(v.textView());
  case CalcValue::Reference:
    return hostReferenceText(v.referenceArea());
  case CalcValue::Integer:
  case CalcValue::Double:
  case CalcValue::Boolean:
  case CalcValue::Error:
  case CalcValue::Array:
    return displayText(v);
  default:
    return {};
  }
}

std::u16string hostCallText(std::u16string_view name, const CalcValue* const* arguments) {
  std::u16string text = u"=";
  text += name;
  text += u'(';
  const std::u16string& separator = localeSettings().listSeparator;
  bool first = true;
  for (const CalcValue* const* a = arguments; a && *a; ++a) {
    if (!first) text += separator;
    first = false;
    text += hostArgumentText(**a);
  }
  text += u')';
  return text;
}

std::u16string valueFormulaText(const CalcValue& v) {
  switch (v.kind()) {
  case CalcValue::Empty:
    return {};
  case CalcValue::ShortText:
  case CalcValue::LongText:
    return quotedFormulaText(v.textView());
  case CalcValue::Reference:
    return hostReferenceText(v.referenceArea());
  default:
    return displayText(v);
  }
}

} // namespace cwbk
