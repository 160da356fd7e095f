#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "Platform/Format.h"
#include "Platform/RunLoop.h"
#include "Platform/VirtualTime.h"
#include "Reporter.h"
#include "UI/Application.h"
#include "UI/TextField.h"
#include "UI/Window.h"
#include "UiTestSupport.h"
#include "support/FakeReporterParts.h"

namespace cw {
namespace {

using Control = ui::MemoryBackend::Control;

class ReporterDialogTest : public ::testing::Test {
protected:
  test::TempHome home;
  test::ScopedLanguage language{"en_US.UTF-8"};
  test::ScopedMemoryBackend backend;
  std::optional<test::StagedBundle> bundle;
  std::shared_ptr<ConsentDialog> dialog;
  std::shared_ptr<Reporter> reporter;
  // The countdown ticks as this is advanced, or at once when nothing but it
  // is left to wait for.
  VirtualTime time;

  // A Reporter whose dialog comes from `staged`; nothing else of it may act.
  std::shared_ptr<Reporter> makeReporter(const test::StagedBundle& staged) {
    ReporterParts parts;
    parts.bundle = &staged.bundle();
    parts.dialog = dialog = ConsentDialog::make(staged.bundle());
    parts.scripts = std::make_shared<test::NoHelperScripts>();
    parts.desktop = std::make_shared<test::RecordingDesktop>();
    return Reporter::alloc(std::move(parts))->init();
  }

  // A bundle whose Info.plist has this ConfirmTimeout (none when absent), and
  // a configured Reporter.
  void stage(std::optional<PlistValue> timeout) {
    PlistDictionary info;
    if (timeout) info.emplace("ConfirmTimeout", *timeout);
    reporter.reset();
    dialog.reset();
    bundle.reset();
    bundle.emplace(std::move(info));
    reporter = makeReporter(*bundle);
    ASSERT_TRUE(reporter);
    ASSERT_TRUE(reporter->readConfigurationData());
  }

  static std::string text(std::string_view key, int n, std::string_view localization = "en") {
    return *format(test::shippedString(localization, key), n);
  }

  // The text fields of the newest window showing exactly `shown`.
  const Control* field(std::string_view shown) const {
    const Control* found = nullptr;
    ui::ControlId newest = 0;
    for (const Control* window : backend->controls(ui::ControlKind::Window)) newest = std::max(newest, window->id);
    for (const Control* c : backend->controls(ui::ControlKind::TextField))
      if (c->text == shown && backend->windowContaining(c->id) == newest) {
        EXPECT_EQ(found, nullptr) << "two fields show \"" << shown << "\"";
        found = c;
      }
    EXPECT_NE(found, nullptr) << "no field shows \"" << shown << "\"";
    return found;
  }

  static bool isRed(const Control* c) { return c && c->textColor == ui::Color::redColor(); }

