// The financial worksheet functions: annuities (PV, FV, PMT, IPMT, PPMT, CUMIPMT, CUMPRINC), cash flows
// (NPV, IRR, MIRR) and depreciation (SLN, SYD, DDB, DB). Errors among the arguments come first; every
// result is stored through setNumberResult, so a computation that overflows or has no real answer ends
// as "#NUM!" and never stores an infinity or NaN.
#include "functions/financial.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "formula/argument_list.h"
#include "functions/arguments.h"

namespace cwbk {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Takes the first N arguments as numbers after the errors among all arguments; an absent argument reads
// as its entry of `missing`. False with the error in result.
template <size_t N>
bool numbersOf(const CalcValue* const* args, const std::array<double, N>& missing, std::array<double, N>& out,
               CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return false;
  for (size_t i = 0; i < N; ++i)
    if (!numberAt(args, i, missing[i], out[i], result)) return false;
  return true;
}

// Sets (1 + rate)^periods with a real exponent into `out`. Returns 0, or the error the power stands
// for: a zero base with a negative exponent divides by zero, a negative base with a fractional exponent
// has no real power ("#NUM!").
int32_t growthFactor(double rate, double periods, double& out) {
  double base = 1 + rate;
  if (base == 0 && periods < 0) return ErrDiv0;
  out = std::pow(base, periods);
  return std::isnan(out) ? ErrNum : 0;
}

// Returns base^k for a whole k by repeated squaring in extended precision; a negative k gives the
// reciprocal.
double integerPower(double base, int64_t k) {
  long double power = 1, factor = base;
  for (uint64_t bits = k < 0 ? uint64_t(0) - uint64_t(k) : uint64_t(k); bits != 0; bits >>= 1) {
    if (bits & 1) power *= factor;
    factor *= factor;
  }
  return static_cast<double>(k < 0 ? 1 / power : power);
}

// The level payment of an annuity: (-pv * g - fv) / d with g = (1 + rate)^nper and
// d = (g - 1) / rate, or nper at rate 0, times (1 + rate) when payments fall due at the start of each
// period. Returns 0 with the payment in `out`, or an error code ("#DIV/0!" when d is 0).
int32_t annuityPayment(double rate, double nper, double pv, double fv, bool due, double& out) {
  double g = 0;
  if (int32_t error = growthFactor(rate, nper, g)) return error;
  double d = rate == 0 ? nper : (g - 1) / rate;
  if (due) d *= 1 + rate;
  if (d == 0) return ErrDiv0;
  out = (-pv * g - fv) / d;
  return 0;
}

// The interest part of payment `per`: with P the payment due at the end of each period and
// e = (1 + rate)^(per - 1), I = -(pv * e * rate + (e - 1) * P). Payments at the start of each period
// carry no interest in the first one and earn a period less in the others: I / (1 + rate).
int32_t interestPart(double rate, double per, double nper, double pv, double fv, bool due, double& out) {
  double payment = 0, e = 0;
  if (int32_t error = annuityPayment(rate, nper, pv, fv, false, payment)) return error;
  if (int32_t error = growthFactor(rate, per - 1, e)) return error;
  double interest = -(pv * e * rate + (e - 1) * payment);
  out = !due ? interest : per == 1 ? 0 : interest / (1 + rate);
  return 0;
}

// Stores the number, or the error code when it is not 0.
void storeOr(int32_t error, double x, CalcValue& result) {
  if (error)
    result.setError(error);
  else
    setNumberResult(result, x);
}

// Appends the values of a cash-flow argument to `out` row by row, left to right: the existing cells of a
// Reference or the elements of an Array. Returns false for any other kind of argument.
bool valuesInRows(const EvaluationContext& context, const CalcValue& values,
                  std::vector<const CalcValue*>& out) {
  if (values.isArray()) {
    walkArray(values, [&](const CalcValue& e) {
      out.push_back(&e);
      return true;
    });
    return true;
  }
  if (!values.isReference()) return false;
  std::vector<std::pair<uint64_t, const CalcValue*>> cells;
  walkReference(context, values, [&](const CalcValue& v, Cell& cell) {
    CellAddress a = cell.address();
    cells.emplace_back(uint64_t(a.rowIndex()) << 32 | a.column(), &v);
    return true;
  });
  std::stable_sort(cells.begin(), cells.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  for (const auto& cell : cells)
    out.push_back(cell.second);
  return true;
}

// ---------------------------------------------------------------- annuities

// PV(rate, nper, pmt, fv, type) = (-fv - pmt * (1 + rate * due) * c) / (1 + rate)^nper with
// c = ((1 + rate)^nper - 1) / rate, or nper at rate 0. Any type other than 0 means payments at the start
// of each period.
void pvFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 5> a{};
  if (!numbersOf<5>(args, {0, 0, 0, 0, 0}, a, result)) return;
  auto [rate, nper, pmt, fv, type] = a;
  double due = type != 0 ? 1 : 0, g = 0;
  if (int32_t error = growthFactor(rate, nper, g)) return result.setError(error);
  if (g == 0) return result.setError(ErrDiv0);
  double c = rate == 0 ? nper : (g - 1) / rate;
  setNumberResult(result, (-fv - c * (rate * due + 1) * pmt) / g);
}

// FV(rate, nper, pmt, pv, type) = -(pmt * (1 + rate * due) * c + pv * (1 + rate)^nper), c as for PV.
// The type is truncated; any whole type other than 0 means payments at the start of each period.
void fvFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 5> a{};
  if (!numbersOf<5>(args, {0, 0, 0, 0, 0}, a, result)) return;
  auto [rate, nper, pmt, pv, type] = a;
  double due = std::trunc(type) != 0 ? 1 : 0, g = 0;
  if (int32_t error = growthFactor(rate, nper, g)) return result.setError(error);
  double c = rate == 0 ? nper : (g - 1) / rate;
  setNumberResult(result, -(c * (rate * due + 1) * pmt + g * pv));
}

