// The bridge between calculation values and VARIANTs: every kind both ways, arrays of one and two
// dimensions as safe arrays, and the protection that keeps texts from being re-read by Excel.
#pragma once

#include <string_view>

#include "excel/variant.h"
#include "values/calc_value.h"

namespace cwbk {

// Stores the value of a VARIANT in `target`: booleans, integers (those beyond 32 bits as numbers),
// doubles, dates, currency and decimals (NaN and infinity as 0), texts, error codes, and arrays of one
// or two dimensions (any lower bounds; dimension 1 rows, dimension 2 columns; nested arrays kept as
// nested values, to a fixed depth). Values given by reference are followed. Any other type, and
// an array of an element type or a dimension count it cannot read, leaves `target` unchanged.
void fromVariant(const VARIANT& source, CalcValue& target);
// Returns the value of a VARIANT, Empty for anything fromVariant leaves unchanged.
CalcValue fromVariant(const VARIANT& source);

// Returns the VARIANT of a value: Empty, VT_I4, VT_R8, VT_BOOL (-1 or 0), VT_ERROR, VT_BSTR; an
// Array becomes a safe array of VT_VARIANT with lower bounds 1, one dimension (columns) for a single
// row, otherwise two (rows, columns), its nested arrays VT_EMPTY; references become VT_EMPTY. With
// `protectTexts`, texts that Excel would read as something else get a leading apostrophe.
// Raises ComError when a safe array cannot be created.
Variant toVariant(const CalcValue& value, bool protectTexts);

// Returns true when Excel would not keep the text as it is when it is written into a cell: the empty
// text; a text whose first character after leading spaces is '$', '%', an apostrophe, '(', '+',
// '-', a digit, '=' or starts the decimal separator; without leading spaces, a text equal (case
// aside) to the true or false text or to one of the error texts.
bool needsTextProtection(std::u16string_view text);

} // namespace cwbk
