// The watcher service: single instance per user, watches the diagnostic
// reports folder and turns every change into a scan for Finder crash logs.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "CrashScan.h"
#include "Platform/EventStream.h"
#include "Platform/Paths.h"
#include "Platform/PrintableText.h"
#include "Platform/RunLoop.h"
#include "Platform/SystemLog.h"
#include "Platform/SystemResult.h"
#include "Platform/UniqueFd.h"
#include "Reporter.h"

namespace {

constexpr const char* kLockFilePath = "~/Library/Application Support/.VellumdriftCrashWatcher.lock";
// What the agent remembers across runs (see AgentState), beside the lock file.
constexpr const char* kStateFilePath = "~/Library/Application Support/.VellumdriftCrashWatcher.state";
constexpr const char* kWatchedFolder = "~/Library/Logs/DiagnosticReports";
constexpr double kStreamLatencySeconds = 1.0;
// Another instance may unlink the lock file between our open and our flock;
// then we hold a lock on a file nobody else can find and must try again.
constexpr int kLockAttempts = 100;

std::shared_ptr<cw::Reporter> reporter;
std::unique_ptr<cw::CrashScan> scan;
// The open lock file while the agent holds it; closed exactly once.
cw::UniqueFd lock;

// The handlers only record the signal and wake the main thread, which does
// the work in whatever run is under way (see serviceSignals).
volatile std::sig_atomic_t caughtSIGINT = 0;
volatile std::sig_atomic_t caughtSIGTERM = 0;
volatile std::sig_atomic_t pendingSIGUSR1 = 0;
// Set on the main thread while a scan runs, so that the handler itself drops
// a user-signal-1 that comes during one, up to its very end; the wake-up it
// sends may only be served after the scan has returned.
volatile std::sig_atomic_t scanUnderWay = 0;
std::unique_ptr<cw::WakeUp> signalWakeUp;

// A scan is under way (or the agent is stopping): another is turned away.
bool dialogInProgress() {
  return scan && scan->state() != cw::CrashScan::State::Idle;
}

std::string lockFilePath() {
  return cw::standardizePath(kLockFilePath);
}

void runScan(cw::CrashScan::Trigger trigger) {
  if (!scan) return;
  if (dialogInProgress()) {
    scan->run(trigger);  // turned away; the scan notes a folder change
    return;
  }
  scanUnderWay = 1;
  scan->run(trigger);
  scanUnderWay = 0;
}

// A change turned away while a scan is under way makes that scan look once
// more before it ends (see CrashScan).
void mycallback(const std::vector<cw::EventStreamEvent>& /*events*/) {
  runScan(cw::CrashScan::Trigger::FolderChange);
}

void wakeMainThread() {
  if (signalWakeUp) signalWakeUp->signal();
}

void handle_SIGINT(int) {
  caughtSIGINT = 1;
  wakeMainThread();
}

void handle_SIGTERM(int) {
  caughtSIGTERM = 1;
  wakeMainThread();
}

void handle_SIGUSR1(int) {
  // One that comes while a scan is under way is dropped, not queued.
  if (scanUnderWay) return;
  pendingSIGUSR1 = 1;
  wakeMainThread();
}

// Runs on the main thread in every run-loop mode, after any signal.
void serviceSignals() {
  if (caughtSIGINT || caughtSIGTERM) {
    // A script under way is killed with its group, an open dialog ends as a
    // refusal, the scan asks nothing more, and the main run returns.
    if (scan) scan->stop();
    cw::RunLoop::current().stopAll();
    return;
  }
  if (pendingSIGUSR1) {
    // One that comes while a scan is under way is dropped, not queued.
    pendingSIGUSR1 = 0;
    if (!dialogInProgress()) runScan(cw::CrashScan::Trigger::UserSignal);
  }
}

// The wake-up lives on the main thread's run loop, which goes before the
// statics at exit: drop it first, once no handler can reach it any more.
void retireSignalWakeUp() {
  std::signal(SIGUSR1, SIG_IGN);
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  signalWakeUp.reset();
}

void releaseLock() {
  if (!lock) return;
  // The name goes while we still hold the lock: a starter that opened the
  // file before and locks it after us then finds the name gone and tries
  // again. Unlinked after the unlock, the name could be taken from a new
  // holder, and a third starter would lock a fresh file beside it.
  ::unlink(lockFilePath().c_str());
  ::flock(lock.get(), LOCK_UN | LOCK_NB);
  lock.reset();
}

enum class LockOutcome { Obtained, HeldByAnother, CannotOpen, CannotLock };

// How obtaining the lock went; for CannotOpen and CannotLock, why.
struct LockAttempt {
  LockOutcome outcome;
  std::optional<cw::SystemError> error;
};

// Opens and locks the lock file.
LockAttempt obtainLock(const std::string& path) {
  // Closing what we could not use must not lose the reason: it is taken first.
  auto giveUp = [](LockOutcome outcome, std::optional<cw::SystemError> error) {
    lock.reset();
    return LockAttempt{outcome, error};
  };
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    lock.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock) return LockAttempt{LockOutcome::CannotOpen, cw::SystemError::last()};
    if (lock.get() <= STDERR_FILENO) {
      // Started with a standard descriptor closed: keep the lock clear of
      // 0, 1 and 2, which children inherit.
      cw::UniqueFd moved(::fcntl(lock.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
      if (!moved) return giveUp(LockOutcome::CannotOpen, cw::SystemError::last());
      lock = std::move(moved);
    }
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
      const cw::SystemError error = cw::SystemError::last();
      if (error.code() == EWOULDBLOCK) return giveUp(LockOutcome::HeldByAnother, std::nullopt);
      return giveUp(LockOutcome::CannotLock, error);
    }
    struct stat locked {
    }, named{};
    if (::fstat(lock.get(), &locked) == 0 && ::stat(path.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
        locked.st_ino == named.st_ino)
      return LockAttempt{LockOutcome::Obtained, std::nullopt};
  }
  return giveUp(LockOutcome::HeldByAnother, std::nullopt);
}

}  // namespace

