#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/RunLoop.h"
#include "Platform/VirtualTime.h"
#include "loop/LoopTestSupport.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using test::TestPipe;
using Handle = RunLoop::SourceHandle;

constexpr std::string_view kDefault = kDefaultRunLoopMode;
constexpr std::string_view kModal = kModalPanelRunLoopMode;

// Ends every run after the hang guard, so that a broken loop fails the test
// instead of hanging it.
Handle addHangGuard(RunLoop& loop, bool& fired) {
  return loop.addTimer(std::chrono::duration<double>(test::kHangGuard).count(), false,
                       [&loop, &fired] {
                         fired = true;
                         loop.stopAll();
                       },
                       {kCommonModes});
}

TEST(RunLoopModes, SourceOfAnotherModeWaitsUntilItsModeRuns) {
  RunLoop& loop = RunLoop::current();
  TestPipe defaultPipe, commonPipe;
  int defaultServed = 0, commonServed = 0, modalTicks = 0;
  const RunLoop::RunHandle modalRun;
  const Handle defaultSource = loop.addFdSource(defaultPipe.read.get(),
                                                [&](short) {
                                                  ++defaultServed;
                                                  defaultPipe.drain();
                                                },
                                                {kDefault});
  const Handle commonSource = loop.addFdSource(commonPipe.read.get(),
                                               [&](short) {
                                                 ++commonServed;
                                                 commonPipe.drain();
                                               },
                                               {kCommonModes});
  const Handle modalTimer = loop.addTimer(0.01, true,
                                          [&] {
                                            if (++modalTicks == 3) modalRun.stop();
                                          },
                                          {kModal});
  bool guardFired = false;
  const Handle guard = addHangGuard(loop, guardFired);
  defaultPipe.poke();
  commonPipe.poke();

  loop.run(kModal, modalRun);
  EXPECT_FALSE(guardFired);
  EXPECT_EQ(modalTicks, 3);
  EXPECT_EQ(defaultServed, 0) << "a default-mode source was served in the modal mode";
  EXPECT_EQ(commonServed, 1);

  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(defaultServed, 1) << "the waiting event is served once its mode runs";
  EXPECT_EQ(modalTicks, 3) << "a modal timer fired in the default mode";
}

TEST(RunLoopModes, TimerOnlyInModalModeDoesNotFireInDefault) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  const Handle timer = loop.addTimer(0, false, [&] { ++fired; }, {kModal});
  for (int pass = 0; pass < 5; ++pass) loop.runOnce(kDefault, std::chrono::milliseconds(10));
  EXPECT_EQ(fired, 0);
  loop.runOnce(kModal, std::chrono::milliseconds(0));
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer.active()) << "a one-shot timer is gone once fired";
}

TEST(RunLoopModes, RepeatingTimerThatMissedBeatsFiresOnceWhenItsModeRuns) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  VirtualTime time;
  const Handle timer = loop.addTimer(0.001, true, [&] { ++fired; }, {kModal});
  time.advance(std::chrono::milliseconds(50));  // many periods pass unserved in the default mode
  EXPECT_EQ(fired, 0);
  loop.runOnce(kModal, std::chrono::milliseconds(0));
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(timer.active());
}