// PMT(rate, nper, pv, fv, type): the level payment (annuityPayment); the type is truncated, any whole
// type other than 0 meaning payments at the start. No periods, or a rate of -1 or less, is "#NUM!".
void pmtFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 5> a{};
  if (!numbersOf<5>(args, {0, 0, 0, 0, 0}, a, result)) return;
  auto [rate, nper, pv, fv, type] = a;
  double due = std::trunc(type);
  if (nper == 0 || rate <= -1) return result.setError(ErrNum);
  double payment = 0;
  int32_t error = annuityPayment(rate, nper, pv, fv, due != 0, payment);
  storeOr(error, payment, result);
}

// Takes the arguments of IPMT and PPMT: rate, per, nper, pv, fv, type (truncated). False with "#NUM!"
// unless 1 <= per < nper + 1.
bool periodPaymentArguments(const CalcValue* const* args, std::array<double, 6>& a, CalcValue& result) {
  if (!numbersOf<6>(args, {0, 0, 0, 0, 0, 0}, a, result)) return false;
  a[5] = std::trunc(a[5]);
  double per = a[1], nper = a[2];
  if (nper == 0 || per < 1 || per >= nper + 1) {
    result.setError(ErrNum);
    return false;
  }
  return true;
}

// IPMT(rate, per, nper, pv, fv, type): the interest part of payment per (interestPart); 0 at rate 0.
void ipmtFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 6> a{};
  if (!periodPaymentArguments(args, a, result)) return;
  auto [rate, per, nper, pv, fv, type] = a;
  if (rate == 0) return result.setInteger(0);
  double interest = 0;
  int32_t error = interestPart(rate, per, nper, pv, fv, type != 0, interest);
  storeOr(error, interest, result);
}

// PPMT(rate, per, nper, pv, fv, type) = PMT - IPMT of the same period.
void ppmtFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 6> a{};
  if (!periodPaymentArguments(args, a, result)) return;
  auto [rate, per, nper, pv, fv, type] = a;
  double payment = 0, interest = 0;
  int32_t error = annuityPayment(rate, nper, pv, fv, type != 0, payment);
  if (!error && rate != 0) error = interestPart(rate, per, nper, pv, fv, type != 0, interest);
  storeOr(error, payment - interest, result);
}

// Beyond this many periods CUMIPMT and CUMPRINC take the principal from the balances at both ends
// instead of summing period by period, so that a call over billions of periods answers at once.
constexpr double kSummedPeriods = 1e6;

