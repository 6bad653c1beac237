// Helpers shared by the tests of operator and call nodes: addresses, values, array constants and a
// comparison of values that says what differs.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "formula/array_node.h"
#include "values/calc_value.h"
#include "values/conversions.h"

namespace cwbk::testing_support {

// The address of (sheet, column, row).
inline CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}

// An Integer value.
inline CalcValue integer(int32_t i) {
  CalcValue v;
  v.setInteger(i);
  return v;
}

// A Double value (kept a Double even when integral).
inline CalcValue real(double d) {
  CalcValue v;
  v.setDouble(d);
  return v;
}

// An array value from rows of values.
inline CalcValue arrayOf(std::initializer_list<std::initializer_list<CalcValue>> rows) {
  CalcValue array;
  for (const auto& row : rows) {
    CalcValue r;
    for (const CalcValue& v : row)
      r.appendToArray(v);
    array.appendToArray(r);
  }
  return array;
}

// An array-constant node holding the array.
inline FormulaNode* arrayNode(const CalcValue& array) {
  auto* node = new ArrayNode();
  for (uint32_t r = 0; r < array.arrayRows(); ++r) {
    CalcValue row;
    for (uint32_t c = 0; c < array.arrayColumns(); ++c)
      row.appendToArray(*array.element(c, r));
    node->appendRow(row);
  }
  return node;
}

// The text with each unit cut to a byte, for messages.
inline std::string narrow(std::u16string_view t) {
  return std::string(t.begin(), t.end());
}

// Succeeds when the values are identical (kind and payload), and says what differs otherwise.
inline ::testing::AssertionResult same(const CalcValue& actual, const CalcValue& expected) {
  if (actual.sameAs(expected)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "got kind " << actual.tag() << " '" << narrow(displayText(actual)) << "', expected kind "
         << expected.tag() << " '" << narrow(displayText(expected)) << "'";
}

} // namespace cwbk::testing_support