TEST(RunLoopVirtualTime, AdvancingFiresEachDueTimerAtItsOwnTimeInOrder) {
  RunLoop& loop = RunLoop::current();
  std::vector<std::string> fired;
  std::optional<VirtualTime> time(std::in_place);
  const auto start = time->now();
  auto at = [&](const char* name) {
    return [&, name] {
      fired.push_back(name + std::string("@") +
                      std::to_string(std::chrono::round<std::chrono::milliseconds>(time->now() - start).count()));
    };
  };
  Handle late = loop.addTimer(2.5, false, at("late"), {kDefault});
  const Handle repeating = loop.addTimer(1, true, at("every"), {kDefault});
  const Handle early = loop.addTimer(0.5, false, at("early"), {kDefault});
  const Handle modal = loop.addTimer(0.1, false, at("modal"), {kModal});
  // A timer armed by another's callback counts from that callback's time.
  Handle chained;
  const Handle arming =
      loop.addTimer(1.2, false, [&] { chained = loop.addTimer(0.3, false, at("chained"), {kDefault}); }, {kDefault});

  time->advance(std::chrono::seconds(2));
  EXPECT_THAT(fired, testing::ElementsAre("early@500", "every@1000", "chained@1500", "every@2000"));
  EXPECT_TRUE(late.active());
  EXPECT_TRUE(modal.active()) << "a timer of another mode waits for its mode";

  // Nothing else to wait for: a run lets time pass to the next timer at once.
  fired.clear();
  loop.runOnce(kModal, std::chrono::milliseconds(-1));
  EXPECT_THAT(fired, testing::ElementsAre("modal@2000"));

  // Back on the real clock, a timer keeps the time it had left (not the
  // two virtual seconds that passed).
  fired.clear();
  late.reset();
  late = loop.addTimer(0.05, false, [&] { fired.push_back("soon"); }, {kDefault});
  time.reset();
  loop.runOnce(kDefault, std::chrono::milliseconds(1000));
  EXPECT_THAT(fired, testing::ElementsAre("soon"));
}

// A handle that goes, by reset from any callback (its own included), by
// destruction or by being replaced, takes its source with it.
TEST(RunLoopHandles, SourceGoesWithItsHandle) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  Handle repeating;
  repeating = loop.addTimer(0.001, true,
                            [&] {
                              if (++fired == 4) repeating.reset();
                            },
                            {kDefault});
  ASSERT_TRUE(test::serveUntil(loop, kDefault, [&] { return !repeating.active(); }));
  EXPECT_EQ(fired, 4);

  TestPipe pipe;
  int served = 0;
  {
    const Handle scoped = loop.addFdSource(pipe.read.get(), [&](short) { ++served; }, {kDefault});
    EXPECT_TRUE(scoped.active());
  }
  Handle replaced = loop.addFdSource(pipe.read.get(), [&](short) { ++served; }, {kDefault});
  replaced = loop.addTimer(3600, false, [] {}, {kDefault});
  Handle moved = std::move(replaced);
  EXPECT_FALSE(replaced.active());
  EXPECT_TRUE(moved.active());
  pipe.poke();
  for (int pass = 0; pass < 3; ++pass) loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(served, 0) << "a source whose handle went was served";

  // Two ready in one pass, each removing the other: only one is served.
  TestPipe first, second;
  Handle a, b;
  int servedOfTwo = 0;
  a = loop.addFdSource(first.read.get(),
                       [&](short) {
                         ++servedOfTwo;
                         b.reset();
                       },
                       {kDefault});
  b = loop.addFdSource(second.read.get(),
                       [&](short) {
                         ++servedOfTwo;
                         a.reset();
                       },
                       {kDefault});
  first.poke();
  second.poke();
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(servedOfTwo, 1);
}

TEST(RunLoopHandles, SourceRemovedInItsOwnCallbackKeepsItsCapturesAlive) {
  RunLoop& loop = RunLoop::current();
  auto pipe = std::make_unique<TestPipe>();
  int served = 0;
  Handle source;
  source = loop.addFdSource(pipe->read.get(),
                            [&, keep = std::make_shared<std::string>("capture")](short) {
                              ++served;
                              source.reset();
                              pipe.reset();
                              EXPECT_EQ(*keep, "capture");
                            },
                            {kDefault});
  pipe->poke();
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(served, 1);
}

