// Criteria of the conditional functions (">=10", "<>x", "ab*", 5, TRUE): compiled once into a
// Criterion, then matched against many cell values, with the '*', '?' and '~' wildcards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formula/reference.h"
#include "values/calc_value.h"

namespace cwbk {

// The comparison a criterion applies; None matches nothing (a criterion that could not be compiled).
enum class CriterionOperator : int32_t {
  None = -1,
  Equal = 0,
  Less = 1,
  Greater = 2,
  LessOrEqual = 3,
  GreaterOrEqual = 4,
  NotEqual = 5,
};

// A compiled criterion. The operand is a number, a text (possibly empty), a Boolean or an Error;
// '<>' matches the values that '=' with the same operand does not, except that a numeric '<>' keeps
// every text.
struct Criterion {
  CriterionOperator comparison = CriterionOperator::None;
  CalcValue operand;
  // 1 when the operand is a text with wildcard characters under '=' or '<>'.
  uint8_t wildcard = 0;
  // The number of operator characters at the start of the criterion text (0, 1 or 2).
  uint8_t prefixLength = 0;
  // The wildcard pattern upper-cased once, for wildcard criteria.
  std::u16string pattern;

  // Returns true when the value satisfies the criterion.
  bool matches(const CalcValue& value) const;
};

// Returns the criterion compiled from a criterion value. An array stands for its first element and a
// reference for its top-left cell, read through `lookup` (a cell that does not exist is Empty; with no
// lookup, or an invalid corner, nothing matches). Empty is the number 0. A text is read as an optional
// operator ("=", "<", ">", "<=", ">=", "<>", or an apostrophe and "=") and an operand: an error text
// gives that error, the true or false text a Boolean, a number, percentage, currency amount or date
// text a number, anything else stays text.
Criterion compileCriterion(const CalcValue& criterion, const CellValueLookup& lookup = {});
// Returns true when the value satisfies the compiled criterion:
// - a numeric operand: '=' matches numbers equal within 15 digits and texts that read as such a
//   number; the orderings compare numbers only;
// - a text operand: '=' compares texts without regard to case (by wildcards when it has any); the
//   orderings compare texts by the text collation; numbers, Booleans and Empty never equal a text;
// - the empty text: "" matches Empty and the empty text, "=" only Empty, the orderings nothing;
// - a Boolean or Error operand: values of its own kind only;
// - '<>' is the complement of '=' (so "<>" matches every value except Empty), except that a numeric
//   operand never excludes a text: "<>5" matches the text 5, which "=5" matches too.
bool matchCriterion(const Criterion& criterion, const CalcValue& value);

// Returns true when the text contains '*', '?' or '~'.
bool hasWildcards(std::u16string_view text);
// Returns true when the whole text matches the pattern, without regard to case: '?' matches one
// character, '*' any run of characters (none included), and '~' makes the character after it
// literal ("~*", "~?", "~~"); a '~' that ends the pattern is itself. Runs in O(pattern x text) at worst.
bool wildcardMatch(std::u16string_view pattern, std::u16string_view text);

} // namespace cwbk
