#include "Platform/Task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "Platform/CleanSpawn.h"
#include "Platform/RunLoop.h"

namespace cw {
namespace {

using Clock = std::chrono::steady_clock;

// What a shell answers for a command it could not run.
constexpr int kNotStartedStatus = 127;
constexpr std::size_t kReadChunk = 64 * 1024;
// After the group is killed, the pipe reaches end of file as soon as the
// kernel has closed the writers' descriptors; a writer outside the group
// (one that made its own session) is not waited for beyond this.
constexpr std::chrono::milliseconds kDrainAfterKill{2000};
// Without a pidfd (kernels before 5.3) we look for the end this often.
constexpr std::chrono::milliseconds kReapPollInterval{10};
// After the kill the end is near; look again this often in case it is not.
constexpr std::chrono::milliseconds kWaitAfterKill{100};

int shellStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return kNotStartedStatus;
}

int millisecondsUntil(Clock::time_point when) {
  const auto now = Clock::now();
  if (when <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
  return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

}  // namespace

std::optional<Pipe> Pipe::make() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  Pipe pipe;
  pipe.read_.reset(fds[0]);
  pipe.write_.reset(fds[1]);
  return pipe;
}

Task::~Task() {
  if (pid_ > 0 && !exited_) {
    killGroup();
    reap(true);
  }
}

bool Task::launch() {
  if (pid_ > 0 || exited_) return false;  // a task runs once

  std::vector<std::string> words;
  words.push_back(launchPath_);
  words.insert(words.end(), arguments_.begin(), arguments_.end());
  std::vector<ChildDescriptor> descriptors;
  if (stdout_ && stdout_->writeFd() >= 0) descriptors.push_back({stdout_->writeFd(), STDOUT_FILENO});
  // Its own process group, numbered by its pid, so that the time limit can
  // kill whatever the script started too.
  const std::optional<pid_t> spawned = spawnCleanChild(launchPath_, words, descriptors);
  // Our copy of the write end must go, or the reader would never see end of file.
  if (stdout_) stdout_->closeWriteEnd();
  if (!spawned) {
    status_ = kNotStartedStatus;
    exited_ = true;
    return false;
  }
  pid_ = *spawned;
  // A limit past any lifetime means none; adding it to now would overflow.
  deadline_ = timeLimit_ >= std::chrono::hours(24 * 365 * 100) ? Clock::time_point::max() : Clock::now() + timeLimit_;
  // glibc's <sys/pidfd.h> does not compile as C++; the descriptor is close-on-exec.
  pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  return true;
}

std::string Task::readDataToEndOfFile() {
  std::string output;
  readToEnd(&output);
  return output;
}

void Task::discardDataToEndOfFile() {
  readToEnd(nullptr);
}

void Task::readToEnd(std::string* sink) {
  if (!stdout_ || stdout_->readFd() < 0 || pid_ <= 0) return;
  const int fd = stdout_->readFd();
  std::string buffer(kReadChunk, '\0');
  bool killed = false;
  Clock::time_point drainDeadline{};
  for (;;) {
    if (!killed && deadlinePassed()) {
      expire();
      killed = true;
      drainDeadline = Clock::now() + kDrainAfterKill;
    }
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, millisecondsUntil(killed ? drainDeadline : deadline_));
    if (polled < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (polled == 0) {
      if (killed) return;  // a writer outside the group still holds the pipe
      continue;            // the deadline: kill at the top of the loop
    }
    const ssize_t size = ::read(fd, buffer.data(), buffer.size());
    if (size < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    if (size == 0) return;  // end of file
    if (!sink) continue;
    const std::size_t room = outputLimit_ > sink->size() ? outputLimit_ - sink->size() : 0;
    const std::size_t kept = std::min(room, static_cast<std::size_t>(size));
    sink->append(buffer.data(), kept);
    if (kept < static_cast<std::size_t>(size)) outputTruncated_ = true;
  }
}

void Task::waitUntilExit() {
  if (pid_ <= 0 || exited_) return;
  RunLoop& loop = RunLoop::current();
  // One-shot: a readable pidfd stays readable, and a wait nested in a callback
  // of ours must not be woken by it over and over.
  RunLoop::SourceId source = 0;
  if (pidfd_) {
    source = loop.addFdSource(pidfd_.get(),
                              [&loop, &source](short) {
                                loop.remove(source);
                                source = 0;
                              },
                              {kDefaultRunLoopMode});
  }
  while (!reap(false)) {
    if (!timedOut_ && deadlinePassed()) expire();
    std::chrono::milliseconds wait = kReapPollInterval;
    if (timedOut_)
      wait = kWaitAfterKill;
    else if (pidfd_ && source)
      wait = std::chrono::milliseconds(millisecondsUntil(deadline_));
    loop.runOnce(kDefaultRunLoopMode, wait);
  }
  if (source) loop.remove(source);
}

bool Task::isRunning() const {
  if (pid_ <= 0 || exited_) return false;
  siginfo_t info{};
  // WNOWAIT: look without collecting the status, which waitUntilExit() takes.
  int result;
  while ((result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT)) != 0 &&
         errno == EINTR) {
  }
  return result == 0 && info.si_pid == 0;
}

bool Task::reap(bool block) {
  int waitStatus = 0;
  pid_t reaped;
  while ((reaped = ::waitpid(pid_, &waitStatus, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
  }
  if (reaped == 0) return false;
  // ECHILD: someone else collected it (SIGCHLD ignored); the status is lost.
  status_ = reaped == pid_ ? shellStatus(waitStatus) : kNotStartedStatus;
  exited_ = true;
  pidfd_.reset();
  return true;
}

void Task::killGroup() {
  // Only before we collect the child: until then its pid, and so its group's
  // number, cannot belong to anybody else.
  if (pid_ <= 0 || exited_) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);  // in case it left its group
}

bool Task::deadlinePassed() const {
  return Clock::now() >= deadline_;
}

void Task::expire() {
  timedOut_ = true;
  killGroup();
}

}  // namespace cw
