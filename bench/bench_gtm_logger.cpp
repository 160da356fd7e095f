// The standard file logger beside its anchors, measured in one run:
// - lines per second into a file, 1 and 4 threads, beside one raw write(2) per
//   line of the same text (the floor) and spdlog with a basic file sink
//   flushed after every line;
// - the cost of a message that is dropped: a debug message (the level filter),
//   and an info message with verbose logging off ("GTMVerboseLogging" unset,
//   the preferences file present or absent);
// - allocations per line, counted by the replaced global operator new below.
// At the end it prints the ratios to spdlog and to the floor.
//
// The verbose-off cases run first, while the variable is unset (an unset
// variable is looked up again on every call); then it is set to 1 for the
// rest, and kept from then on.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "GTM/GTMLogger.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

#ifdef CW_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

// Allocations made by this thread; the timed loops read it before and after.
thread_local unsigned long long tAllocations = 0;

// free() for what the operator new above took from malloc().
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  ++tAllocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

constexpr const char* kText = "request served from cache, 1532 bytes in 0.42 ms";

// One folder for the whole run, removed at exit.
class BenchDir {
public:
  BenchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/gtm-bench.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
  }
  ~BenchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const char* name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

BenchDir& benchDir() {
  static BenchDir dir;
  return dir;
}

// Shared between the threads of one benchmark run; thread 0 sets it up before
// the timed loop (which starts on a barrier) and takes it down after it.
std::shared_ptr<cw::GTMLogger> gLogger;

// Runs the timed loop and reports items per second and allocations per item.
template <typename Body>
void timedLoop(benchmark::State& state, Body body) {
  const unsigned long long before = tAllocations;
  for (auto _ : state) body();
  state.counters["allocs_per_item"] =
      benchmark::Counter(static_cast<double>(tAllocations - before), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
}

void openLogger(benchmark::State& state, const std::string& path) {
  if (state.thread_index() != 0) return;
  gLogger = cw::GTMLogger::standardLoggerWithPath(path);
  if (!gLogger) state.SkipWithError("cannot open the log file");
}

void closeLogger(benchmark::State& state, const std::string& path) {
  if (state.thread_index() != 0) return;
  gLogger.reset();
  ::unlink(path.c_str());
}

void BM_GTMLoggerInfoToFile(benchmark::State& state) {
  const std::string path = benchDir().file("gtm.log");
  openLogger(state, path);
  int i = 0;
  timedLoop(state, [&] { gLogger->logInfo("line %d: %@", ++i, kText); });
  closeLogger(state, path);
}

int gRawFd = -1;
std::string gRawLine;

void BM_RawWriteFloor(benchmark::State& state) {
  const std::string path = benchDir().file("raw.log");
  if (state.thread_index() == 0) {
    // The very text a logger line has, made once.
    cw::GTMLogStandardFormatter formatter;
    const cw::FormatArg args[] = {123456, kText};
    gRawLine = formatter.stringForFuncWithFormatValistLevel(std::nullopt, "line %d: %@", args, cw::GTMLogLevelInfo)
                   .value_or("") +
               "\n";
    gRawFd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (gRawFd < 0) state.SkipWithError("cannot open the file");
  }
  timedLoop(state, [&] {
    if (::write(gRawFd, gRawLine.data(), gRawLine.size()) < 0) state.SkipWithError("write failed");
  });
  if (state.thread_index() == 0) {
    ::close(gRawFd);
    gRawFd = -1;
    ::unlink(path.c_str());
  }
}

#ifdef CW_HAVE_SPDLOG
std::shared_ptr<spdlog::logger> gSpdlog;

void BM_SpdlogFlushEachLine(benchmark::State& state) {
  const std::string path = benchDir().file("spdlog.log");
  if (state.thread_index() == 0) {
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path);
    gSpdlog = std::make_shared<spdlog::logger>("bench_gtm_logger", std::move(sink));
    gSpdlog->set_pattern("%Y-%m-%d %H:%M:%S.%e %n[%P/%t] [lvl=2] (no func) %v");
    gSpdlog->set_level(spdlog::level::info);
    gSpdlog->flush_on(spdlog::level::trace);
  }
  int i = 0;
  timedLoop(state, [&] { gSpdlog->info("line {}: {}", ++i, kText); });
  if (state.thread_index() == 0) {
    gSpdlog.reset();
    ::unlink(path.c_str());
  }
}
#endif

void BM_GTMLoggerDroppedDebug(benchmark::State& state) {
  const std::string path = benchDir().file("dropped.log");
  openLogger(state, path);
  int i = 0;
  timedLoop(state, [&] { gLogger->logDebug("line %d: %@", ++i, kText); });
  closeLogger(state, path);
}

