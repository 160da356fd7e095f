#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "Platform/RunLoop.h"
#include "loop/LoopTestSupport.h"

namespace cw {
namespace {

using test::ScopedSource;
using test::TestPipe;

constexpr std::string_view kDefault = kDefaultRunLoopMode;
constexpr std::string_view kModal = kModalPanelRunLoopMode;

// A stop in `mode` after the hang guard, so that a broken loop fails the test
// instead of hanging it.
RunLoop::SourceId addHangGuard(RunLoop& loop, bool& fired) {
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
  ScopedSource defaultSource(loop, loop.addFdSource(defaultPipe.read.get(),
                                                    [&](short) {
                                                      ++defaultServed;
                                                      defaultPipe.drain();
                                                    },
                                                    {kDefault}));
  ScopedSource commonSource(loop, loop.addFdSource(commonPipe.read.get(),
                                                   [&](short) {
                                                     ++commonServed;
                                                     commonPipe.drain();
                                                   },
                                                   {kCommonModes}));
  ScopedSource modalTimer(loop, loop.addTimer(0.01, true,
                                              [&] {
                                                if (++modalTicks == 3) loop.stop();
                                              },
                                              {kModal}));
  bool guardFired = false;
  ScopedSource guard(loop, addHangGuard(loop, guardFired));
  defaultPipe.poke();
  commonPipe.poke();

  loop.run(kModal);
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
  ScopedSource timer(loop, loop.addTimer(0, false, [&] { ++fired; }, {kModal}));
  for (int pass = 0; pass < 5; ++pass) loop.runOnce(kDefault, std::chrono::milliseconds(10));
  EXPECT_EQ(fired, 0);
  loop.runOnce(kModal, std::chrono::milliseconds(0));
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(loop.contains(timer.id)) << "a one-shot timer is gone once fired";
}

TEST(RunLoopModes, RepeatingTimerThatMissedBeatsFiresOnceWhenItsModeRuns) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  ScopedSource timer(loop, loop.addTimer(0.001, true, [&] { ++fired; }, {kModal}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // many periods pass unserved
  loop.runOnce(kModal, std::chrono::milliseconds(0));
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(loop.contains(timer.id));
}

TEST(RunLoopModes, RepeatingTimerKeepsFiringUntilRemoved) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  RunLoop::SourceId id = 0;
  id = loop.addTimer(0.001, true,
                     [&] {
                       if (++fired == 4) loop.remove(id);
                     },
                     {kDefault});
  ScopedSource timer(loop, id);
  ASSERT_TRUE(test::serveUntil(loop, kDefault, [&] { return !loop.contains(id); }));
  EXPECT_EQ(fired, 4);
}

TEST(RunLoopRuns, NestedRunsStopInnermostFirst) {
  RunLoop& loop = RunLoop::current();
  std::vector<std::string> trace;
  bool guardFired = false;
  ScopedSource guard(loop, addHangGuard(loop, guardFired));
  ScopedSource outer(
      loop,
      loop.addTimer(0, false,
                    [&] {
                      trace.push_back("outer " + std::string(loop.currentMode()) + " " + std::to_string(loop.depth()));
                      loop.run(kModal);
                      trace.push_back("back " + std::string(loop.currentMode()) + " " + std::to_string(loop.depth()));
                      // The outer run goes on after the inner one ended.
                      loop.addTimer(0, false,
                                    [&] {
                                      trace.push_back("later");
                                      loop.stop();
                                    },
                                    {kDefault});
                    },
                    {kDefault}));
  ScopedSource inner(loop, loop.addTimer(0, false,
                                         [&] {
                                           trace.push_back("inner " + std::string(loop.currentMode()) + " " +
                                                           std::to_string(loop.depth()));
                                           loop.stop();
                                         },
                                         {kModal}));

  loop.run(kDefault);
  EXPECT_FALSE(guardFired);
  EXPECT_EQ(trace, (std::vector<std::string>{"outer default 1", "inner modal 2", "back default 1", "later"}));
  EXPECT_EQ(loop.depth(), 0);
  EXPECT_EQ(loop.currentMode(), "");
}

TEST(RunLoopRuns, StopAllEndsEveryRunAsControlReturns) {
  RunLoop& loop = RunLoop::current();
  TestPipe pending;
  int pendingServed = 0;
  bool returnedFromInner = false;
  bool guardFired = false;
  ScopedSource guard(loop, addHangGuard(loop, guardFired));
  ScopedSource waiting(loop, loop.addFdSource(pending.read.get(), [&](short) { ++pendingServed; }, {kDefault}));
  ScopedSource outer(loop, loop.addTimer(0, false,
                                         [&] {
                                           loop.run(kModal);
                                           returnedFromInner = true;
                                           pending.poke();  // ready, but the outer run must not serve it any more
                                         },
                                         {kDefault}));
  ScopedSource inner(loop, loop.addTimer(0, false,
                                         [&] {
                                           loop.addTimer(0, false, [&] { loop.stopAll(); }, {kModal});
                                           loop.run(kModal);  // a third level
                                         },
                                         {kModal}));

  loop.run(kDefault);
  EXPECT_FALSE(guardFired);
  EXPECT_TRUE(returnedFromInner);
  EXPECT_EQ(pendingServed, 0);
  EXPECT_EQ(loop.depth(), 0);
}

TEST(RunLoopRuns, RepeatingTimerDoesNotFireAgainInsideItsOwnCallback) {
  RunLoop& loop = RunLoop::current();
  int fired = 0, firedWhileNested = -1;
  RunLoop::SourceId id = 0;
  id = loop.addTimer(0.001, true,
                     [&] {
                       ++fired;
                       for (int pass = 0; pass < 5; ++pass) loop.runOnce(kDefault, std::chrono::milliseconds(5));
                       firedWhileNested = fired;
                       loop.remove(id);
                     },
                     {kDefault});
  ScopedSource timer(loop, id);
  ASSERT_TRUE(test::serveUntil(loop, kDefault, [&] { return !loop.contains(id); }));
  EXPECT_EQ(firedWhileNested, 1);
}

TEST(RunLoopRuns, RunWithNothingScheduledReturnsAtOnce) {
  RunLoop& loop = RunLoop::current();
  loop.run("a mode nobody uses");
  EXPECT_EQ(loop.depth(), 0);
}

TEST(RunLoopRemoval, SourceRemovesItselfAndClosesItsDescriptor) {
  RunLoop& loop = RunLoop::current();
  auto pipe = std::make_unique<TestPipe>();
  int served = 0;
  RunLoop::SourceId id = 0;
  id = loop.addFdSource(pipe->read.get(),
                        [&](short) {
                          ++served;
                          loop.remove(id);
                          pipe.reset();  // the callback's own captures must survive this
                        },
                        {kDefault});
  ScopedSource source(loop, id);
  pipe->poke();
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(served, 1);
  EXPECT_FALSE(loop.contains(id));
}

TEST(RunLoopRemoval, SourceRemovedByAnotherCallbackOfTheSamePassIsNotServed) {
  RunLoop& loop = RunLoop::current();
  TestPipe first, second;
  int served = 0;
  RunLoop::SourceId a = 0, b = 0;
  a = loop.addFdSource(first.read.get(),
                       [&](short) {
                         ++served;
                         loop.remove(b);
                       },
                       {kDefault});
  b = loop.addFdSource(second.read.get(),
                       [&](short) {
                         ++served;
                         loop.remove(a);
                       },
                       {kDefault});
  ScopedSource sa(loop, a), sb(loop, b);
  first.poke();
  second.poke();
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(served, 1);
  EXPECT_NE(loop.contains(a), loop.contains(b));
}

TEST(RunLoopRemoval, DueTimerRemovedByAnotherTimerDoesNotFire) {
  RunLoop& loop = RunLoop::current();
  int fired = 0;
  RunLoop::SourceId a = 0, b = 0;
  a = loop.addTimer(0, false,
                    [&] {
                      ++fired;
                      loop.remove(b);
                    },
                    {kDefault});
  b = loop.addTimer(0, false,
                    [&] {
                      ++fired;
                      loop.remove(a);
                    },
                    {kDefault});
  ScopedSource sa(loop, a), sb(loop, b);
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  loop.runOnce(kDefault, std::chrono::milliseconds(0));
  EXPECT_EQ(fired, 1);
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
  WakeUp wakeUp([&] {
    ++calls;
    loop.stop();
  });
  gWakeUp = &wakeUp;
  ScopedHandler handler;
  bool guardFired = false;
  ScopedSource guard(loop, addHangGuard(loop, guardFired));

  // Several signals before the loop looks make one call.
  ::kill(::getpid(), SIGUSR1);
  ::kill(::getpid(), SIGUSR1);
  loop.run(kModal);
  EXPECT_EQ(calls, 1);

  // A signal from another thread while the loop sleeps in poll.
  std::thread sender([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(::getpid(), SIGUSR1);
  });
  loop.run(kDefault);
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
