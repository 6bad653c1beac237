// The entry of the Google Benchmark programs: the worksheet-function library is installed first, as
// the runtime does at start-up.
#include <benchmark/benchmark.h>

#include "functions/function_library.h"

int main(int argc, char** argv) {
  cwbk::installFunctionLibrary();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
