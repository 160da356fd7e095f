// One scan over crash-reporter folders of 100, 1,000 and 10,000 files (10 %
// Finder logs), beside find(1) making the same selection.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "FRCrashLogFinder.h"

namespace {

namespace fs = std::filesystem;

// A temporary HOME with `count` crash logs, one in ten of Finder.
class CrashFolder {
public:
  explicit CrashFolder(int count) {
    char pattern[] = "/tmp/cwbench.XXXXXX";
    root_ = ::mkdtemp(pattern);
    folder_ = root_ + "/Library/Logs/CrashReporter";
    fs::create_directories(folder_);
    fs::create_directories(root_ + "/local");
    for (int i = 0; i < count; ++i) {
      const std::string name = (i % 10 == 0 ? "Finder_" : "Mail_") + std::to_string(i) + "_host.crash";
      std::ofstream(folder_ + "/" + name) << "Process: x\n";
    }
  }
  ~CrashFolder() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }
  const std::string& folder() const { return folder_; }

private:
  std::string root_;
  std::string folder_;
};

CrashFolder& folderOf(int count) {
  static std::map<int, std::unique_ptr<CrashFolder>> folders;
  auto& slot = folders[count];
  if (!slot) slot = std::make_unique<CrashFolder>(count);
  return *slot;
}

void BM_FinderScan(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  CrashFolder& folder = folderOf(count);
  ::setenv("HOME", folder.root().c_str(), 1);
  ::setenv("CRASHWATCHER_LOCAL_LIBRARY", (folder.root() + "/local").c_str(), 1);
  size_t found = 0;
  for (auto _ : state) {
    const auto since = std::chrono::system_clock::now() - std::chrono::seconds(10);
    found = cw::FRCrashLogFinder::findCrashLogsSince(since).size();
    benchmark::DoNotOptimize(found);
  }
  if (found != static_cast<size_t>((count + 9) / 10)) state.SkipWithError("wrong selection");
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["per_file_ns"] = benchmark::Counter(
      static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_FindCommand(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  CrashFolder& folder = folderOf(count);
  for (auto _ : state) {
    const std::string command = "find '" + folder.folder() + "' -path '" + folder.folder() +
                                "/Finder*' -name '*.crash' -newermt '-10 seconds' > /dev/null";
    if (std::system(command.c_str()) != 0) state.SkipWithError("find failed");
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["per_file_ns"] = benchmark::Counter(
      static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_FinderScan)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();
// Wall time: find runs in a child, whose CPU time the benchmark does not see.
BENCHMARK(BM_FindCommand)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