TEST(RunLoopRuns, StopByHandleEndsThatRunOnly) {
  RunLoop& loop = RunLoop::current();
  std::vector<std::string> trace;
  bool guardFired = false;
  const Handle guard = addHangGuard(loop, guardFired);
  const RunLoop::RunHandle outerRun, innerRun;
  Handle later;
  const Handle outer =
      loop.addTimer(0, false,
                    [&] {
                      trace.push_back("outer " + std::string(loop.currentMode()) + " " + std::to_string(loop.depth()));
                      loop.run(kModal, innerRun);
                      trace.push_back("back " + std::string(loop.currentMode()) + " " + std::to_string(loop.depth()));
                      later = loop.addTimer(0, false,
                                            [&] {
                                              trace.push_back("later");
                                              outerRun.stop();
                                            },
                                            {kDefault});
                    },
                    {kDefault});
  // From inside the inner run, the outer one is stopped first: the inner run
  // goes on until its own handle stops it.
  const Handle inner =
      loop.addTimer(0, false,
                    [&] {
                      trace.push_back("inner " + std::string(loop.currentMode()) + " " + std::to_string(loop.depth()));
                      outerRun.stop();
                    },
                    {kModal});
  const Handle innerTick = loop.addTimer(0.005, false,
                                         [&] {
                                           trace.push_back("inner still running");
                                           innerRun.stop();
                                         },
                                         {kModal});

  loop.run(kDefault, outerRun);
  EXPECT_FALSE(guardFired);
  EXPECT_EQ(trace,
            (std::vector<std::string>{"outer default 1", "inner modal 2", "inner still running", "back default 1"}))
      << "the outer run, stopped while the inner ran, ends once control returns to it";
  EXPECT_EQ(loop.depth(), 0);
  EXPECT_EQ(loop.currentMode(), "");

  // Stopped before it starts, a run returns at once.
  const RunLoop::RunHandle early;
  early.stop();
  const Handle wouldFire = loop.addTimer(0, false, [&] { trace.push_back("served"); }, {kDefault});
  loop.run(kDefault, early);
  EXPECT_EQ(trace.back(), "back default 1");
}

TEST(RunLoopRuns, StopAllEndsEveryRunAndAnyStartedBeforeTheOutermostReturns) {
  RunLoop& loop = RunLoop::current();
  TestPipe pending;
  int pendingServed = 0;
  bool returnedFromInner = false, lateRunReturned = false;
  bool guardFired = false;
  const Handle guard = addHangGuard(loop, guardFired);
  const Handle waiting = loop.addFdSource(pending.read.get(), [&](short) { ++pendingServed; }, {kDefault});
  Handle stopper, keepAlive;
  const Handle outer = loop.addTimer(0, false,
                                     [&] {
                                       loop.run(kModal);
                                       returnedFromInner = true;
                                       pending.poke();  // ready, but the outer run must not serve it any more
                                       // A shutdown under way: a run started now ends at once.
                                       keepAlive = loop.addTimer(3600, false, [] {}, {kModal});
                                       loop.run(kModal);
                                       lateRunReturned = true;
                                     },
                                     {kDefault});
  const Handle inner = loop.addTimer(0, false,
                                     [&] {
                                       stopper = loop.addTimer(0, false, [&] { loop.stopAll(); }, {kModal});
                                       loop.run(kModal);  // a third level
                                     },
                                     {kModal});

  loop.run(kDefault);
  EXPECT_FALSE(guardFired);
  EXPECT_TRUE(returnedFromInner);
  EXPECT_TRUE(lateRunReturned);
  EXPECT_EQ(pendingServed, 0);
  EXPECT_EQ(loop.depth(), 0);

  // Once the outermost run has returned, runs work again.
  const RunLoop::RunHandle again;
  const Handle stop = loop.addTimer(0, false, [&] { again.stop(); }, {kDefault});
  loop.run(kDefault, again);
  EXPECT_EQ(pendingServed, 1);
}

TEST(RunLoopRuns, RepeatingTimerDoesNotFireAgainInsideItsOwnCallback) {
  RunLoop& loop = RunLoop::current();
  int fired = 0, firedWhileNested = -1;
  Handle timer;
  timer = loop.addTimer(0.001, true,
                        [&] {
                          ++fired;
                          for (int pass = 0; pass < 5; ++pass) loop.runOnce(kDefault, std::chrono::milliseconds(5));
                          firedWhileNested = fired;
                          timer.reset();
                        },
                        {kDefault});
  ASSERT_TRUE(test::serveUntil(loop, kDefault, [&] { return !timer.active(); }));
  EXPECT_EQ(firedWhileNested, 1);
}