// CUMIPMT and CUMPRINC(rate, nper, pv, start, end, type): the interest, or the principal, of the
// payments start ... end of a loan of pv (a fractional start counts from the next whole period, a
// fractional end up to the whole period before it). With P the level payment and B(j) the balance
// after j payments, the interest of period k is -rate * B(k - 1), or with payments at the start
// -rate * (B(k - 2) + P) and none in period 1; the principal is P minus the interest. Logical values
// are refused ("#VALUE!"); the type must be exactly 0 or 1, the rate and pv positive and
// 1 <= start <= end <= nper, else "#NUM!".
void cumulativeFunction(const CalcValue* const* args, CalcValue& result, bool principal) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::array<double, 6> a{};
  for (size_t i = 0; i < a.size(); ++i) {
    const CalcValue* arg = argumentAt(args, i);
    if (arg && arg->isBoolean()) return result.setError(ErrValue);
    if (!numberAt(args, i, 0, a[i], result)) return;
  }
  auto [rate, nper, pv, start, end, type] = a;
  if (start < 1 || end < start || rate <= 0 || end > nper || nper <= 0 || pv <= 0 || (type != 0 && type != 1))
    return result.setError(ErrNum);
  bool due = type == 1;
  double payment = 0;
  if (int32_t error = annuityPayment(rate, nper, pv, 0, due, payment)) return result.setError(error);
  double growth = due ? 1 + rate : 1;
  // Structured bindings are captured by name: clang before 16 cannot capture them implicitly.
  auto balance = [&, rate = rate, pv = pv](double j) {
    double g = std::pow(1 + rate, j);
    return pv * g + growth * payment * (g - 1) / rate;
  };
  double first = std::ceil(start), last = std::trunc(end);
  long double interest = 0, repaid = 0;
  if (last - first < kSummedPeriods) { // nothing when start and end lie within one period
    for (double k = first; k <= last; ++k) {
      double i = k == 1 ? (due ? 0 : -rate * pv)
                 : due  ? -rate * (balance(k - 2) + payment)
                        : -rate * balance(k - 1);
      interest += i;
      repaid += payment - i;
    }
  } else {
    // The principal repaid is what the balance fell by; the interest is the rest of the payments.
    repaid = due ? (first == 1 ? payment + balance(last - 1) - pv : balance(last - 1) - balance(first - 2))
                 : balance(last) - balance(first - 1);
    interest = (last - first + 1) * static_cast<long double>(payment) - repaid;
  }
  setNumberResult(result, static_cast<double>(principal ? repaid : interest));
}

void cumipmtFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  cumulativeFunction(args, result, false);
}
void cumprincFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  cumulativeFunction(args, result, true);
}

// ---------------------------------------------------------------- cash flows

// NPV(rate, value1, ...) = sum of v_k / (1 + rate)^k, k from 1, over the values in order, each area and
// array row by row. A number, logical value or number text given directly counts (another text is
// "#VALUE!", an omitted argument takes a period without a value); in areas and arrays only numbers count
// and an error value ends the call with that error. A rate of -1 is "#DIV/0!".
void npvFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  double rate = 0;
  if (!numberAt(args, 0, 0, rate, result)) return;
  if (rate == -1) return result.setError(ErrDiv0);
  long double sum = 0;
  int64_t period = 1;
  auto add = [&](double x) { sum += x / static_cast<long double>(integerPower(1 + rate, period++)); };
  std::vector<const CalcValue*> values;
  for (const CalcValue* const* a = args + 1; *a; ++a) {
    const CalcValue& arg = **a;
    values.clear();
    if (arg.isReferenceList()) {
      for (uint32_t r = 0; r < arg.arrayRows(); ++r)
        for (uint32_t c = 0; c < arg.arrayColumns(); ++c)
          if (const CalcValue* member = arg.element(c, r)) valuesInRows(context, *member, values);
    } else if (!valuesInRows(context, arg, values)) {
      double x = 0;
      if (arg.isEmpty())
        ++period;
      else if (valueNumber(arg, x))
        add(x);
      else
        return result.setError(ErrValue);
      continue;
    }
    for (const CalcValue* v : values) {
      if (v->isErrorValue()) return result.setErrorFrom(*v);
      if (v->isNumber()) add(v->numberValue());
    }
  }
  setNumberResult(result, static_cast<double>(sum));
}

