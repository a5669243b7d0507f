// The benchmark runner: starts the system's modules as the programs do, so that the socket
// library's thread serves the socket benchmarks, and stops them after the run. After the
// figures it prints the ratios they are read by, taken within this one run: each library
// benchmark against its plain twin (time), and each codec benchmark against memcpy (speed).
// Run with repetitions in random order (--benchmark_repetitions=N
// --benchmark_enable_random_interleaving=true), the two sides of a ratio share the machine's
// quiet and busy moments alike, and each is read by its median.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "LumarixModuleOrder.h"

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_None) {}

  // A benchmark repeated is read by the median of its repetitions, which a burst of the
  // machine's other work moves least; one run once is read as it is.
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!(single || median) || run.error_occurred) continue;
      const std::string name = run.run_name.function_name;
      times_[name] = run.GetAdjustedRealTime();
      auto speed = run.counters.find("bytes_per_second");
      if (speed != run.counters.end()) speeds_[name] = speed->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    for (const auto& [name, time] : times_) {
      const std::string suffix = "/library";
      if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
      const std::string base = name.substr(0, name.size() - suffix.size());
      auto plain = times_.find(base + "/plain");
      if (plain != times_.end() && plain->second > 0) {
        std::printf("ratio %s library/plain: %.2f\n", base.c_str(), time / plain->second);
      }
    }
    auto memcpySpeed = speeds_.find("BM_Memcpy");
    if (memcpySpeed == speeds_.end() || memcpySpeed->second <= 0) return;
    for (const auto& [name, speed] : speeds_) {
      if (name.rfind("BM_GatherMsg/", 0) == 0 || name.rfind("BM_ParseMsg/", 0) == 0) {
        std::printf("ratio %s/memcpy: %.3f (%.2f GB/s)\n", name.c_str(), speed / memcpySpeed->second, speed / 1e9);
      }
    }
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> speeds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  lumarix::StartModules(lumarix::kLibraryModules);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  lumarix::StopModules();
  return 0;
}