TEST(RunLoopRuns, RunWithNothingScheduledReturnsAtOnce) {
  RunLoop& loop = RunLoop::current();
  loop.run("a mode nobody uses");
  EXPECT_EQ(loop.depth(), 0);
}

TEST(RunLoopRuns, PersistentPollFailureIsLoggedOnceAndEndsTheRun) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtime opens files of its own (UBSan's type checks read
  // the process's maps), which the tight descriptor limit below refuses.
  GTEST_SKIP() << "needs a descriptor limit the sanitizer runtime cannot work under";
#endif
  RunLoop& loop = RunLoop::current();
  TestPipe a, b, c;
  const Handle sa = loop.addFdSource(a.read.get(), [](short) {}, {kDefault});
  const Handle sb = loop.addFdSource(b.read.get(), [](short) {}, {kDefault});
  const Handle sc = loop.addFdSource(c.read.get(), [](short) {}, {kDefault});
  // poll(2) refuses more descriptors than the open-file limit allows, on
  // every pass alike.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 2;
  test::CaptureStderr captured;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  loop.run(kDefault);
  loop.run(kDefault);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  const std::string log = captured.text();
  std::size_t lines = 0;
  for (auto at = log.find("Run loop: poll failed"); at != std::string::npos;
       at = log.find("Run loop: poll failed", at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << log;
  EXPECT_EQ(loop.depth(), 0);
}

WakeUp* gWakeUp = nullptr;
void wakeFromHandler(int) {
  gWakeUp->signal();
}

// Installs wakeFromHandler for SIGUSR1 for the scope.
class ScopedHandler {
public:
  ScopedHandler() {
    struct sigaction action {};
    action.sa_handler = wakeFromHandler;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, &old_);
  }
  ~ScopedHandler() { ::sigaction(SIGUSR1, &old_, nullptr); }

private:
  struct sigaction old_ {};
};

TEST(RunLoopWakeUp, SignalHandlerWakesTheLoopInAnyMode) {
  RunLoop& loop = RunLoop::current();
  int calls = 0;
  std::optional<RunLoop::RunHandle> running;
  WakeUp wakeUp([&] {
    ++calls;
    running->stop();
  });
  gWakeUp = &wakeUp;
  ScopedHandler handler;
  bool guardFired = false;
  const Handle guard = addHangGuard(loop, guardFired);

  // Several signals before the loop looks make one call.
  ::kill(::getpid(), SIGUSR1);
  ::kill(::getpid(), SIGUSR1);
  running.emplace();
  loop.run(kModal, *running);
  EXPECT_EQ(calls, 1);

  // A signal from another thread while the loop sleeps in poll.
  std::thread sender([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(::getpid(), SIGUSR1);
  });
  running.emplace();
  loop.run(kDefault, *running);
  sender.join();
  EXPECT_FALSE(guardFired);
  EXPECT_EQ(calls, 2);
  gWakeUp = nullptr;
}

TEST(RunLoopWakeUp, SignalDuringItsOwnCallbackIsServedByANestedRun) {
  // The agent relies on this: a second scan request while a scan waits in a
  // nested run reaches the callback, which turns it away.
  RunLoop& loop = RunLoop::current();
  int calls = 0, callsWhileNested = -1;
  WakeUp* self = nullptr;
  WakeUp wakeUp([&] {
    if (++calls > 1) return;
    self->signal();
    loop.runOnce(kDefault, std::chrono::milliseconds(0));
    callsWhileNested = calls;
  });
  self = &wakeUp;
  wakeUp.signal();
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(callsWhileNested, 2);
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(calls, 2) << "the nested call consumed the signal";
}

TEST(RunLoopWakeUp, SignalPreservesErrno) {
  WakeUp wakeUp([] {});
  errno = EDOM;
  wakeUp.signal();
  EXPECT_EQ(errno, EDOM);
}

}  // namespace
}  // namespace cw