int main(int argc, char* argv[], char* /*envp*/[]) {
  // A reader of our standard error that goes away (a closed terminal, a log
  // pipe restarted) must not end us, from the first line on: a failed write
  // is only a lost line. Children start with the default disposition again.
  std::signal(SIGPIPE, SIG_IGN);
  if (const std::optional<int> answered = cw::answerCommandLine(argc, argv)) return *answered;
  const std::string lockPath = lockFilePath();
  if (const LockAttempt attempt = obtainLock(lockPath); attempt.outcome != LockOutcome::Obtained) {
    // When no other instance is to blame, say what is, first.
    if (attempt.outcome == LockOutcome::CannotOpen)
      cw::systemLog("Unable to open lock file '%s': %s", cw::printableForLog(lockPath), attempt.error->reason());
    else if (attempt.outcome == LockOutcome::CannotLock)
      cw::systemLog("Unable to lock file '%s': %s", cw::printableForLog(lockPath), attempt.error->reason());
    cw::systemLog("Unable to obtain lock '%s' - exiting to prevent multiple VellumdriftCrashWatcher instances",
                  cw::printableForLog(lockPath));
    std::exit(1);
  }

  signalWakeUp = std::make_unique<cw::WakeUp>(serviceSignals);
  std::signal(SIGHUP, SIG_IGN);
  std::signal(SIGUSR1, handle_SIGUSR1);
  std::signal(SIGUSR2, SIG_IGN);
  std::signal(SIGINT, handle_SIGINT);
  // What a session manager, a logout or kill sends: the same orderly end.
  std::signal(SIGTERM, handle_SIGTERM);

  reporter = cw::Reporter::alloc(cw::standardReporterParts())->init();
  if (!reporter || !reporter->readConfigurationData()) {
    reporter.reset();
    releaseLock();
    retireSignalWakeUp();
    std::exit(10);
  }

  // Lives until after the scan, which saves into it at the end.
  cw::AgentState remembered(cw::standardizePath(kStateFilePath));
  remembered.load();
  cw::CrashScan::Memory memory;
  memory.state = &remembered;
  memory.quietPeriodSeconds = cw::CrashScan::quietPeriodSeconds(
      cw::Bundle::mainBundle().objectForInfoDictionaryKey(cw::CrashScan::kQuietPeriodKey));
  scan = std::make_unique<cw::CrashScan>(
      *reporter, cw::FRCrashLogFinder::findCrashLogsSince, [] { return std::chrono::system_clock::now(); },
      cw::identifyCrashLog, std::move(memory));

  const std::string watched = cw::standardizePath(kWatchedFolder);
  cw::RunLoop& loop = cw::RunLoop::current();
  std::unique_ptr<cw::EventStream> stream = cw::EventStream::create(mycallback, {watched}, kStreamLatencySeconds);
  if (stream) {
    stream->scheduleWithRunLoop(loop, cw::kDefaultRunLoopMode);
    stream->start();
  }
  // Said once the watch is in place: a change made after this line is seen.
  cw::systemLog("Watching '%@'", cw::printableForLog(watched));

  // One scan at start after an earlier run: crashes written while no agent
  // ran are asked about now (back to that run's last scan), not at the next
  // change. The first start ever waits for a change, as it always did.
  cw::RunLoop::SourceHandle firstScan;
  if (!remembered.firstStart())
    firstScan = loop.addTimer(0, false, [] { runScan(cw::CrashScan::Trigger::UserSignal); }, {cw::kDefaultRunLoopMode});

  loop.run(cw::kDefaultRunLoopMode);

  if (caughtSIGINT)
    cw::systemLog("caught SIGINT - exiting...");
  else if (caughtSIGTERM)
    cw::systemLog("caught SIGTERM - exiting...");
  if (stream) {
    stream->stop();
    stream->unscheduleFromRunLoop(loop, cw::kDefaultRunLoopMode);
  }
  if (scan) scan->stop();
  scan.reset();
  reporter.reset();
  releaseLock();
  retireSignalWakeUp();
  return 0;
}