// The rate at which the cash flows' net present value is 0, by Newton's method from `x`: NaN when an
// estimate is not finite or 100 steps do not bring two estimates within 1e-9 of each other. The search
// stays among the rates above -1, which have a present value: a start at -1 or below finds nothing,
// and a step to -1 or below goes halfway to -1 instead. NPV(x) is the polynomial P(d) = sum v_k d^k in
// d = 1 / (1 + x), so NPV'(x) = -d^2 P'(d); Horner's rule gives both in one pass.
double irrNewton(const std::vector<double>& flows, double x) {
  if (!(x > -1)) return kNaN;
  for (int step = 0; step < 100; ++step) {
    double d = 1 / (1 + x), value = 0, slope = 0;
    for (size_t k = flows.size(); k-- > 0;) {
      slope = slope * d + value;
      value = value * d + flows[k];
    }
    double next = x + value / (slope * d * d);
    if (!std::isfinite(next)) return kNaN;
    if (next <= -1) next = (x - 1) / 2;
    if (std::fabs(next - x) <= 1e-9) return next;
    x = next;
  }
  return kNaN;
}

// IRR(values, guess): the rate at which the net present value of the cash flows (the numbers of the
// values row by row; texts, logical values and empty cells are passed over) is 0, found from the guess
// (0.1 when absent). Flows without both a positive and a negative value, and a search that does not
// converge, give "#NUM!"; a guess of -1 or less is "#VALUE!". When the given guess
// fails, starts ever further above and below it are tried, ten of each.
void irrFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::vector<const CalcValue*> values;
  if (!valuesInRows(context, *args[0], values)) return result.setError(ErrNum);
  std::vector<double> flows;
  bool positive = false, negative = false;
  for (const CalcValue* v : values) {
    if (v->isErrorValue()) return result.setErrorFrom(*v);
    if (!v->isNumber()) continue;
    flows.push_back(v->numberValue());
    positive |= flows.back() > 0;
    negative |= flows.back() < 0;
  }
  const CalcValue* guessArgument = argumentAt(args, 1);
  bool guessGiven = guessArgument && !guessArgument->isEmpty();
  double guess = 0.1;
  if (guessGiven && !argNumber(*guessArgument, guess, result)) return;
  if (guess <= -1) return result.setError(ErrValue);
  if (!positive || !negative) return result.setError(ErrNum);

  double rate = irrNewton(flows, guess);
  if (std::isnan(rate) && guessGiven) {
    auto acceptable = [&](double r) { return !std::isnan(r) && (r < 0) == (guess < 0); };
    double up = guess, down = guess;
    for (int pass = 1; pass <= 10; ++pass) {
      double factor = std::pow(1.5, pass);
      if (acceptable(rate = irrNewton(flows, up *= factor))) break;
      if (acceptable(rate = irrNewton(flows, down /= factor))) break;
    }
  }
  if (std::isnan(rate)) return result.setError(ErrNum);
  if (guess == 0 && std::fabs(rate) < 1e-9) rate = 0;
  setNumberResult(result, rate);
}

// MIRR(values, finance rate, reinvest rate) = (FV of the positive flows at the reinvest rate / -PV of
// the negative flows at the finance rate)^(1 / (n - 1)) - 1 over the n numbers of the values, row by
// row (texts, logical values and empty cells are passed over). No negative flow, fewer than two flows or
// a reinvest rate of -1 is "#DIV/0!"; a sum that overflows is "#NUM!".
void mirrFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  double finance = 0, reinvest = 0;
  if (!numberAt(args, 1, 0, finance, result) || !numberAt(args, 2, 0, reinvest, result)) return;
  std::vector<const CalcValue*> values;
  valuesInRows(context, *args[0], values);
  long double positive = 0, negative = 0;
  int64_t n = 0;
  for (const CalcValue* v : values) {
    if (v->isErrorValue()) return result.setErrorFrom(*v);
    if (!v->isNumber()) continue;
    double x = v->numberValue();
    double discount = integerPower(1 + (x >= 0 ? reinvest : finance), n++);
    if (discount == 0) return result.setError(ErrDiv0);
    (x >= 0 ? positive : negative) += x / static_cast<long double>(discount);
  }
  if (!std::isfinite(static_cast<double>(positive)) || !std::isfinite(static_cast<double>(negative)))
    return result.setError(ErrNum);
  if (negative == 0 || n < 2 || reinvest == -1) return result.setError(ErrDiv0);
  double ratio = static_cast<double>(-integerPower(1 + reinvest, n) * positive / ((1 + reinvest) * negative));
  setNumberResult(result, std::pow(ratio, 1.0 / static_cast<double>(n - 1)) - 1);
}

