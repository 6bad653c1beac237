// The unit tests' entry point: the function library's routines are installed before any test builds a
// formula, as the runtime installs them when it loads.
#include <gtest/gtest.h>

#include "functions/function_library.h"

int main(int argc, char** argv) {
  cwbk::installFunctionLibrary();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