  void expectNoTimerLeft() {
    const double left = reporter->remainingDialogTime();
    time.advance(std::chrono::seconds(5), kModalPanelRunLoopMode);
    EXPECT_EQ(reporter->remainingDialogTime(), left);
  }
};

TEST_F(ReporterDialogTest, WithoutATimeoutTheDialogWaitsForSend) {
  stage(std::nullopt);
  backend->pressButtonAfterTicks("Send Report", 5);
  EXPECT_TRUE(reporter->askUserPermissionToSend());

  EXPECT_TRUE(backend->scriptFailures().empty());
  EXPECT_EQ(backend->showCount(), 1);
  EXPECT_EQ(backend->activateCount(), 1);
  EXPECT_TRUE(backend->visibleWindows().empty());
  EXPECT_FALSE(backend->hasEventHandler());
  EXPECT_EQ(reporter->countdownMessage(), std::nullopt);
  EXPECT_EQ(reporter->remainingDialogTime(), 0);
  // The label is empty and keeps the layout's colour.
  const Control* label = field("");
  ASSERT_TRUE(label);
  EXPECT_FALSE(label->textColor);
}

TEST_F(ReporterDialogTest, OnlySendConsents) {
  struct Case {
    const char* name;
    std::function<void(ui::MemoryBackend&)> script;
    bool answer;
  };
  const std::vector<Case> cases = {
      {"cancel button", [](ui::MemoryBackend& b) { b.pressButtonAfterTicks("Don't Send"); }, false},
      {"Escape", [](ui::MemoryBackend& b) { b.pressKeyAfterTicks("\x1b"); }, false},
      {"Return", [](ui::MemoryBackend& b) { b.pressKeyAfterTicks("\r"); }, true},
      {"window closed", [](ui::MemoryBackend& b) { b.closeFrontWindowAfterTicks(1); }, false},
      {"backend lost", [](ui::MemoryBackend& b) { b.loseAfterTicks(1); }, false},
      {"interrupt", [](ui::MemoryBackend& b) { b.runAfterTicks(1, [] { RunLoop::current().stopAll(); }); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScopedMemoryBackend fresh;
    stage(PlistValue(60.0));  // a live countdown that must be stopped
    c.script(*fresh);
    EXPECT_EQ(reporter->askUserPermissionToSend(), c.answer);
    EXPECT_TRUE(fresh->scriptFailures().empty());
    EXPECT_TRUE(fresh->visibleWindows().empty());
    EXPECT_EQ(ui::Application::sharedApplication().modalWindow(), nullptr);
    EXPECT_EQ(RunLoop::current().depth(), 0);
    expectNoTimerLeft();
  }
}

TEST_F(ReporterDialogTest, ABackendAlreadyLostShowsNothingAndRefuses) {
  stage(std::nullopt);
  backend->lose();
  EXPECT_FALSE(reporter->askUserPermissionToSend());
  EXPECT_EQ(backend->showCount(), 0);
}

TEST_F(ReporterDialogTest, CountsDown120SecondsTickByTick) {
  stage(PlistValue(120.0));
  struct Tick {
    std::string message;
    std::string label;
    bool red;
  };
  std::vector<Tick> ticks;  // ticks[i] is tick i + 1
  backend->runAfterTicks(0, [&] {
    const std::optional<std::string> first = reporter->countdownMessage();
    ASSERT_TRUE(first);
    const Control* label = field(*first);
    ASSERT_TRUE(label);
    const ui::ControlId id = label->id;
    auto record = [&] {
      const Control* now = backend->control(id);
      ticks.push_back(Tick{reporter->countdownMessage().value_or("(absent)"), now->text, isRed(now)});
    };
    record();
    while (ticks.size() < 120) {
      time.advance(std::chrono::seconds(1));
      record();
    }
  });
  EXPECT_FALSE(reporter->askUserPermissionToSend());

  ASSERT_EQ(ticks.size(), 120u);
  EXPECT_EQ(backend->pendingSteps(), 0u);
  EXPECT_TRUE(backend->visibleWindows().empty());
  for (const Tick& tick : ticks) EXPECT_EQ(tick.label, tick.message);  // the binding shows every text
  auto expectTick = [&](std::size_t n, std::string_view key, int count, bool red) {
    SCOPED_TRACE(testing::Message() << "tick " << n);
    EXPECT_EQ(ticks[n - 1].message, text(key, count));
    EXPECT_EQ(ticks[n - 1].red, red);
  };
  expectTick(1, "countdownMsgMinuteSingular", 1, false);
  expectTick(60, "countdownMsgMinuteSingular", 1, false);
  expectTick(61, "countdownMsgSecondsPlural", 59, false);
  expectTick(89, "countdownMsgSecondsPlural", 31, false);
  expectTick(90, "countdownMsgSecondsPlural", 30, true);
  expectTick(118, "countdownMsgSecondsPlural", 2, true);
  expectTick(119, "countdownMsgSecondSingular", 1, true);
  expectTick(120, "countdownMsgSecondsPlural", 0, true);
  EXPECT_EQ(reporter->remainingDialogTime(), 0);
  expectNoTimerLeft();
}

TEST_F(ReporterDialogTest, TheFirstTextDependsOnTheTimeout) {
  struct Case {
    PlistValue timeout;
    std::string_view key;
    int count;
    bool red;
  };
  const std::vector<Case> cases = {
      {PlistValue(121.0), "countdownMsgMinutesPlural", 2, false},
      {PlistValue(60.0), "countdownMsgSecondsPlural", 59, false},
      {PlistValue(30.0), "countdownMsgSecondsPlural", 29, true},
      {PlistValue(60.5), "countdownMsgMinutesPlural", 0, false},
      {PlistValue(90), "countdownMsgMinuteSingular", 1, false},
      {PlistValue("45 seconds"), "countdownMsgSecondsPlural", 44, false},
      {PlistValue("  2.5e1"), "countdownMsgSecondsPlural", 24, true},
      {PlistValue(2.0), "countdownMsgSecondSingular", 1, true},
      {PlistValue(1e30), "countdownMsgMinutesPlural", std::numeric_limits<std::int32_t>::max(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timeout.description());
    stage(c.timeout);
    std::optional<std::string> first;
    bool red = false;
    backend->runAfterTicks(0, [&] {
      first = reporter->countdownMessage();
      if (first) red = isRed(field(*first));
    });
    backend->pressButtonAfterTicks("Don't Send");
    EXPECT_FALSE(reporter->askUserPermissionToSend());
    EXPECT_EQ(first, text(c.key, c.count));
    EXPECT_EQ(red, c.red);
  }
}

TEST_F(ReporterDialogTest, NoCountdownForTimeoutsUpToAThousandth) {
  for (const std::optional<PlistValue>& timeout :
       {std::optional<PlistValue>(), std::optional(PlistValue(0.001)), std::optional(PlistValue(0.0)),
        std::optional(PlistValue(-5)), std::optional(PlistValue("soon")), std::optional(PlistValue(""))}) {
    SCOPED_TRACE(timeout ? timeout->description() : "absent");
    stage(timeout);
    backend->pressButtonAfterTicks("Send Report", 2);
    EXPECT_TRUE(reporter->askUserPermissionToSend());
    EXPECT_EQ(reporter->countdownMessage(), std::nullopt);
    EXPECT_EQ(reporter->remainingDialogTime(), 0);
  }
}

TEST_F(ReporterDialogTest, ATimeoutOfASecondOrLessEndsBeforeTheDialogShows) {
  stage(PlistValue(0.5));
  EXPECT_FALSE(reporter->askUserPermissionToSend());
  EXPECT_EQ(backend->showCount(), 0);
  EXPECT_EQ(reporter->countdownMessage(), text("countdownMsgSecondsPlural", 0));
  // The stop was for that dialog only.
  stage(std::nullopt);
  backend->pressButtonAfterTicks("Send Report");
  EXPECT_TRUE(reporter->askUserPermissionToSend());
  EXPECT_EQ(backend->showCount(), 1);
}

TEST_F(ReporterDialogTest, SendDuringACountdownThenASecondDialogStartsAfresh) {
  stage(PlistValue(60.0));
  ui::ControlId firstLabel = 0;
  backend->runAfterTicks(0, [&] {
    time.advance(std::chrono::seconds(30));
    const Control* label = field(text("countdownMsgSecondsPlural", 29));
    ASSERT_TRUE(label);
    EXPECT_TRUE(isRed(label));
    firstLabel = label->id;
  });
  backend->pressButtonAfterTicks("Send Report");
  std::optional<std::string> secondFirst;
  const Control* secondLabel = nullptr;
  std::size_t visible = 0;
  backend->runAfterTicks(0, [&] {
    secondFirst = reporter->countdownMessage();
    secondLabel = field(secondFirst.value_or(""));
    ASSERT_TRUE(secondLabel);
    EXPECT_NE(secondLabel->id, firstLabel);
    EXPECT_FALSE(secondLabel->textColor);
    visible = backend->visibleWindows().size();
  });
  backend->pressButtonAfterTicks("Don't Send");

  EXPECT_TRUE(reporter->askUserPermissionToSend());
  EXPECT_EQ(reporter->remainingDialogTime(), 29);
  EXPECT_FALSE(reporter->askUserPermissionToSend());
  EXPECT_EQ(secondFirst, text("countdownMsgSecondsPlural", 59));
  EXPECT_EQ(visible, 1u);
  EXPECT_TRUE(backend->scriptFailures().empty());
  // The first dialog's controls went with the second load.
  EXPECT_EQ(backend->control(firstLabel), nullptr);
}

TEST_F(ReporterDialogTest, TheCountdownTimerRunsTheDialogToItsEnd) {
  stage(PlistValue(3.0));
  EXPECT_FALSE(reporter->askUserPermissionToSend());
  EXPECT_EQ(reporter->countdownMessage(), text("countdownMsgSecondsPlural", 0));
  EXPECT_EQ(reporter->remainingDialogTime(), 0);
  EXPECT_TRUE(isRed(field(text("countdownMsgSecondsPlural", 0))));
  EXPECT_EQ(backend->showCount(), 1);
  expectNoTimerLeft();
}

TEST_F(ReporterDialogTest, TheCountdownTicksOnlyInTheModalMode) {
  stage(PlistValue(60.0));
  double before = -1;
  double after = -2;
  backend->runAfterTicks(0, [&] {
    before = reporter->remainingDialogTime();
    time.advance(std::chrono::seconds(5), kDefaultRunLoopMode);
    after = reporter->remainingDialogTime();
  });
  backend->pressButtonAfterTicks("Don't Send");
  EXPECT_FALSE(reporter->askUserPermissionToSend());
  EXPECT_EQ(after, before);
}

TEST_F(ReporterDialogTest, AMissingOrBrokenLayoutRefusesAndShowsNothing) {
  for (const char* layout : {static_cast<const char*>(nullptr), "<layout version=\"1\"><window>"}) {
    SCOPED_TRACE(layout ? layout : "missing");
    test::ScopedMemoryBackend fresh;
    stage(PlistValue(60.0));
    if (layout)
      bundle->writeResource("CrashWatcher.layout", layout);
    else
      bundle->removeResource("CrashWatcher.layout");
    EXPECT_FALSE(reporter->askUserPermissionToSend());
    EXPECT_EQ(fresh->showCount(), 0);
    EXPECT_EQ(fresh->activateCount(), 0);
    EXPECT_EQ(fresh->liveControlCount(), 0u);
    EXPECT_EQ(reporter->countdownMessage(), std::nullopt);
  }
}

TEST_F(ReporterDialogTest, EveryLocalizationFitsTheLayout) {
  for (const char* localization : {"en", "de"}) {
    SCOPED_TRACE(localization);
    test::ScopedLanguage chosen(localization);
    stage(std::nullopt);
    backend->runAfterTicks(0, [&] {
      for (const char* key : {"crashDialogHeader", "crashDialogMsg", "crashDialogNote"}) {
        const Control* f = field(test::shippedString(localization, key));
        ASSERT_TRUE(f) << key;
        const ui::Size needed = backend->cellSizeForBounds(
            f->id, ui::makeRect(f->frame.origin.x, f->frame.origin.y, f->frame.size.width, 3.4028234663852886e+38));
        EXPECT_LE(needed.height, f->frame.size.height) << key;
      }
      const Control* label = field("");
      ASSERT_TRUE(label);
      for (const char* key : {"countdownMsgMinuteSingular", "countdownMsgMinutesPlural", "countdownMsgSecondSingular",
                              "countdownMsgSecondsPlural"})
        EXPECT_LE(
            ui::MemoryBackend::textSize(text(key, 59, localization)).width + 2 * ui::MemoryBackend::kTextFieldInset,
            label->frame.size.width)
            << key;
      // Fitted buttons: Send keeps its right edge, Cancel its gap, both inside.
      const Control* send = backend->visibleButtonWithTitle(test::shippedString(localization, "sendReportButton"));
      const Control* cancel = backend->visibleButtonWithTitle(test::shippedString(localization, "cancelButton"));
      ASSERT_TRUE(send && cancel);
      EXPECT_DOUBLE_EQ(send->frame.origin.x + send->frame.size.width, 486);
      EXPECT_DOUBLE_EQ(send->frame.origin.x - (cancel->frame.origin.x + cancel->frame.size.width), 12);
      EXPECT_GE(cancel->frame.origin.x, label->frame.origin.x);
      // Details, in both its titles, keeps clear of Cancel.
      const Control* details = backend->visibleButtonWithTitle(test::shippedString(localization, "detailsButton"));
      ASSERT_TRUE(details);
      const double hideWidth =
          ui::MemoryBackend::textSize(test::shippedString(localization, "hideDetailsButton")).width + 2 * 12 + 12;
      EXPECT_LT(details->frame.origin.x + std::max(details->frame.size.width, hideWidth), cancel->frame.origin.x);
    });
    backend->pressButtonAfterTicks(test::shippedString(localization, "cancelButton"));
    EXPECT_FALSE(reporter->askUserPermissionToSend());
    EXPECT_TRUE(backend->scriptFailures().empty());
  }
}

TEST_F(ReporterDialogTest, ANoteWithItsRepeatsGrowsTheDialogAndOverlapsNothing) {
  for (const char* localization : {"en", "de"}) {
    SCOPED_TRACE(localization);
    test::ScopedLanguage chosen(localization);
    stage(std::nullopt);
    CrashOccurrences occurrences;
    occurrences.lastAnswered = std::chrono::system_clock::now();
    occurrences.sinceAnswer.count = 2147483647;  // the longest count the sentence shows
    dialog->setOccurrences(occurrences);
    backend->runAfterTicks(0, [&] {
      const Control* message = field(test::shippedString(localization, "crashDialogMsg"));
      const Control* title = field(test::shippedString(localization, "crashDialogHeader"));
      const Control* label = field("");
      const Control* note = nullptr;
      for (const Control* f : backend->controls(ui::ControlKind::TextField))
        if (f->text.starts_with(test::shippedString(localization, "crashDialogNote")) && f->text.size() > 300) note = f;
      ASSERT_TRUE(message && title && label && note);
      const ui::Size needed = backend->cellSizeForBounds(
          note->id,
          ui::makeRect(note->frame.origin.x, note->frame.origin.y, note->frame.size.width, 3.4028234663852886e+38));
      EXPECT_LE(needed.height, note->frame.size.height);
      // Bottom up: countdown label, note, message, title, each clear of the next.
      EXPECT_LE(label->frame.origin.y + label->frame.size.height, note->frame.origin.y);
      EXPECT_LE(note->frame.origin.y + note->frame.size.height, message->frame.origin.y);
      EXPECT_LE(message->frame.origin.y + message->frame.size.height, title->frame.origin.y);
      const Control* window = backend->controls(ui::ControlKind::Window).back();
      EXPECT_LE(title->frame.origin.y + title->frame.size.height, window->frame.size.height);
    });
    backend->pressButtonAfterTicks(test::shippedString(localization, "cancelButton"));
    EXPECT_FALSE(reporter->askUserPermissionToSend());
  }
}

TEST_F(ReporterDialogTest, TheButtonsFitTheirLocalizedTitles) {
  test::ScopedLanguage german("de_DE.UTF-8");
  stage(std::nullopt);
  backend->runAfterTicks(0, [&] {
    const Control* send = backend->visibleButtonWithTitle("Bericht senden");
    const Control* cancel = backend->visibleButtonWithTitle("Nicht senden");
    ASSERT_TRUE(send && cancel);
    // 14 and 12 characters at 7 points, 12 points of inset each side, 12 more.
    EXPECT_EQ(send->frame, ui::makeRect(486 - 134, 12, 134, 32));
    EXPECT_EQ(cancel->frame, ui::makeRect(486 - 134 - 12 - 120, 12, 120, 32));
  });
  backend->pressKeyAfterTicks("\r");
  EXPECT_TRUE(reporter->askUserPermissionToSend());
}

// Details made by hand: the maker serves the dialog's loop until the test
// says they are done, or the dialog stops it.
struct FakeDetailsMaker {
  int calls = 0;
  bool stopped = false;
  std::optional<ReportDetails> result;
  std::shared_ptr<RunLoop::RunHandle> stop;
  DetailsMaker maker(ui::MemoryBackend& backend) {
    return [this, &backend](const std::shared_ptr<RunLoop::RunHandle>& handle) {
      ++calls;
      stop = handle;
      backend.resumeScript();
      RunLoop::current().run(kModalPanelRunLoopMode, *handle);
      stopped = !result;
      return result.value_or(ReportDetails{});
    };
  }
  void finish(ReportDetails made) {
    result = std::move(made);
    stop->stop();
  }
};

TEST_F(ReporterDialogTest, TheDetailsOpenBetweenTheTextsAndTheButtonsStopTheCountdownAndCloseAgain) {
  stage(PlistValue(60.0));  // a live countdown, which opening the details stops
  FakeDetailsMaker fake;
  dialog->setDetailsMaker(fake.maker(*backend));
  ReportDetails made;
  made.recipient = "crashes@vellumdrift.example";
  made.subject = "Vellumdrift 1.2 crash EXC_BAD_ACCESS";
  made.pasteServiceHostName = "paste.vellumdrift.example";
  made.uploadText = "Process: Finder\n\tThread 0\n";
  const auto frameOf = [&](std::string_view title) { return backend->visibleButtonWithTitle(title)->frame; };
  const auto area = [&] { return backend->controls(ui::ControlKind::TextView).front(); };
  ui::Rect closedWindow, closedHeading, closedSend, closedCancel, closedDetails;
  double leftWhenOpened = 0;
  backend->runAfterTicks(2, [&] {
    closedWindow = backend->visibleWindows().front()->frame;
    closedHeading = field(test::shippedString("en", "crashDialogHeader"))->frame;
    closedSend = frameOf("Send Report");
    closedCancel = frameOf("Don't Send");
    closedDetails = frameOf("Details…");
    EXPECT_EQ(closedDetails.origin.x, 20) << "Details keeps its left edge when fitted";
    EXPECT_LT(closedDetails.origin.x + closedDetails.size.width, closedCancel.origin.x);
    EXPECT_TRUE(area()->hidden);
    // The details are made inside the press, the dialog's loop served: the
    // steps below run meanwhile.
    EXPECT_TRUE(backend->pressButtonWithTitle("Details…"));
  });
  backend->runAfterTicks(0, [&] {
    leftWhenOpened = reporter->remainingDialogTime();
    // Open: the window grows to hold the area, which says it is being made.
    const ui::Rect open = backend->visibleWindows().front()->frame;
    EXPECT_EQ(open.size, (ui::Size{760, 330 + 342}));
    EXPECT_LE(open.size.height, 768 - 48) << "room for a title bar on a 1024x768 screen";
    EXPECT_FALSE(area()->hidden);
    EXPECT_EQ(area()->frame, ui::makeRect(20, 56, 720, 330));
    EXPECT_EQ(area()->text, test::shippedString("en", "detailsBeingMade"));
    const ui::Rect heading = field(test::shippedString("en", "crashDialogHeader"))->frame;
    EXPECT_EQ(heading.origin.y, closedHeading.origin.y + 342);
    EXPECT_EQ(frameOf("Send Report").origin.x, closedSend.origin.x + 260);
    EXPECT_EQ(frameOf("Don't Send").origin.x, closedCancel.origin.x + 260);
    EXPECT_EQ(frameOf("Hide Details").origin.x, 20);
    // The countdown is over for good: a waiting text, not red.
    const Control* label = field(test::shippedString("en", "countdownStoppedMsg"));
    ASSERT_TRUE(label);
    EXPECT_FALSE(isRed(label));
    EXPECT_GE(label->frame.origin.y, area()->frame.origin.y + area()->frame.size.height);
    time.advance(std::chrono::seconds(5), kModalPanelRunLoopMode);
    EXPECT_EQ(reporter->remainingDialogTime(), leftWhenOpened) << "no tick after the details opened";
    fake.finish(made);
  });
  backend->runAfterTicks(1, [&] {
    EXPECT_EQ(area()->text,
              "Mail to: crashes@vellumdrift.example\nSubject: Vellumdrift 1.2 crash EXC_BAD_ACCESS\n\n"
              "Uploaded to paste.vellumdrift.example, exactly these 26 bytes:\n\n"
              "Process: Finder\n\tThread 0\n");
    ASSERT_TRUE(backend->pressButtonWithTitle("Hide Details"));
    // Closed: everything back where it was, to the point.
    EXPECT_EQ(backend->visibleWindows().front()->frame, closedWindow);
    EXPECT_EQ(field(test::shippedString("en", "crashDialogHeader"))->frame, closedHeading);
    EXPECT_EQ(frameOf("Send Report"), closedSend);
    EXPECT_EQ(frameOf("Don't Send"), closedCancel);
    EXPECT_EQ(frameOf("Details…"), closedDetails);
    EXPECT_TRUE(area()->hidden);
    EXPECT_TRUE(field(test::shippedString("en", "countdownStoppedMsg")));
    // Opened again, the same text: nothing is made twice.
    ASSERT_TRUE(backend->pressButtonWithTitle("Details…"));
    EXPECT_EQ(fake.calls, 1);
  });
  backend->pressKeyAfterTicks("\r", 2);
  EXPECT_TRUE(reporter->askUserPermissionToSend());
  EXPECT_TRUE(backend->scriptFailures().empty());
  ASSERT_TRUE(dialog->shownDetails());
  EXPECT_EQ(dialog->shownDetails()->uploadText, made.uploadText);
}

TEST_F(ReporterDialogTest, TheOpenDetailsFitTheScreenAndCloseToTheLayoutsFrames) {
  for (const ui::Size screen : {ui::Size{1024, 768}, ui::Size{800, 600}, ui::Size{1024, 600}}) {
    SCOPED_TRACE(testing::Message() << screen.width << "x" << screen.height);
    test::ScopedMemoryBackend fresh;
    fresh->setScreenSize(screen);
    stage(std::nullopt);
    const auto area = [&] { return fresh->controls(ui::ControlKind::TextView).front(); };
    ui::Rect open;
    fresh->pressButtonAfterTicks("Details…");
    fresh->runAfterTicks(0, [&] {
      open = fresh->visibleWindows().front()->frame;
      EXPECT_GE(area()->frame.size.height, 120);
    });
    fresh->pressButtonAfterTicks("Hide Details");
    fresh->runAfterTicks(0, [&] {
      EXPECT_EQ(fresh->visibleWindows().front()->frame.size, (ui::Size{500, 330}));
      EXPECT_EQ(area()->frame, ui::makeRect(20, 56, 720, 330));
    });
    fresh->pressButtonAfterTicks("Don't Send");
    EXPECT_FALSE(reporter->askUserPermissionToSend());
    EXPECT_TRUE(fresh->scriptFailures().empty());
    // Room for a title bar above, a margin around.
    EXPECT_LE(open.size.width, screen.width - 20);
    EXPECT_LE(open.size.height, screen.height - 60);
    EXPECT_GT(open.size.height, 330 + 120);
  }
}

TEST_F(ReporterDialogTest, DetailsThatCannotBeMadeSayWhyAndNeverHoldTheAnswer) {
  struct Case {
    const char* name;
    bool withMaker;
    std::optional<std::string> failure;  // finished, failing so, before the button
    std::string button;
    bool answer;
    std::string text;  // what the area says at the end; empty: not checked
  };
  const std::string cannot = test::shippedString("en", "detailsCannotBeMade");
  const std::vector<Case> cases = {
      {"failed", true, "not a crash log", "Send Report", true, *format(cannot, "not a crash log")},
      {"no maker", false, std::nullopt, "Send Report", true,
       *format(cannot, test::shippedString("en", "detailsNoCrashLog"))},
      {"cancelled while made", true, std::nullopt, "Don't Send", false, test::shippedString("en", "detailsBeingMade")},
      {"sent while made", true, std::nullopt, "Send Report", true, test::shippedString("en", "detailsBeingMade")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScopedMemoryBackend fresh;
    stage(std::nullopt);
    FakeDetailsMaker fake;
    if (c.withMaker) dialog->setDetailsMaker(fake.maker(*fresh));
    std::string shown;
    fresh->pressButtonAfterTicks("Details…");
    fresh->runAfterTicks(1, [&] {
      ReportDetails failed;
      failed.failure = c.failure.value_or("");
      if (c.failure) fake.finish(failed);
    });
    fresh->runAfterTicks(1, [&] { shown = fresh->controls(ui::ControlKind::TextView).front()->text; });
    fresh->pressButtonAfterTicks(c.button);
    EXPECT_EQ(reporter->askUserPermissionToSend(), c.answer);
    EXPECT_EQ(shown, c.text);
    EXPECT_FALSE(dialog->shownDetails()) << "nothing to send was shown";
    EXPECT_EQ(fake.stopped, c.withMaker && !c.failure) << "unfinished work ends with the dialog";
  }
}

TEST_F(ReporterDialogTest, MessageTimeoutReadsASinglePrecisionNumber) {
  stage(PlistValue(0.1));
  EXPECT_EQ(reporter->messageTimeout(), static_cast<double>(0.1f));
  stage(PlistValue("12.75 minutes"));
  EXPECT_EQ(reporter->messageTimeout(), 12.75);
  stage(PlistValue(PlistArray{PlistValue(5)}));
  EXPECT_EQ(reporter->messageTimeout(), 0);
  // Not configured at all.
  EXPECT_EQ(makeReporter(*bundle)->messageTimeout(), 0);
}

TEST_F(ReporterDialogTest, OutletsAndActionsAreTheDialogsOnly) {
  stage(std::nullopt);
  const auto window = ui::Window::create(ui::makeRect(0, 0, 10, 10));
  const auto field = ui::TextField::create(*window->contentView(), ui::makeRect(0, 0, 5, 5));
  EXPECT_TRUE(dialog->connectOutlet("alertWindow_", window));
  EXPECT_FALSE(dialog->connectOutlet("alertWindow_", field));
  EXPECT_FALSE(dialog->connectOutlet("sendButton_", field));
  EXPECT_FALSE(dialog->connectOutlet("countdownLabel_", nullptr));
  EXPECT_FALSE(dialog->connectOutlet("parameters_", window));
  EXPECT_TRUE(dialog->respondsToAction("sendReport:"));
  EXPECT_TRUE(dialog->respondsToAction("cancel:"));
  EXPECT_FALSE(dialog->respondsToAction("report:"));
  EXPECT_FALSE(dialog->performAction("report:", nullptr));
}

}  // namespace
}  // namespace cw
