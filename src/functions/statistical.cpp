// The statistical worksheet functions: what the aggregates take from their arguments (the plain forms
// and the A forms), the averages, extremes, counts, order statistics and deviations computed from
// that, the conditional counts through the criteria matcher, the normal distribution, and LINEST
// handed to the host.
#include "functions/statistical.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "formula/area_index.h"
#include "formula/argument_list.h"
#include "formula/compiled_workbook.h"
#include "formula/criteria.h"
#include "formula/formula_node.h"
#include "formula/host_services.h"
#include "functions/arguments.h"
#include "functions/range_tally.h"
#include "values/conversions.h"

namespace cwbk {
namespace {

// ---------------------------------------------------------------- the numbers an aggregate takes

// How an aggregate reads the cells of the references it is given.
enum class Reading {
  Numbers,   // the plain forms: a cell gives its number, anything else in it is passed over
  AllValues, // the A forms: a cell's text also counts as 0 and its Boolean as 0 or 1
};

// Visits the numbers an aggregate takes from its arguments, in argument order, with take(double).
// Numbers count wherever they stand, and an error value anywhere (a bad reference's "#REF!" included)
// ends the walk as the result. Given directly, a Boolean is 0 or 1 and a text its number ("#VALUE!"
// when it reads as none); an empty direct value (an argument left out) is 0 when `emptyIsZero`, else
// nothing. In array elements only numbers count; in cells as `reading` says, empty cells never.
// Returns false when the walk ended with an error in result.
template <typename Take>
bool takeNumbers(const EvaluationContext& context, const CalcValue* const* args, Reading reading,
                 bool emptyIsZero, CalcValue& result, Take&& take) {
  bool ok = true;
  forEachAggregateValue(context, args, [&](const CalcValue& v, ValueSource source) {
    if (v.isNumber()) {
      take(v.numberValue());
      return true;
    }
    if (v.isErrorValue()) {
      result.copyFrom(v);
      return ok = false;
    }
    if (source == ValueSource::Direct) {
      if (v.isBoolean()) {
        take(v.booleanValue() ? 1 : 0);
      } else if (v.isEmpty()) {
        if (emptyIsZero) take(0);
      } else if (v.isText()) {
        std::optional<double> x = toNumber(v);
        if (!x) {
          result.setError(ErrValue);
          return ok = false;
        }
        take(*x);
      }
    } else if (source == ValueSource::Cell && reading == Reading::AllValues) {
      if (v.isBoolean())
        take(v.booleanValue() ? 1 : 0);
      else if (v.isText())
        take(0);
    }
    return true;
  });
  return ok;
}

// Collects the numbers of the arguments into a vector, as takeNumbers reads them. False with the error
// in result.
bool collectNumbers(const EvaluationContext& context, const CalcValue* const* args, Reading reading,
                    CalcValue& result, std::vector<double>& numbers) {
  return takeNumbers(context, args, reading, false, result, [&](double x) { numbers.push_back(x); });
}

// Returns the number of cells of a normalized area.
uint64_t areaCells(const Area& a) {
  return uint64_t(areaWidth(a)) * areaHeight(a);
}

// ---------------------------------------------------------------- averages and extremes

// AVERAGE(x1, ...) = sum / count of the numbers taken; none is "#DIV/0!". A text or Boolean typed as an
// argument counts, one in a cell does not; an error anywhere is the result.
void averageFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (!insideSubtotal() && propagateErrors(args, result, ErrorReading::Functions)) return;
  double sum = 0;
  uint64_t count = 0;
  Area area;
  if (oneAreaCall(args, area)) {
    RangeTally t = tallyArea(context, area, TallyKind::Average);
    if (tallyFailed(t, result)) return;
    sum = t.value;
    count = t.count;
  } else if (!takeNumbers(context, args, Reading::Numbers, false, result, [&](double x) {
               sum += x;
               ++count;
             })) {
    return;
  }
  if (count == 0)
    result.setError(ErrDiv0);
  else
    setNumberResult(result, sum / static_cast<double>(count));
}

// MAX, MIN and their A forms: the largest or smallest number taken, the first of equals; 0 when there
// is none. An argument left out compares as 0.
template <bool Largest, Reading R>
void extremeFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  bool any = false;
  double best = 0;
  Area area;
  if (oneAreaCall(args, area)) {
    constexpr TallyKind kind = R == Reading::Numbers ? (Largest ? TallyKind::Max : TallyKind::Min)
                                                     : (Largest ? TallyKind::MaxA : TallyKind::MinA);
    RangeTally t = tallyArea(context, area, kind);
    if (tallyFailed(t, result)) return;
    best = t.value;
  } else if (!takeNumbers(context, args, R, true, result, [&](double x) {
               if (!any || (Largest ? x > best : x < best)) best = x;
               any = true;
             })) {
    return;
  }
  setNumberResult(result, best);
}

