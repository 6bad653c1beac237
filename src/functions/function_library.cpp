// The worksheet-function library: which routine computes which function, and the installation of the
// routines into the function table.
#include "functions/function_library.h"

#include <initializer_list>
#include <vector>

#include "functions/database.h"
#include "functions/date_time.h"
#include "functions/engineering.h"
#include "functions/financial.h"
#include "functions/logical.h"
#include "functions/lookup.h"
#include "functions/math.h"
#include "functions/statistical.h"
#include "functions/text.h"
#include "values/conversions.h"

namespace cwbk {

std::span<const ImplementationRow> implementationRows() {
  // The families' own lists, one after the other. A function with two names (IFERROR and
  // _XLFN.IFERROR, COUNTIFS and _XLFN.COUNTIFS) has a row for each in its family's list.
  static const std::vector<ImplementationRow> rows = [] {
    std::vector<ImplementationRow> all;
    for (std::span<const ImplementationRow> family :
         {mathRoutines(), lookupRoutines(), referenceRoutines(), textRoutines(), dateTimeRoutines(),
          logicalRoutines(), informationRoutines(), statisticalRoutines(), financialRoutines(),
          engineeringRoutines(), databaseRoutines()})
      all.insert(all.end(), family.begin(), family.end());
    return all;
  }();
  return rows;
}

void installFunctionLibrary() {
  static const bool installed = [] {
    installFunctionRoutines(implementationRows());
    setDateTextParser(dateTextOfWorkbook);
    return true;
  }();
  (void)installed;
}

} // namespace cwbk
