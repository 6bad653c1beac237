// The VARIANT bridge: fromVariant and toVariant over scalars and safe arrays.
#include "excel/variant_bridge.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "excel/com_error.h"
#include "platform/locale_settings.h"
#include "values/calc_error.h"

namespace cwbk {

namespace {

// Nested arrays deeper than this are left empty: a hostile variant cannot recurse without end.
constexpr int kMaxNesting = 8;

void storeWide(int64_t i, CalcValue& target) {
  if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max())
    target.setInteger(static_cast<int32_t>(i));
  else
    target.setNumber(static_cast<double>(i));
}

void storeDouble(double d, CalcValue& target) {
  target.setNumber(std::isfinite(d) ? d : 0.0);
}

// Returns the size an element of a readable type occupies, 0 for the types that are not read.
size_t elementSize(VARTYPE vt) {
  switch (vt) {
  case VT_I1:
  case VT_UI1:
    return 1;
  case VT_I2:
  case VT_UI2:
  case VT_BOOL:
    return 2;
  case VT_I4:
  case VT_UI4:
  case VT_INT:
  case VT_UINT:
  case VT_R4:
  case VT_ERROR:
    return 4;
  case VT_BSTR:
    return sizeof(BSTR); // a pointer: 4 bytes on 32-bit Windows, 8 on 64-bit
  case VT_I8:
  case VT_UI8:
  case VT_R8:
  case VT_DATE:
  case VT_CY:
    return 8;
  case VT_DECIMAL:
    return sizeof(DECIMAL);
  case VT_VARIANT:
    return sizeof(VARIANT);
  default:
    return 0;
  }
}

void convert(const VARIANT& source, CalcValue& target, int depth);

// Converts one safe-array element of type `vt` stored at `p`.
void convertElement(VARTYPE vt, const void* p, size_t size, CalcValue& target, int depth) {
  if (vt == VT_VARIANT) {
    convert(*static_cast<const VARIANT*>(p), target, depth + 1);
    return;
  }
  if (vt == VT_DECIMAL) {
    double d = 0;
    if (SUCCEEDED(VarR8FromDec(const_cast<DECIMAL*>(static_cast<const DECIMAL*>(p)), &d)))
      storeDouble(d, target);
    return;
  }
  // A borrowed view of the element: the union of a VARIANT holds every other element type. It starts
  // zeroed so that the bytes an element does not cover are never read uninitialised.
  VARIANT view{};
  VariantInit(&view);
  std::memcpy(&view.llVal, p, std::min(size, elementSize(vt)));
  view.vt = vt;
  convert(view, target, depth);
}

void convertArray(const SAFEARRAY* array, CalcValue& target, int depth) {
  if (!array || depth > kMaxNesting) return;
  auto* sa = const_cast<SAFEARRAY*>(array);
  UINT dims = SafeArrayGetDim(sa);
  if (dims != 1 && dims != 2) return;
  VARTYPE vt = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(sa, &vt))) {
    if (sa->fFeatures & FADF_VARIANT)
      vt = VT_VARIANT;
    else if (sa->fFeatures & FADF_BSTR)
      vt = VT_BSTR;
    else
      return;
  }
  // An array whose elements are smaller than their type is not read past their end.
  size_t size = SafeArrayGetElemsize(sa);
  if (!elementSize(vt) || size < elementSize(vt)) return;
  uint32_t extent[2] = {1, 1};
  for (UINT d = 1; d <= dims; ++d) {
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(sa, d, &lower)) || FAILED(SafeArrayGetUBound(sa, d, &upper))) return;
    extent[d - 1] = upper < lower ? 0 : static_cast<uint32_t>(static_cast<int64_t>(upper) - lower + 1);
  }
  // One dimension is a single row; with two, dimension 1 counts rows and dimension 2 columns.
  uint32_t rows = dims == 2 ? extent[0] : 1;
  uint32_t columns = dims == 2 ? extent[1] : extent[0];
  if (!rows || !columns) rows = 1, columns = 0;
  CalcValue result;
  result.resizeArray(columns, rows);
  void* data = nullptr;
  if (columns) {
    if (FAILED(SafeArrayAccessData(sa, &data))) return;
    // Dimension 1 varies fastest: element (row r, column c) is at r + c * rows.
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (uint32_t c = 0; c < columns; ++c)
      for (uint32_t r = 0; r < rows; ++r) {
        const void* p = bytes + (static_cast<size_t>(r) + static_cast<size_t>(c) * rows) * size;
        convertElement(vt, p, size, *result.element(c, r), depth);
      }
    SafeArrayUnaccessData(sa);
  }
  target = std::move(result);
}