// MEDIAN(x1, ...): the middle of the numbers taken, or the mean of the two middle ones for an even
// count; no number is "#NUM!".
void medianFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::vector<double> numbers;
  if (!collectNumbers(context, args, Reading::Numbers, result, numbers)) return;
  if (numbers.empty()) {
    result.setError(ErrNum);
    return;
  }
  size_t half = numbers.size() / 2;
  std::nth_element(numbers.begin(), numbers.begin() + half, numbers.end());
  double upper = numbers[half];
  if (numbers.size() % 2) {
    setNumberResult(result, upper);
    return;
  }
  double lower = *std::max_element(numbers.begin(), numbers.begin() + half);
  double sum = lower + upper;
  setNumberResult(result, std::isfinite(sum) ? sum / 2 : lower / 2 + upper / 2);
}

// MODE(x1, ...): the number that occurs most often; of several as frequent, the one met first. "#N/A"
// when no number occurs twice.
void modeFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::vector<double> numbers;
  if (!collectNumbers(context, args, Reading::Numbers, result, numbers)) return;
  std::vector<double> sorted = numbers;
  std::sort(sorted.begin(), sorted.end());
  std::ptrdiff_t bestCount = 1;
  double best = 0;
  for (double x : numbers) {
    auto [from, to] = std::equal_range(sorted.begin(), sorted.end(), x);
    if (to - from > bestCount) {
      bestCount = to - from;
      best = x;
    }
  }
  if (bestCount < 2)
    result.setError(ErrNA);
  else
    setNumberResult(result, best);
}

// ---------------------------------------------------------------- counts

// COUNT(x1, ...): the numbers among the values; a Boolean or a text that reads as a number counts when
// typed as an argument. Inside SUBTOTAL, arrays are not looked at.
void countFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  Area area;
  if (oneAreaCall(args, area)) {
    result.setNumber(static_cast<double>(tallyArea(context, area, TallyKind::Count).count));
    return;
  }
  bool subtotal = insideSubtotal();
  uint64_t count = 0;
  forEachAggregateValue(context, args, [&](const CalcValue& v, ValueSource source) {
    if (subtotal && source == ValueSource::Element) return true;
    if (v.isNumber() ||
        (source == ValueSource::Direct && (v.isBoolean() || (v.isText() && toNumber(v).has_value()))))
      ++count;
    return true;
  });
  result.setNumber(static_cast<double>(count));
}

// COUNTA(x1, ...): the values that are not empty, errors included; a reference that is invalid or spans
// sheets counts nothing. Inside SUBTOTAL, arrays are not looked at.
void countAFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  Area area;
  if (oneAreaCall(args, area)) {
    result.setNumber(static_cast<double>(tallyArea(context, area, TallyKind::CountA).count));
    return;
  }
  bool subtotal = insideSubtotal();
  uint64_t count = 0;
  forEachAggregateValue(context, args, [&](const CalcValue& v, ValueSource source) {
    if (source == ValueSource::BadReference || (subtotal && source == ValueSource::Element)) return true;
    if (!v.isEmpty()) ++count;
    return true;
  });
  result.setNumber(static_cast<double>(count));
}

// Returns the criterion compiled from a criteria value, a reference read through the context's cells.
Criterion criterionOf(const EvaluationContext& context, const CalcValue& criteria) {
  return compileCriterion(criteria,
                          [&](CellAddress a) -> const CalcValue* { return &cellValueIn(context, a); });
}