// ---------------------------------------------------------------- depreciation

// SLN(cost, salvage, life) = (cost - salvage) / life.
void slnFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 3> a{};
  if (!numbersOf<3>(args, {0, 0, 0}, a, result)) return;
  auto [cost, salvage, life] = a;
  if (life == 0) return result.setError(ErrDiv0);
  setNumberResult(result, (cost - salvage) / life);
}

// SYD(cost, salvage, life, per) = (life - per + 1) * (cost - salvage) * 2 / (life * (life + 1)); a
// negative salvage, a life or period not above 0 and a period beyond the life are "#NUM!".
void sydFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 4> a{};
  if (!numbersOf<4>(args, {0, 0, 0, 0}, a, result)) return;
  auto [cost, salvage, life, per] = a;
  if (salvage < 0 || life <= 0 || per <= 0 || per > life) return result.setError(ErrNum);
  setNumberResult(result, (life - per + 1) * (cost - salvage) * 2 / (life * (life + 1)));
}

// DDB(cost, salvage, life, period, factor): with rate = factor / life (at most 1) and the book value
// cost * (1 - rate)^(period - 1), the depreciation is book * rate, but never more than brings the book
// value below the salvage. A first period shorter than 1 counts as period 1 (as the whole cost less
// salvage when the life is shorter too).
void ddbFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 5> a{};
  if (!numbersOf<5>(args, {0, 0, 0, 0, 2}, a, result)) return;
  auto [cost, salvage, life, period, factor] = a;
  if (cost < 0 || salvage < 0 || life <= 0 || period <= 0 || period > life || factor <= 0)
    return result.setError(ErrNum);
  if (cost <= salvage) return result.setInteger(0);
  if (period < 1) {
    if (life < 1) return setNumberResult(result, cost - salvage);
    period = 1;
  }
  double rate = std::min(factor / life, 1.0);
  double book = cost * std::pow(1 - rate, period - 1);
  double depreciation = book * rate, limit = std::max(book - salvage, 0.0);
  setNumberResult(result, depreciation < limit ? depreciation : limit);
}

// DB(cost, salvage, life, period, month): fixed-declining balance at rate = 1 - (salvage / cost)^(1 /
// life) rounded to three decimals. The first period, of `month` months (truncated, 1 to 12), writes off
// cost * rate * month / 12; each later one rate times the value left; the period after the life, which
// exists when the first year was short, the remaining months of that. A period beyond it is "#NUM!";
// the value left stops changing long before a huge life runs out, which ends the walk early.
void dbFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::array<double, 5> a{};
  if (!numbersOf<5>(args, {0, 0, 0, 0, 12}, a, result)) return;
  auto [cost, salvage, life, period, month] = a;
  month = std::trunc(month);
  if (cost < 0 || salvage < 0 || life <= 0 || period <= 0 || month <= 0 || month > 12 ||
      period > life + (month == 12 ? 0 : 1))
    return result.setError(ErrNum);
  if (cost == 0) return result.setInteger(0);
  double rate = std::floor((1 - std::pow(salvage / cost, 1 / life)) * 1000 + 0.5) / 1000;
  double written = cost * rate * month / 12; // written off so far
  double whole = std::trunc(period);
  if (whole <= 1) return setNumberResult(result, written);
  for (double j = 2; j < whole; ++j) {
    double next = written + rate * (cost - written);
    if (next == written) break;
    written = next;
    if (!std::isfinite(written)) break;
  }
  double depreciation = rate * (cost - written);
  setNumberResult(result, whole > life ? depreciation * (12 - month) / 12 : depreciation);
}

} // namespace

std::span<const ImplementationRow> financialRoutines() {
  static constexpr ImplementationRow rows[] = {
      {u"CUMIPMT", cumipmtFunction}, {u"CUMPRINC", cumprincFunction},
      {u"DB", dbFunction},           {u"DDB", ddbFunction},
      {u"FV", fvFunction},           {u"IPMT", ipmtFunction},
      {u"IRR", irrFunction},         {u"MIRR", mirrFunction},
      {u"NPV", npvFunction},         {u"PMT", pmtFunction},
      {u"PPMT", ppmtFunction},       {u"PV", pvFunction},
      {u"SLN", slnFunction},         {u"SYD", sydFunction},
  };
  return rows;
}

} // namespace cwbk
