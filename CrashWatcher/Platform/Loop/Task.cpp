#include "Platform/Task.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Platform/Posix.h"
#include "Platform/RunLoop.h"

namespace cw {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// Reads per readiness, so that a writer without pause cannot keep the loop
// from its other sources.
constexpr int kReadsPerWakeUp = 4;
// After the group is killed, the pipe ends as soon as the kernel has closed
// the writers' descriptors; a writer outside the group (one that made its
// own session) is not waited for beyond this.
constexpr double kDrainAfterKillSeconds = 2.0;

// Reads what the pipe holds into `take`; false at end of file or on an error.
template <typename Take>
bool readAvailable(int fd, Take&& take) {
  char buffer[kReadChunk];
  for (int round = 0; round < kReadsPerWakeUp; ++round) {
    const ssize_t size = posix::retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (size < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (size == 0) return false;
    take(std::string_view(buffer, static_cast<std::size_t>(size)));
  }
  return true;
}

}  // namespace

SystemResult<void> Task::run(Output output) {
  if (ran_) return SystemError(EALREADY);
  ran_ = true;

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return SystemError::last();
  UniqueFd reader(ends[0]);
  UniqueFd writer(ends[1]);
  ChildProcess::Options options;
  options.descriptors = {{writer.get(), STDOUT_FILENO}};
  UniqueFd sideReader, sideWriter;
  if (!sideMarker_.marker.empty()) {
    if (::pipe2(ends, O_CLOEXEC) != 0) return SystemError::last();
    sideReader.reset(ends[0]);
    sideWriter.reset(ends[1]);
    options.descriptors.push_back({sideWriter.get(), sideDescriptor_});
  }
  options.environment = environment_;
  SystemResult<ChildProcess> spawned =
      ChildProcess::spawn(launchPath_, ChildProcess::argumentVector(launchPath_, arguments_), options);
  // Our copy of the write end must go, or the output would never end.
  writer.reset();
  sideWriter.reset();
  if (!spawned) return SystemError(spawned.error());
  ChildProcess child = std::move(*spawned);
  pid_ = child.processIdentifier();
  // Our end only: the child's stays blocking. A fresh pipe end has no other
  // status flag to keep.
  ::fcntl(reader.get(), F_SETFL, O_NONBLOCK);
  if (sideReader) ::fcntl(sideReader.get(), F_SETFL, O_NONBLOCK);
  const auto takeOutput = [&](std::string_view bytes) { take(bytes, output); };
  const auto takeSide = [&](std::string_view bytes) {
    if (!sideMarker_.seen) sideMarker_.feed(bytes);
  };

  RunLoop& loop = RunLoop::current();
  const RunLoop::RunHandle finished = stopHandle_;
  const std::vector<std::string> modes{runMode_};
  bool outputEnded = false, exited = false;
  RunLoop::SourceHandle outputSource, sideSource, deadline, drain;
  const auto finishIfDone = [&] {
    if (outputEnded && exited) finished.stop();
  };
  const auto endOutput = [&] {
    outputEnded = true;
    outputSource.reset();
    finishIfDone();
  };
  // Not reaped yet: a time limit that runs out after the shell has ended
  // must still be able to kill what the shell left running in its group.
  const auto noteEnded = [&] {
    // Once the output has ended too, nothing of the group is waited for.
    if (outputEnded) child.tryReap();
    exited = true;
    finishIfDone();
  };
  outputSource = loop.addFdSource(
      reader.get(),
      [&](short) {
        if (!readAvailable(reader.get(), takeOutput)) endOutput();
      },
      modes);
  if (sideReader)
    sideSource = loop.addFdSource(
        sideReader.get(),
        [&](short) {
          if (!readAvailable(sideReader.get(), takeSide)) sideSource.reset();
        },
        modes);
  child.watchExit(loop, modes, noteEnded);
  deadline = loop.addTimer(
      std::chrono::duration<double>(timeLimit_).count(), false,
      [&] {
        timedOut_ = true;
        child.killGroup();
        drain = loop.addTimer(kDrainAfterKillSeconds, false, endOutput, modes);
      },
      modes);

  loop.run(runMode_, finished);

  if (!(outputEnded && exited)) {
    // A shutdown: no answer is taken from a script that did not finish.
    interrupted_ = true;
    output_.clear();
    child.terminate();
  } else {
    // What the child wrote there before it ended is in the pipe by now.
    if (sideReader && sideSource.active()) readAvailable(sideReader.get(), takeSide);
    if (!child.reaped()) child.tryReap();  // it has ended; what it left running in the background may go on
  }
  status_ = child.shellStatus();
  if (const std::optional<int> wait = child.waitStatus(); wait && WIFSIGNALED(*wait)) signal_ = WTERMSIG(*wait);
  return {};
}

std::optional<std::string> Task::MarkerScan::feed(std::string_view bytes) {
  pending.append(bytes);
  const std::size_t at = pending.find(marker);
  if (at == std::string::npos) {
    // Only a tail shorter than the marker can still be the start of it.
    if (pending.size() >= marker.size()) pending.erase(0, pending.size() - (marker.size() - 1));
    return std::nullopt;
  }
  seen = true;
  std::string after = pending.substr(at + marker.size());
  pending.clear();
  return after;
}

void Task::take(std::string_view bytes, Output output) {
  std::string afterMarker;
  if (!startMarker_.marker.empty() && !startMarker_.seen) {
    std::optional<std::string> rest = startMarker_.feed(bytes);
    if (!rest) return;
    afterMarker = std::move(*rest);
    bytes = afterMarker;
  }
  if (output == Output::Discard) return;
  const std::size_t room = outputLimit_ > output_.size() ? outputLimit_ - output_.size() : 0;
  const std::size_t kept = std::min(room, bytes.size());
  output_.append(bytes.substr(0, kept));
  if (kept < bytes.size()) outputTruncated_ = true;
}

}  // namespace cw