// Counts the values of a COUNTIF range that match: an Array's elements (a single value is its own
// only element); for a Reference, its existing cells and, when the criterion takes an empty value,
// every cell of the area that does not exist (an open column counts all its empty rows). Returns false
// with "#REF!" for a bad reference or "#VALUE!" for a union in result.
bool countMatches(const EvaluationContext& context, const CalcValue& range, const Criterion& criterion,
                  uint64_t& count, CalcValue& result) {
  count = 0;
  if (range.isReference()) {
    Area area;
    if (!oneSheetArea(range, area)) {
      result.setError(ErrRef);
      return false;
    }
    uint64_t visited = 0;
    walkReference(context, range, [&](const CalcValue& v, Cell&) {
      ++visited;
      if (criterion.matches(v)) ++count;
      return true;
    });
    if (criterion.matches(emptyValue())) count += areaCells(area) - std::min(visited, areaCells(area));
    return true;
  }
  if (range.isReferenceList()) {
    result.setError(ErrValue);
    return false;
  }
  if (!range.isArray()) {
    count = criterion.matches(range) ? 1 : 0;
    return true;
  }
  walkArray(range, [&](const CalcValue& v) {
    if (criterion.matches(v)) ++count;
    return true;
  });
  return true;
}

// Computes a conditional count for its criteria arguments: count(values, into) once with the values
// as given, or, where some are arrays (or, in an array formula, areas of several cells), once per
// element of the largest of their shapes, gathered into an array of the same shape. An argument of one
// row or column serves every row or column; beyond its size it gives "#N/A". A reference outside an
// array formula stands for "#VALUE!".
template <typename Count>
void countForEachCriteria(const EvaluationContext& context, const std::vector<const CalcValue*>& criteria,
                          CalcValue& result, Count&& count) {
  static const CalcValue notAReference = CalcValue::error(ErrValue);
  static const CalcValue beyond = CalcValue::error(ErrNA);
  struct Shape {
    uint32_t columns = 1, rows = 1;
    bool several = false;
  };
  std::vector<Shape> shapes(criteria.size());
  uint32_t columns = 1, rows = 1;
  bool any = false;
  for (size_t i = 0; i < criteria.size(); ++i) {
    const CalcValue& v = *criteria[i];
    Area area;
    if (v.isArray()) {
      shapes[i] = {v.arrayColumns(), v.arrayRows(), true};
    } else if (context.arrayFormulaMode && oneSheetArea(v, area) && area.first != area.second) {
      shapes[i] = {areaWidth(area), areaHeight(area), true};
    } else {
      continue;
    }
    columns = std::max(columns, shapes[i].columns);
    rows = std::max(rows, shapes[i].rows);
    any = true;
  }
  std::vector<const CalcValue*> values(criteria.size());
  auto countAt = [&](uint32_t r, uint32_t c, CalcValue& into) {
    for (size_t i = 0; i < criteria.size(); ++i) {
      const Shape& shape = shapes[i];
      if (!shape.several) {
        values[i] = criteria[i]->isReference() && !context.arrayFormulaMode ? &notAReference : criteria[i];
        continue;
      }
      uint32_t column = shape.columns == 1 ? 0 : c, row = shape.rows == 1 ? 0 : r;
      const CalcValue* v =
          column < shape.columns && row < shape.rows ? cellValueAt(*criteria[i], row, column) : nullptr;
      values[i] = v ? v : &beyond;
    }
    count(values, into);
  };
  if (!any) {
    countAt(0, 0, result);
    return;
  }
  if (uint64_t(columns) * rows > kMaxLoadedAreaElements) {
    result.setError(ErrNum);
    return;
  }
  CalcValue counts;
  counts.resizeArray(columns, rows);
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c) {
      CalcValue one;
      countAt(r, c, one);
      if (CalcValue* target = counts.element(c, r)) *target = std::move(one);
    }
  result = std::move(counts);
}

// COUNTIF(range, criteria): how many values of the range match the criteria (the criteria matcher:
// "5", ">=10", "<>x", "a*", TRUE, an error). Empty cells count for criteria that take them, "" and
// "<>5" among them, down to the end of the range. An array of criteria gives the array of the counts
// (countForEachCriteria).
void countIfFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* range = argumentAt(args, 0);
  const CalcValue* criteria = argumentAt(args, 1);
  if (!range || !criteria) {
    result.setError(ErrValue);
    return;
  }
  countForEachCriteria(context, {criteria}, result,
                       [&](const std::vector<const CalcValue*>& values, CalcValue& into) {
                         uint64_t count = 0;
                         if (countMatches(context, *range, criterionOf(context, *values[0]), count, into))
                           into.setNumber(static_cast<double>(count));
                       });
}

