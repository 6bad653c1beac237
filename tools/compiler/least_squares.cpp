// Least squares for the stand-in host: Householder QR of the (centred) x columns, one column at a
// time, dropping a column whose part outside the span of the earlier ones vanishes; then LINEST's
// arguments read into observations and its result block built from the fit.
#include "compiler/least_squares.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "formula/compiled_workbook.h"
#include "functions/arguments.h"

namespace cwbk::compiler {

namespace {

// A column whose remaining norm is at most this part of its own norm is a combination of the earlier
// columns (or of the intercept) and is dropped.
constexpr double kDependentColumn = 1e-12;
// Sums of squares at most this part of the sum of the squared y values are rounding noise: a fit
// that leaves no more than that is exact.
constexpr double kNoise = 1e-24;
// The most steps a fit may take (observations times variables times the smaller of the two).
constexpr uint64_t kMaxFitSteps = uint64_t(1) << 30;

double sumOfSquares(const std::vector<double>& v, size_t from = 0, size_t to = SIZE_MAX) {
  double s = 0;
  for (size_t i = from; i < std::min(to, v.size()); ++i)
    s += v[i] * v[i];
  return s;
}

double mean(const std::vector<double>& v) {
  double s = 0;
  for (double e : v)
    s += e;
  return s / static_cast<double>(v.size());
}

} // namespace

LeastSquaresFit fitLeastSquares(const LeastSquaresData& data, bool withIntercept) {
  const size_t n = data.y.size(), k = data.x.size();
  LeastSquaresFit fit;
  fit.slopes.assign(k, 0.0);
  fit.slopeErrors.assign(k, 0.0);

  // Centring takes the intercept out of the columns: the slopes of the centred data are the slopes
  // of the model with an intercept, and a constant column becomes zero.
  double yMean = withIntercept ? mean(data.y) : 0;
  std::vector<double> xMeans(k, 0.0);
  std::vector<std::vector<double>> a(k);
  std::vector<double> r(n);
  for (size_t i = 0; i < n; ++i)
    r[i] = data.y[i] - yMean;
  for (size_t j = 0; j < k; ++j) {
    if (withIntercept) xMeans[j] = mean(data.x[j]);
    a[j].resize(n);
    for (size_t i = 0; i < n; ++i)
      a[j][i] = data.x[j][i] - xMeans[j];
  }

  // QR: column j of a becomes column p of R (its rows 0..p) when it is kept. Centred columns span at
  // most n - 1 dimensions, so with an intercept at most n - 1 columns are kept.
  const size_t rankLimit = withIntercept ? n - 1 : n;
  std::vector<size_t> keptColumns;
  std::vector<double> v(n);
  for (size_t j = 0; j < k; ++j) {
    const size_t p = keptColumns.size();
    double scale = std::sqrt(sumOfSquares(data.x[j]));
    double norm = std::sqrt(sumOfSquares(a[j], p));
    if (p >= rankLimit || scale == 0 || norm <= kDependentColumn * scale) continue;
    // The reflection I - 2 v v' / v'v maps rows p.. of the column onto alpha e_p.
    double alpha = a[j][p] > 0 ? -norm : norm;
    for (size_t i = p; i < n; ++i)
      v[i] = a[j][i];
    v[p] -= alpha;
    double vv = sumOfSquares(v, p, n);
    auto reflect = [&](std::vector<double>& column) {
      double dot = 0;
      for (size_t i = p; i < n; ++i)
        dot += v[i] * column[i];
      double f = 2 * dot / vv;
      for (size_t i = p; i < n; ++i)
        column[i] -= f * v[i];
    };
    for (size_t later = j; later < k; ++later)
      reflect(a[later]);
    reflect(r);
    keptColumns.push_back(j);
  }
  const size_t kept = keptColumns.size();
  fit.kept = kept;

  // R m = (Q'r)[0, kept), by back substitution; R(row, q) is a[keptColumns[q]][row].
  std::vector<double> m(kept);
  for (size_t q = kept; q-- > 0;) {
    double s = r[q];
    for (size_t c = q + 1; c < kept; ++c)
      s -= a[keptColumns[c]][q] * m[c];
    m[q] = s / a[keptColumns[q]][q];
  }
  for (size_t q = 0; q < kept; ++q)
    fit.slopes[keptColumns[q]] = m[q];
  if (withIntercept) {
    fit.intercept = yMean;
    for (size_t j = 0; j < k; ++j)
      fit.intercept -= fit.slopes[j] * xMeans[j];
  }

  // Q'r splits into the fitted part (its first kept rows) and the residuals (the rest).
  fit.ssreg = sumOfSquares(r, 0, kept);
  fit.ssresid = sumOfSquares(r, kept, n);
  double noise = kNoise * sumOfSquares(data.y);
  if (fit.ssreg <= noise) fit.ssreg = 0;
  if (fit.ssresid <= noise) fit.ssresid = 0;
  fit.df = static_cast<double>(n - kept - (withIntercept ? 1 : 0));
  if (kept == 0) {
    // Every variable dropped: the model is taken as fitting exactly, its whole sum of squares counted
    // as explained and no degrees of freedom left.
    fit.ssreg += fit.ssresid;
    fit.ssresid = 0;
    fit.df = 0;
  }

  // Standard errors from (R'R)^-1 = R^-1 R^-T scaled by the residual variance.
  double sey = fit.df > 0 ? std::sqrt(fit.ssresid / fit.df) : 0;
  std::vector<std::vector<double>> inverse(kept, std::vector<double>(kept, 0.0)); // R^-1, upper
  for (size_t c = 0; c < kept; ++c) {
    inverse[c][c] = 1 / a[keptColumns[c]][c];
    for (size_t q = c; q-- > 0;) {
      double s = 0;
      for (size_t t = q + 1; t <= c; ++t)
        s += a[keptColumns[t]][q] * inverse[t][c];
      inverse[q][c] = -s / a[keptColumns[q]][q];
    }
  }
  for (size_t q = 0; q < kept; ++q) {
    double s = 0;
    for (size_t c = q; c < kept; ++c)
      s += inverse[q][c] * inverse[q][c];
    fit.slopeErrors[keptColumns[q]] = sey * std::sqrt(s);
  }
  if (withIntercept) {
    // Var(b) = sey^2 (1/n + xbar' (R'R)^-1 xbar) over the kept columns' means.
    double s = 1 / static_cast<double>(n);
    for (size_t c = 0; c < kept; ++c) {
      double z = 0;
      for (size_t q = 0; q <= c; ++q)
        z += inverse[q][c] * xMeans[keptColumns[q]];
      s += z * z;
    }
    fit.interceptError = sey * std::sqrt(s);
  }
  return fit;
}

// ---------------------------------------------------------------- LINEST

namespace {

// Returns 0 with the rows and columns of a LINEST data argument (a reference, an array or one
// number), or the error it gives.
int32_t shapeOf(const CalcValue& v, uint32_t& rows, uint32_t& columns) {
  if (v.isReference()) {
    Area area;
    if (!oneSheetArea(v, area)) return ErrRef;
    rows = areaHeight(area);
    columns = areaWidth(area);
    return 0;
  }
  if (v.isArray()) {
    rows = v.arrayRows();
    columns = v.arrayColumns();
    return rows && columns ? 0 : ErrValue;
  }
  if (v.isErrorValue()) return v.errorCode();
  rows = columns = 1;
  return v.isNumber() ? 0 : ErrValue;
}

// Returns 0 with the number at (row, column) of a data argument, or the error it gives: an error
// value its own, anything but a number (an empty cell, a text, a Boolean) "#VALUE!".
int32_t numberAt(const CalcValue& v, uint32_t row, uint32_t column, double& out) {
  const CalcValue* e = cellValueAt(v, row, column);
  if (!e) return ErrValue;
  if (e->isErrorValue()) return e->errorCode();
  if (!e->isNumber()) return ErrValue;
  out = e->numberValue();
  return 0;
}

// Reads LINEST's y and x into observations. With y in one column, each column of x is a variable;
// with y in one row, each row of x; a y of several rows and columns pairs with an x of its shape as
// one variable. x left out is 1, 2, 3, ... Returns 0 or the error.
int32_t readObservations(const CalcValue& knownY, const CalcValue& knownX, LeastSquaresData& data) {
  uint32_t yRows = 0, yColumns = 0, xRows = 0, xColumns = 0;
  if (int32_t error = shapeOf(knownY, yRows, yColumns)) return error;
  const bool defaultX = knownX.isEmpty();
  if (defaultX) {
    xRows = yRows;
    xColumns = yColumns;
  } else if (int32_t error = shapeOf(knownX, xRows, xColumns)) {
    return error;
  }
  const bool byColumn = yColumns == 1, byRow = !byColumn && yRows == 1;
  uint64_t n = uint64_t(yRows) * yColumns, k = 1;
  if (byColumn ? xRows != yRows : byRow ? xColumns != yColumns : xRows != yRows || xColumns != yColumns)
    return ErrRef;
  if (!defaultX && byColumn) k = xColumns;
  if (!defaultX && byRow) k = xRows;
  // The data must fit in memory and the decomposition, of n k min(n, k) steps, finish in moments.
  if (n * (k + 1) > kMaxLoadedAreaElements || n * k * std::min(n, k) > kMaxFitSteps) return ErrNum;

  data.y.resize(n);
  data.x.assign(k, std::vector<double>(n));
  for (uint32_t i = 0; i < n; ++i)
    if (int32_t error = numberAt(knownY, i / yColumns, i % yColumns, data.y[i])) return error;
  for (uint32_t j = 0; j < k; ++j)
    for (uint32_t i = 0; i < n; ++i) {
      if (defaultX) {
        data.x[j][i] = i + 1;
        continue;
      }
      uint32_t row = byColumn ? i : byRow ? j : i / yColumns;
      uint32_t column = byColumn ? j : byRow ? i : i % yColumns;
      if (int32_t error = numberAt(knownX, row, column, data.x[j][i])) return error;
    }
  return 0;
}

} // namespace

void standInLinest(const CalcValue* const* arguments, CalcValue& result) {
  const CalcValue* knownY = argumentAt(arguments, 0);
  const CalcValue* knownX = argumentAt(arguments, 1);
  bool withIntercept = true, stats = false;
  if (!knownY) {
    result.setError(ErrValue);
    return;
  }
  if (!booleanAt(arguments, 2, true, withIntercept, result) || !booleanAt(arguments, 3, false, stats, result))
    return;
  LeastSquaresData data;
  if (int32_t error = readObservations(*knownY, knownX ? *knownX : emptyValue(), data)) {
    result.setError(error);
    return;
  }
  const LeastSquaresFit fit = fitLeastSquares(data, withIntercept);

  const uint32_t k = static_cast<uint32_t>(data.x.size());
  CalcValue block;
  block.resizeArray(k + 1, stats ? 5 : 1);
  auto put = [&](uint32_t column, uint32_t row, double x) {
    setNumberResult(*block.element(column, row), x);
  };
  for (uint32_t c = 0; c < k; ++c)
    put(c, 0, fit.slopes[k - 1 - c]);
  put(k, 0, fit.intercept);
  if (stats) {
    for (uint32_t row = 1; row < 5; ++row)
      for (uint32_t c = row == 1 ? k : 2; c <= k; ++c)
        block.element(c, row)->setError(ErrNA);
    for (uint32_t c = 0; c < k; ++c)
      put(c, 1, fit.slopeErrors[k - 1 - c]);
    if (withIntercept) put(k, 1, fit.interceptError);
    const double total = fit.ssreg + fit.ssresid;
    if (total > 0)
      put(0, 2, fit.ssreg / total);
    else
      block.element(0, 2)->setError(ErrNum);
    put(1, 2, fit.df > 0 ? std::sqrt(fit.ssresid / fit.df) : 0);
    if (fit.ssresid > 0 && fit.df > 0 && fit.kept > 0)
      put(0, 3, (fit.ssreg / static_cast<double>(fit.kept)) / (fit.ssresid / fit.df));
    else
      block.element(0, 3)->setError(ErrNum);
    put(1, 3, fit.df);
    put(0, 4, fit.ssreg);
    put(1, 4, fit.ssresid);
  }
  result = std::move(block);
}

} // namespace cwbk::compiler
