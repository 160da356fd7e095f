// What the script runner's machinery (Task: posix_spawn into its own group
// with default signals and closed descriptors, its output pipe and its end
// served as sources of the run loop) costs over a bare posix_spawn + waitpid of the
// same "bash -l -c" command line. The shell's own start dominates both.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Platform/Task.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// What upload-gist prints, roughly.
const std::string kCommandLine = "printf 'https://paste.example/0123456789abcdef\\n'";

// A HOME of our own, so that no user's login profile takes part.
class ScratchHome {
public:
  ScratchHome() {
    char pattern[] = "/tmp/cwbench.XXXXXX";
    if (::mkdtemp(pattern)) path_ = pattern;
    if (const char* home = std::getenv("HOME")) old_ = home;
    if (!path_.empty()) ::setenv("HOME", path_.c_str(), 1);
  }
  ~ScratchHome() {
    if (!old_.empty()) ::setenv("HOME", old_.c_str(), 1);
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;

private:
  std::string path_;
  std::string old_;
};

std::size_t runWithTask() {
  cw::Task task;
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-l", "-c", kCommandLine});
  task.run(cw::Task::Output::Keep);
  return task.output().size() + static_cast<std::size_t>(task.terminationStatus());
}

int runPlain() {
  std::vector<std::string> words{"/bin/bash", "-l", "-c", kCommandLine};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int status = -1;
  if (::posix_spawn(&pid, "/bin/bash", &actions, nullptr, argv.data(), environ) == 0) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  return status;
}

void BM_TaskOverPlainSpawn(benchmark::State& state) {
  ScratchHome home;
  Clock::duration withTask{}, plain{};
  bool taskFirst = true;  // alternate, so that neither profits from the other's warm caches
  for (auto _ : state) {
    for (int turn = 0; turn < 2; ++turn) {
      const auto start = Clock::now();
      if (taskFirst == (turn == 0)) {
        benchmark::DoNotOptimize(runWithTask());
        withTask += Clock::now() - start;
      } else {
        benchmark::DoNotOptimize(runPlain());
        plain += Clock::now() - start;
      }
    }
    taskFirst = !taskFirst;
  }
  const double runs = static_cast<double>(state.iterations());
  const double taskMs = std::chrono::duration<double, std::milli>(withTask).count() / runs;
  const double plainMs = std::chrono::duration<double, std::milli>(plain).count() / runs;
  state.counters["task_ms"] = taskMs;
  state.counters["plain_ms"] = plainMs;
  state.counters["overhead_ms"] = taskMs - plainMs;
  state.counters["ratio"] = plainMs > 0 ? taskMs / plainMs : 0;
}
BENCHMARK(BM_TaskOverPlainSpawn)->Unit(benchmark::kMillisecond)->MinTime(5.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