// Counts the positions (offsets inside the areas, all of one size) at which every area's cell matches
// its criterion; a position where no area has a cell is a set of empty values.
uint64_t countPositions(const EvaluationContext& context, const std::vector<Area>& areas,
                        const std::vector<Criterion>& criteria) {
  // Only positions where some area has a cell can differ from a row of empty values. Without empty
  // values matching every criterion, the cells of one area whose criterion rejects them suffice;
  // otherwise the positions of every area's cells are visited once each, and the rest count at once.
  bool emptiesMatch = std::all_of(criteria.begin(), criteria.end(),
                                  [](const Criterion& c) { return c.matches(emptyValue()); });
  bool severalAreas = emptiesMatch && areas.size() > 1;
  std::unordered_set<uint64_t> seen;
  uint64_t count = 0, positions = 0;
  for (size_t i = 0; i < areas.size(); ++i) {
    if (!emptiesMatch && criteria[i].matches(emptyValue())) continue;
    const Area& walked = areas[i];
    CalcValue range;
    range.setReference(walked);
    walkReference(context, range, [&](const CalcValue& v, Cell& cell) {
      uint32_t dc = cell.address().column() - walked.first.column();
      uint32_t dr = cell.address().rowIndex() - walked.first.rowIndex();
      if (severalAreas && !seen.insert((uint64_t(dc) << 32) | dr).second) return true;
      ++positions;
      for (size_t j = 0; j < areas.size(); ++j) {
        const Area& a = areas[j];
        const CalcValue& x =
            j == i ? v
                   : cellValueIn(context, CellAddress::make(a.first.sheet(), a.first.column() + dc,
                                                            a.first.rowIndex() + dr));
        if (!criteria[j].matches(x)) return true;
      }
      ++count;
      return true;
    });
    if (!emptiesMatch) break;
  }
  uint64_t cells = areaCells(areas[0]);
  if (emptiesMatch) count += cells - std::min(positions, cells);
  return count;
}

// COUNTIFS(range1, criteria1, ...): how many positions inside the ranges have every range's cell match
// its criteria. Every range is a Reference of the first one's size, else "#VALUE!". Arrays of criteria
// give the array of the counts (countForEachCriteria).
void countIfsFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  size_t n = argumentCount(args);
  if (n < 2 || n % 2) {
    result.setError(ErrValue);
    return;
  }
  std::vector<Area> areas;
  std::vector<const CalcValue*> criteria;
  for (size_t i = 0; i + 1 < n; i += 2) {
    Area area;
    if (!args[i]->isReference()) {
      result.setError(ErrValue);
      return;
    }
    if (!oneSheetArea(*args[i], area)) {
      result.setError(ErrRef);
      return;
    }
    if (!areas.empty() &&
        (areaWidth(area) != areaWidth(areas[0]) || areaHeight(area) != areaHeight(areas[0]))) {
      result.setError(ErrValue);
      return;
    }
    areas.push_back(area);
    criteria.push_back(args[i + 1]);
  }
  countForEachCriteria(context, criteria, result,
                       [&](const std::vector<const CalcValue*>& values, CalcValue& into) {
                         std::vector<Criterion> compiled;
                         for (const CalcValue* v : values)
                           compiled.push_back(criterionOf(context, *v));
                         into.setNumber(static_cast<double>(countPositions(context, areas, compiled)));
                       });
}

// ---------------------------------------------------------------- order statistics

// SMALL(data, k) and LARGE(data, k): the k-th smallest or largest number of the data. k is rounded up
// to a whole number and must be at least 1 and at most the count of numbers, else "#NUM!". A number, a
// Boolean or a numeric text given as data is its own only number; a text cell has none.
template <bool Smallest>
void orderStatisticFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  double k = 0;
  if (!reducedAt(args, 1, 0, k, result)) return;
  const CalcValue* data[] = {argumentAt(args, 0), nullptr};
  std::vector<double> numbers;
  if (!collectNumbers(context, data, Reading::Numbers, result, numbers)) return;
  k = std::ceil(k);
  if (!(k >= 1) || k > static_cast<double>(numbers.size())) {
    result.setError(ErrNum);
    return;
  }
  size_t index = static_cast<size_t>(k) - 1;
  if (!Smallest) index = numbers.size() - 1 - index;
  std::nth_element(numbers.begin(), numbers.begin() + static_cast<std::ptrdiff_t>(index), numbers.end());
  setNumberResult(result, numbers[index]);
}