void convert(const VARIANT& source, CalcValue& target, int depth) {
  if (depth > kMaxNesting) return;
  VARTYPE vt = source.vt;
  if (vt & VT_ARRAY) {
    convertArray((vt & VT_BYREF) ? (source.pparray ? *source.pparray : nullptr) : source.parray, target,
                 depth);
    return;
  }
  if (vt & VT_BYREF) {
    if (!source.byref) return;
    VARIANT direct;
    VariantInit(&direct);
    if (FAILED(VariantCopyInd(&direct, const_cast<VARIANT*>(&source)))) return;
    convert(direct, target, depth + 1);
    VariantClear(&direct);
    return;
  }
  switch (vt) {
  case VT_BOOL:
    target.setBoolean(source.boolVal != 0);
    break;
  case VT_I1:
    target.setInteger(source.cVal);
    break;
  case VT_UI1:
    target.setInteger(source.bVal);
    break;
  case VT_I2:
    target.setInteger(source.iVal);
    break;
  case VT_UI2:
    target.setInteger(source.uiVal);
    break;
  case VT_I4:
    target.setInteger(source.lVal);
    break;
  case VT_INT:
    target.setInteger(source.intVal);
    break;
  case VT_UI4:
    storeWide(source.ulVal, target);
    break;
  case VT_UINT:
    storeWide(source.uintVal, target);
    break;
  case VT_I8:
    storeWide(source.llVal, target);
    break;
  case VT_UI8:
    if (source.ullVal > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      target.setNumber(static_cast<double>(source.ullVal));
    else
      storeWide(static_cast<int64_t>(source.ullVal), target);
    break;
  case VT_R4:
    storeDouble(source.fltVal, target);
    break;
  case VT_R8:
    storeDouble(source.dblVal, target);
    break;
  case VT_DATE:
    storeDouble(source.date, target);
    break;
  case VT_CY:
    storeDouble(static_cast<double>(source.cyVal.int64) / 10000.0, target);
    break;
  case VT_DECIMAL: {
    double d = 0;
    if (SUCCEEDED(VarR8FromDec(const_cast<DECIMAL*>(&source.decVal), &d))) storeDouble(d, target);
    break;
  }
  case VT_BSTR: {
    UINT length = source.bstrVal ? SysStringLen(source.bstrVal) : 0;
    target.setText(reinterpret_cast<const char16_t*>(source.bstrVal ? source.bstrVal : L""), length);
    break;
  }
  case VT_ERROR:
    target.setError(source.scode);
    break;
  default:
    break;
  }
}

bool equalIgnoringCaseWin(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, reinterpret_cast<const wchar_t*>(a.data()),
                        static_cast<int>(a.size()), reinterpret_cast<const wchar_t*>(b.data()),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}

Variant arrayVariant(const CalcValue& value, bool protectTexts) {
  uint32_t columns = value.arrayColumns();
  uint32_t rows = value.arrayRows();
  bool oneRow = rows <= 1;
  SAFEARRAYBOUND bounds[2];
  if (oneRow) {
    bounds[0] = {columns, 1};
  } else {
    bounds[0] = {rows, 1};
    bounds[1] = {columns, 1};
  }
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, oneRow ? 1 : 2, bounds);
  if (!array) throw ComError(E_OUTOFMEMORY);
  Variant result;
  result.get().vt = VT_ARRAY | VT_VARIANT;
  result.get().parray = array; // owned by `result` from here on
  if (!oneRow || columns) {
    void* data = nullptr;
    checkResult(SafeArrayAccessData(array, &data));
    auto* slots = static_cast<VARIANT*>(data);
    try {
      uint32_t usedRows = oneRow ? 1 : rows;
      for (uint32_t c = 0; c < columns; ++c)
        for (uint32_t r = 0; r < usedRows; ++r) {
          const CalcValue* element = value.element(c, r);
          if (!element || element->isArray()) continue;
          slots[r + static_cast<size_t>(c) * usedRows] = toVariant(*element, protectTexts).release();
        }
    } catch (...) {
      SafeArrayUnaccessData(array);
      throw;
    }
    SafeArrayUnaccessData(array);
  }
  return result;
}

} // namespace

void fromVariant(const VARIANT& source, CalcValue& target) {
  convert(source, target, 0);
}

CalcValue fromVariant(const VARIANT& source) {
  CalcValue v;
  convert(source, v, 0);
  return v;
}

bool needsTextProtection(std::u16string_view text) {
  if (text.empty()) return true;
  size_t i = text.find_first_not_of(u' ');
  if (i != std::u16string_view::npos) {
    char16_t c = text[i];
    if (c == u'$' || c == u'%' || c == u'\'' || c == u'(' || c == u'+' || c == u'-' || c == u'=' ||
        (c >= u'0' && c <= u'9'))
      return true;
    const std::u16string& separator = localeSettings().decimalSeparator;
    if (!separator.empty() && text.substr(i).starts_with(separator)) return true;
  }
  if (i != 0) return false;
  if (equalIgnoringCaseWin(text, trueText()) || equalIgnoringCaseWin(text, falseText())) return true;
  // Excel turns an error's text into the error value itself.
  for (CalcError e : kAllErrors)
    if (equalIgnoringCaseWin(text, errorText(e))) return true;
  return false;
}

Variant toVariant(const CalcValue& value, bool protectTexts) {
  switch (value.kind()) {
  case CalcValue::Integer:
    return Variant::integer(value.integer());
  case CalcValue::Double:
    return Variant::number(value.doubleValue());
  case CalcValue::Boolean:
    return Variant::boolean(value.booleanValue());
  case CalcValue::Error:
    return Variant::error(value.errorCode());
  case CalcValue::ShortText:
  case CalcValue::LongText: {
    std::u16string_view text = value.textView();
    if (protectTexts && needsTextProtection(text)) return Variant::text(u"'" + std::u16string(text));
    return Variant::text(text);
  }
  case CalcValue::Array:
    return arrayVariant(value, protectTexts);
  default:
    return Variant();
  }
}

} // namespace cwbk