// An info message with "GTMVerboseLogging" unset: the user default decides.
// The preferences file holds it as false (argument 1) or is missing (0); it
// changed an hour ago, as in a settled session.
void BM_GTMLoggerDroppedInfoVerboseOff(benchmark::State& state) {
  const std::string path = benchDir().file("quiet.log");
  if (state.thread_index() == 0) {
    if (std::getenv("GTMVerboseLogging")) state.SkipWithError("GTMVerboseLogging is set");
    const std::string preferences = cw::UserDefaults::standardUserDefaults().filePath();
    if (state.range(0)) {
      std::filesystem::create_directories(std::filesystem::path(preferences).parent_path());
      const std::string text = cw::serializePropertyList(
          cw::PlistValue(cw::PlistDictionary{{"GTMVerboseLogging", cw::PlistValue(false)},
                                             {"com.apple.PreferenceSync.ExcludeAllSyncKeys", cw::PlistValue(true)}}));
      FILE* file = std::fopen(preferences.c_str(), "w");
      if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fclose(file) != 0)
        state.SkipWithError("cannot write the preferences");
      const timespec anHourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
      ::utimensat(AT_FDCWD, preferences.c_str(), anHourAgo, 0);
    } else {
      ::unlink(preferences.c_str());
    }
    if (cw::IsVerboseLoggingEnabled()) state.SkipWithError("verbose logging is on");
    openLogger(state, path);
  }
  int i = 0;
  timedLoop(state, [&] { gLogger->logInfo("line %d: %@", ++i, kText); });
  closeLogger(state, path);
}

BENCHMARK(BM_GTMLoggerDroppedInfoVerboseOff)
    ->ArgName("prefs_present")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();
BENCHMARK(BM_GTMLoggerDroppedDebug)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_RawWriteFloor)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_GTMLoggerInfoToFile)->Threads(1)->Threads(4)->UseRealTime();
#ifdef CW_HAVE_SPDLOG
BENCHMARK(BM_SpdlogFlushEachLine)->Threads(1)->Threads(4)->UseRealTime();
#endif

// The console output as usual, and each benchmark's figures kept: the median
// when there are repetitions, the single run otherwise.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
  struct Figures {
    double realNs = 0;  // wall time per item
    double cpuNs = 0;   // CPU time per item, over all threads
    double itemsPerSecond = 0;
    double allocations = 0;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!single && !median) continue;
      Figures f;
      f.realNs = run.GetAdjustedRealTime();
      f.cpuNs = run.GetAdjustedCPUTime();
      if (auto it = run.counters.find("items_per_second"); it != run.counters.end()) f.itemsPerSecond = it->second;
      if (auto it = run.counters.find("allocs_per_item"); it != run.counters.end()) f.allocations = it->second;
      figures_[run.run_name.str()] = f;
    }
  }

  const Figures* find(const std::string& name) const {
    const auto it = figures_.find(name);
    return it == figures_.end() ? nullptr : &it->second;
  }

private:
  std::map<std::string, Figures> figures_;
};

void printSummary(const RecordingReporter& reporter) {
  std::printf("\nSummary (medians when repeated)\n");
  for (const char* threads : {"1", "4"}) {
    const std::string suffix = std::string("/real_time/threads:") + threads;
    const auto* gtm = reporter.find("BM_GTMLoggerInfoToFile" + suffix);
    const auto* floor = reporter.find("BM_RawWriteFloor" + suffix);
    const auto* spd = reporter.find("BM_SpdlogFlushEachLine" + suffix);
    if (!gtm) continue;
    std::printf("info line into a file, %s thread(s): GTMLogger %.3f M lines/s, %.2f allocations a line", threads,
                gtm->itemsPerSecond / 1e6, gtm->allocations);
    if (spd)
      std::printf("; spdlog %.3f M/s (%.2f allocations), GTMLogger/spdlog %.2fx", spd->itemsPerSecond / 1e6,
                  spd->allocations, gtm->itemsPerSecond / spd->itemsPerSecond);
    if (floor)
      std::printf("; floor %.3f M/s, GTMLogger/floor %.0f %%", floor->itemsPerSecond / 1e6,
                  100 * gtm->itemsPerSecond / floor->itemsPerSecond);
    std::printf("\n");
  }
  const std::pair<const char*, const char*> dropped[] = {
      {"debug message dropped by the level filter", "BM_GTMLoggerDroppedDebug"},
      {"info message, verbose off, preferences present", "BM_GTMLoggerDroppedInfoVerboseOff/prefs_present:1"},
      {"info message, verbose off, preferences absent", "BM_GTMLoggerDroppedInfoVerboseOff/prefs_present:0"},
  };
  for (const auto& [what, name] : dropped) {
    for (const char* threads : {"1", "4"}) {
      if (const auto* f = reporter.find(std::string(name) + "/real_time/threads:" + threads))
        std::printf("%s, %s thread(s): %.1f ns wall, %.1f ns CPU a message, %.2f allocations\n", what, threads,
                    f->realNs, f->cpuNs, f->allocations);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A home of the run's own, so that no real preferences take part.
  const std::string home = benchDir().file("home");
  std::filesystem::create_directories(home);
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("GTMVerboseLogging");

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  const std::string chosen = benchmark::GetBenchmarkFilter();
  if (chosen.empty() || chosen == "." || chosen == "all") {
    benchmark::RunSpecifiedBenchmarks(&reporter, "VerboseOff");
    // Info lines are written only with verbose logging on.
    ::setenv("GTMVerboseLogging", "1", 1);
    benchmark::RunSpecifiedBenchmarks(&reporter, "-VerboseOff");
  } else {
    // A filter of the caller's: the verbose setting its cases need.
    if (chosen.find("VerboseOff") == std::string::npos) ::setenv("GTMVerboseLogging", "1", 1);
    benchmark::RunSpecifiedBenchmarks(&reporter, chosen);
  }
  printSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