// The numbers of RANK's references, sorted ascending, remembered by area for one recalculation so that
// a column of RANK over one range sorts it once. Only the numbers are shared; each call computes its
// own answer for its number and order. A range holding an error remembers the error.
class RankCache : public RecalculationCache {
public:
  // Beyond this many remembered numbers, further ranges are sorted for each call.
  static constexpr size_t kMaxNumbers = size_t(1) << 24;
  struct Entry {
    int32_t error = 0;
    std::vector<double> sorted;
  };
  std::map<Area, Entry, AreaLess> entries;
  size_t numbers = 0;
  void clear() override {
    entries.clear();
    numbers = 0;
  }
};

// Returns the rank cache of the context's workbook, or null where answers must not be remembered: with
// no workbook, or while cycles are swept (the cells of a range change between sweeps).
RankCache* rankCache(const EvaluationContext& context) {
  CompiledWorkbook* workbook = context.cellWorkbook();
  if (!workbook) return nullptr;
  CalculationState& state = workbook->state();
  if (state.circular || state.iteration.enabled) return nullptr;
  if (RecalculationCache* existing = state.cache(CacheKind::Rank)) return dynamic_cast<RankCache*>(existing);
  auto created = std::make_unique<RankCache>();
  RankCache* cache = created.get();
  state.setCache(CacheKind::Rank, std::move(created));
  return cache;
}

// RANK(number, ref, order): the place of number among the numbers of ref: descending (order left out,
// empty, FALSE or 0), 1 plus how many are larger; ascending, 1 plus how many are smaller. Equal numbers
// share a place. "#N/A" when number is not among them, or is TRUE.
void rankFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* numberArg = argumentAt(args, 0);
  const CalcValue* ref = argumentAt(args, 1);
  const CalcValue* orderArg = argumentAt(args, 2);
  if (!numberArg || !ref) {
    result.setError(ErrValue);
    return;
  }
  const CalcValue* number = numberArg->isArray() ? numberArg->element(0, 0) : &reducedSingleCell(*numberArg);
  if (!number) number = &emptyValue();
  if (number->isBoolean() && number->booleanValue()) {
    result.setError(ErrNA);
    return;
  }
  double x = 0;
  if (!argNumber(*number, x, result)) return;
  bool ascending = false;
  if (orderArg) {
    double order = 0;
    if (!argNumber(reducedSingleCell(*orderArg), order, result)) return;
    ascending = order != 0;
  }

  Area area;
  RankCache* cache = ref->isReference() && oneSheetArea(*ref, area) ? rankCache(context) : nullptr;
  const RankCache::Entry* entry = nullptr;
  RankCache::Entry computed;
  if (cache) {
    auto found = cache->entries.find(area);
    if (found != cache->entries.end()) entry = &found->second;
  }
  if (!entry) {
    const CalcValue* data[] = {ref, nullptr};
    CalcValue error;
    if (collectNumbers(context, data, Reading::Numbers, error, computed.sorted))
      std::sort(computed.sorted.begin(), computed.sorted.end());
    else
      computed.error = error.errorCode();
    if (cache && cache->numbers + computed.sorted.size() <= RankCache::kMaxNumbers) {
      cache->numbers += computed.sorted.size();
      entry = &(cache->entries[area] = std::move(computed));
    } else {
      entry = &computed;
    }
  }
  if (entry->error) {
    result.setError(entry->error);
    return;
  }
  const std::vector<double>& sorted = entry->sorted;
  auto first = std::lower_bound(sorted.begin(), sorted.end(), x);
  if (first == sorted.end() || *first != x) {
    result.setError(ErrNA);
    return;
  }
  auto place = ascending ? first - sorted.begin() : sorted.end() - std::upper_bound(first, sorted.end(), x);
  result.setNumber(static_cast<double>(place + 1));
}

// ---------------------------------------------------------------- deviations

