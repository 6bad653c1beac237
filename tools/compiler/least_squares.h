// Least squares for the stand-in host: LINEST's fit of known y to one or several x variables, with its
// block of statistics, computed by Householder QR on the centred data.
#pragma once

#include <cstddef>
#include <vector>

#include "values/calc_value.h"

namespace cwbk::compiler {

// The observations of a fit: n values of y and, for each of k variables, its n values of x.
struct LeastSquaresData {
  std::vector<double> y;
  std::vector<std::vector<double>> x; // x[j][i]: variable j at observation i
};

// A fitted model. A variable that is a linear combination of the earlier ones (or, with an intercept,
// constant) is dropped: its coefficient and standard error are 0 and it adds nothing to the fit.
struct LeastSquaresFit {
  std::vector<double> slopes;      // per variable
  std::vector<double> slopeErrors; // standard errors of the slopes
  double intercept = 0;
  double interceptError = 0;     // with an intercept only
  size_t kept = 0;               // the variables not dropped
  double ssreg = 0, ssresid = 0; // regression and residual sums of squares
  double df = 0;                 // degrees of freedom of the residuals
};

// Fits y = m1 x1 + ... + mk xk (+ b when withIntercept). The data must have at least one observation.
LeastSquaresFit fitLeastSquares(const LeastSquaresData& data, bool withIntercept);

// LINEST(known_y, known_x, const, stats) as the host answers it: the coefficients mk..m1, b in one row,
// and with stats four more rows (standard errors; r2 and the standard error of y; F and df; ssreg and
// ssresid), "#N/A" where a row has no more values. Shapes that do not pair up give "#REF!", a value
// that is no number "#VALUE!" (an error value its error), data too large to fit in moments "#NUM!".
void standInLinest(const CalcValue* const* arguments, CalcValue& result);

} // namespace cwbk::compiler
