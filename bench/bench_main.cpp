// The benchmark runner: starts the system's modules as the programs do, so that the socket
// library's thread serves the socket benchmarks, and stops them after the run.
#include <benchmark/benchmark.h>

#include "LumarixModuleOrder.h"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  lumarix::StartModules(lumarix::kLibraryModules);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  lumarix::StopModules();
  return 0;
}