// VAR = s / (n - 1), VARP = s / n, STDEV and STDEVP their square roots, with s the sum of squared
// deviations of the n numbers from their mean; the sample forms need two numbers, the population
// forms one, else "#DIV/0!". The A forms also count text cells as 0 and Boolean cells as 0 or 1.
// s comes from two walks over the arguments, the corrected two-pass sum: the first finds the mean, the
// second adds the squared deviations from it and removes what rounding left in their sum, so values
// far from 0 with a small spread lose nothing to cancellation.
template <bool Sample, bool Root, Reading R>
void deviationFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  double sum = 0;
  uint64_t count = 0;
  if (!takeNumbers(context, args, R, false, result, [&](double x) {
        sum += x;
        ++count;
      }))
    return;
  if (count < (Sample ? 2u : 1u)) {
    result.setError(ErrDiv0);
    return;
  }
  double n = static_cast<double>(count);
  double mean = sum / n;
  double squares = 0, residue = 0;
  takeNumbers(context, args, R, false, result, [&](double x) {
    double d = x - mean;
    squares += d * d;
    residue += d;
  });
  double deviations = std::max(0.0, squares - residue * residue / n);
  double variance = deviations / (Sample ? n - 1 : n);
  setNumberResult(result, Root ? std::sqrt(variance) : variance);
}

// ---------------------------------------------------------------- distributions and the host

// NORMSDIST(z) = (1 + erf(z / sqrt 2)) / 2, the standard normal distribution, taken as
// erfc(-z / sqrt 2) / 2 so that the lower tail keeps its precision down to the smallest doubles
// (NORMSDIST(-9) is 1.13e-19, not 0).
void normSDistFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result,
        [](double z, CalcValue& r) { setNumberResult(r, 0.5 * std::erfc(-z / std::sqrt(2.0))); });
}

constexpr int kLinestNumber = 49;

// LINEST(known_y, known_x, const, stats): computed by the host, with const TRUE and stats FALSE where
// they are left out or empty.
void linestFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* knownX = argumentAt(args, 1);
  const CalcValue* constant = argumentAt(args, 2);
  const CalcValue* stats = argumentAt(args, 3);
  CalcValue trueValue = CalcValue::boolean(true), falseValue = CalcValue::boolean(false);
  const CalcValue* call[] = {argumentAt(args, 0), knownX ? knownX : &emptyValue(),
                             constant && !constant->isEmpty() ? constant : &trueValue,
                             stats && !stats->isEmpty() ? stats : &falseValue, nullptr};
  if (!call[0]) {
    result.setError(ErrValue);
    return;
  }
  hostCallWorksheetFunction(context, kLinestNumber, call, 4, result);
}

} // namespace

std::span<const ImplementationRow> statisticalRoutines() {
  static constexpr ImplementationRow rows[] = {
      {u"AVERAGE", averageFunction},
      {u"COUNT", countFunction},
      {u"COUNTA", countAFunction},
      {u"COUNTIF", countIfFunction},
      {u"COUNTIFS", countIfsFunction},
      {u"_XLFN.COUNTIFS", countIfsFunction},
      {u"LARGE", orderStatisticFunction<false>},
      {u"LINEST", linestFunction},
      {u"MAX", extremeFunction<true, Reading::Numbers>},
      {u"MAXA", extremeFunction<true, Reading::AllValues>},
      {u"MEDIAN", medianFunction},
      {u"MIN", extremeFunction<false, Reading::Numbers>},
      {u"MINA", extremeFunction<false, Reading::AllValues>},
      {u"MODE", modeFunction},
      {u"NORMSDIST", normSDistFunction},
      {u"RANK", rankFunction},
      {u"SMALL", orderStatisticFunction<true>},
      {u"STDEV", deviationFunction<true, true, Reading::Numbers>},
      {u"STDEVA", deviationFunction<true, true, Reading::AllValues>},
      {u"STDEVP", deviationFunction<false, true, Reading::Numbers>},
      {u"STDEVPA", deviationFunction<false, true, Reading::AllValues>},
      {u"VAR", deviationFunction<true, false, Reading::Numbers>},
      {u"VARA", deviationFunction<true, false, Reading::AllValues>},
      {u"VARP", deviationFunction<false, false, Reading::Numbers>},
      {u"VARPA", deviationFunction<false, false, Reading::AllValues>},
  };
  return rows;
}

} // namespace cwbk
