// Lines per second into a file through the standard file logger, beside two
// anchors measured in the same run: one raw write(2) per line of the same
// text (the floor) and spdlog with a basic file sink flushed after every line.
// Also the cost of a debug message that the level filter drops.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "GTM/GTMLogger.h"

#ifdef CW_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

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

void finishRun(benchmark::State& state, const std::string& path) {
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) ::unlink(path.c_str());
}

void BM_GTMLoggerInfoToFile(benchmark::State& state) {
  const std::string path = benchDir().file("gtm.log");
  if (state.thread_index() == 0) {
    gLogger = cw::GTMLogger::standardLoggerWithPath(path);
    if (!gLogger) state.SkipWithError("cannot open the log file");
  }
  int i = 0;
  for (auto _ : state) gLogger->logInfo("line %d: %@", ++i, kText);
  if (state.thread_index() == 0) gLogger.reset();
  finishRun(state, path);
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
  for (auto _ : state) {
    if (::write(gRawFd, gRawLine.data(), gRawLine.size()) < 0) state.SkipWithError("write failed");
  }
  if (state.thread_index() == 0) {
    ::close(gRawFd);
    gRawFd = -1;
  }
  finishRun(state, path);
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
  for (auto _ : state) gSpdlog->info("line {}: {}", ++i, kText);
  if (state.thread_index() == 0) gSpdlog.reset();
  finishRun(state, path);
}
#endif

// A debug message is still formatted before the level filter drops it.
void BM_GTMLoggerDroppedDebug(benchmark::State& state) {
  const std::string path = benchDir().file("dropped.log");
  if (state.thread_index() == 0) {
    gLogger = cw::GTMLogger::standardLoggerWithPath(path);
    if (!gLogger) state.SkipWithError("cannot open the log file");
  }
  int i = 0;
  for (auto _ : state) gLogger->logDebug("line %d: %@", ++i, kText);
  if (state.thread_index() == 0) gLogger.reset();
  finishRun(state, path);
}

BENCHMARK(BM_RawWriteFloor)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_GTMLoggerInfoToFile)->Threads(1)->Threads(4)->UseRealTime();
#ifdef CW_HAVE_SPDLOG
BENCHMARK(BM_SpdlogFlushEachLine)->Threads(1)->Threads(4)->UseRealTime();
#endif
BENCHMARK(BM_GTMLoggerDroppedDebug)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Info lines are written only with verbose logging on; set before first use.
  ::setenv("GTMVerboseLogging", "1", 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
