// Idle and timer scheduling: the decisions against a fake clock, and the
// dispatchers inside freeglut's real event loop. Counts and order are
// checked, never how long anything took.
#include <gtest/gtest.h>

#include "glutwin.h"
#include "winutil.h"

#include <GL/freeglut.h>

#include <climits>
#include <vector>

using namespace winutil;

namespace {

TEST(TimerWait, ClampsTheDistanceToTheSoonestDueTime) {
    using glutsched::TimerWait;
    using glutsched::kNoneDue;
    EXPECT_EQ(TimerWait(kNoneDue, 0), 250);
    EXPECT_EQ(TimerWait(kNoneDue, 5000), 250);
    EXPECT_EQ(TimerWait(kNoneDue, kNoneDue - 250), 250);
    EXPECT_EQ(TimerWait(kNoneDue, kNoneDue - 249), 249);
    EXPECT_EQ(TimerWait(kNoneDue, kNoneDue - 1), 1);
    EXPECT_EQ(TimerWait(kNoneDue, kNoneDue), 1);
    EXPECT_EQ(TimerWait(kNoneDue, kNoneDue + 5), 1);
    EXPECT_EQ(TimerWait(kNoneDue, INT_MAX), 1);
    // So far below that the distance leaves the signed range and wraps.
    EXPECT_EQ(TimerWait(kNoneDue, -1200000000), 1);
    EXPECT_EQ(TimerWait(kNoneDue, -1000000000), 250);
    EXPECT_EQ(TimerWait(100, 60), 40);
    EXPECT_EQ(TimerWait(100, 100), 1);
}

TEST(NowMs, StartsNearZeroAndNeverGoesBack) {
    int a = NowMs();
    EXPECT_GE(a, 0);
    EXPECT_LT(a, glutsched::kNoneDue / 2);
    int b = NowMs();
    EXPECT_GE(b, a);
}

// A clock the test sets; TimerPass reads it twice.
std::vector<int> clockReads;
size_t clockNext = 0;
int FakeClock() { return clockReads[std::min(clockNext++, clockReads.size() - 1)]; }

std::vector<glutwin*> served;
void Record(glutwin& w) { served.push_back(&w); }

struct FakeClockPass : testing::Test {
    void SetUp() override {
        served.clear();
        clockNext = 0;
    }
    StdoutCapture out;
    glutwin a, b, c;  // head order: c, b, a
};

TEST_F(FakeClockPass, ServesOnlyWindowsDueStrictlyBeforeNow) {
    a.idleInterval = 50;
    a.nextDue = 1000;  // due exactly now: waits
    b.idleInterval = 30;
    b.nextDue = 999;
    c.idleInterval = -1;
    c.nextDue = 0;
    clockReads = {1000, 1004};
    int wait = glutsched::TimerPass(glutwin::Head(), FakeClock, Record);
    ASSERT_EQ(served, std::vector<glutwin*>{&b});
    EXPECT_EQ(b.nextDue, 1030);  // counted from now
    EXPECT_EQ(a.nextDue, 1000);
    // The soonest is a's 1000, already past by the second reading.
    EXPECT_EQ(wait, 1);
    EXPECT_EQ(clockNext, 2u);
}

TEST_F(FakeClockPass, ALateWindowGetsOneCallAndOneIntervalNoCatchUp) {
    b.idleInterval = 100;
    b.nextDue = 0;
    a.idleInterval = c.idleInterval = -1;
    clockReads = {5000, 5000};
    EXPECT_EQ(glutsched::TimerPass(glutwin::Head(), FakeClock, Record), 100);
    EXPECT_EQ(served.size(), 1u);
    EXPECT_EQ(b.nextDue, 5100);
}

TEST_F(FakeClockPass, WaitIsMeasuredFromTheSecondReadingAndClamped) {
    a.idleInterval = 40;
    a.nextDue = 1040;
    b.idleInterval = 500;
    b.nextDue = 1500;
    c.idleInterval = 0;  // idle windows do not count for the timer
    c.nextDue = 1001;
    clockReads = {1000, 1010};
    EXPECT_EQ(glutsched::TimerPass(glutwin::Head(), FakeClock, Record), 30);
    EXPECT_TRUE(served.empty());

    a.idleInterval = -1;
    clockNext = 0;
    EXPECT_EQ(glutsched::TimerPass(glutwin::Head(), FakeClock, Record), 250);
}

TEST_F(FakeClockPass, NoTimedWindowWaitsAgainstTheSentinel) {
    a.idleInterval = b.idleInterval = c.idleInterval = -1;
    clockReads = {glutsched::kNoneDue - 120};
    EXPECT_EQ(glutsched::TimerPass(glutwin::Head(), FakeClock, Record), 120);
    clockNext = 0;
    clockReads = {glutsched::kNoneDue + 3};
    EXPECT_EQ(glutsched::TimerPass(glutwin::Head(), FakeClock, Record), 1);
}

// A served window that switches itself off no longer sets the wait.
void SwitchOff(glutwin& w) {
    served.push_back(&w);
    w.idleInterval = -1;
}

TEST_F(FakeClockPass, AChangeMadeByIdleCountsForTheWait) {
    a.idleInterval = 60;
    a.nextDue = 1060;
    b.idleInterval = 10;
    b.nextDue = 900;
    c.idleInterval = -1;
    clockReads = {1000, 1000};
    EXPECT_EQ(glutsched::TimerPass(glutwin::Head(), FakeClock, SwitchOff), 60);
    EXPECT_EQ(served, std::vector<glutwin*>{&b});
}

TEST_F(FakeClockPass, IdlePassServesIntervalZeroWindowsFromTheHead) {
    a.idleInterval = 0;
    b.idleInterval = 10;
    c.idleInterval = 0;
    EXPECT_TRUE(glutsched::IdlePass(glutwin::Head(), Record));
    EXPECT_EQ(served, (std::vector<glutwin*>{&c, &a}));
    a.idleInterval = c.idleInterval = -1;
    served.clear();
    EXPECT_FALSE(glutsched::IdlePass(glutwin::Head(), Record));
    EXPECT_TRUE(served.empty());
}

// Runs glutMainLoop, calling step once after stepMs and leaving after
// leaveMs. GLUT is shut down when it returns.
void (*step)() = nullptr;
void RunLoop(int stepMs, int leaveMs) {
    glutTimerFunc(unsigned(stepMs), [](int) { if (step) step(); }, 0);
    glutTimerFunc(unsigned(leaveMs), [](int) { glutLeaveMainLoop(); }, 0);
    KeepGlDriverLoaded();  // GLUT closes its display on return
    glutMainLoop();
}

glutwin* second = nullptr;

TEST(IdleDispatch, EachNewWindowGetsOneIdleCallThenTheCallbackIsRemoved) {
    StdoutCapture out;
    glutwin first;
    glutwin other;
    second = &other;
    // Set behind the dispatcher's back: only an installed idle callback
    // would serve it.
    step = [] { second->idleInterval = 0; };
    RunLoop(150, 400);
    std::string text = out.Take();
    EXPECT_EQ(CountLines(text, "glutwin idle"), 2) << text;
    EXPECT_EQ(first.idleInterval, -1);
    EXPECT_EQ(other.idleInterval, 0);
}

TEST(IdleDispatch, SetIdleIntervalZeroInstallsTheCallbackAgain) {
    StdoutCapture out;
    glutwin first;
    glutwin other;
    second = &other;
    step = [] { second->SetIdleInterval(0); };
    RunLoop(150, 400);
    std::string text = out.Take();
    EXPECT_EQ(CountLines(text, "glutwin idle"), 3) << text;
    EXPECT_EQ(other.idleInterval, -1);
}

// Counts its timed calls and checks that its own window is current.
int sequence = 0;
struct Timed : glutwin {
    std::vector<int> calls;  // global sequence numbers
    int stopAfter = -1;
    bool ownWindowCurrent = true;
    void Idle() override {
        calls.push_back(++sequence);
        if (glutGetWindow() != id) ownWindowCurrent = false;
        if (int(calls.size()) == stopAfter) SetIdleInterval(-1);
    }
};

TEST(TimerDispatch, WindowsAreServedOnTheirOwnSchedulesAndMinusOneStops) {
    StdoutCapture out;
    Timed slow;
    Timed fast;  // the head: served first when both are due
    slow.stopAfter = 3;
    slow.SetIdleInterval(100);
    fast.SetIdleInterval(40);
    EXPECT_GT(slow.nextDue, 0);
    ASSERT_TRUE(PumpUntil([&] { return slow.calls.size() == 3; }, 15000));
    size_t fastAtStop = fast.calls.size();
    // Whenever the slow window is due, the fast one is too.
    EXPECT_GE(fastAtStop, 3u);
    EXPECT_LT(fast.calls.front(), slow.calls.front());
    EXPECT_EQ(slow.idleInterval, -1);

    // The timer keeps running for the fast window; the stopped one stays quiet.
    ASSERT_TRUE(PumpUntil([&] { return fast.calls.size() >= fastAtStop + 8; }, 15000));
    EXPECT_EQ(slow.calls.size(), 3u);
    EXPECT_TRUE(slow.ownWindowCurrent);
    EXPECT_TRUE(fast.ownWindowCurrent);
}

TEST(TimerDispatch, DefaultIdleOfATimedWindowRunsOnceAndStops) {
    StdoutCapture out;
    glutwin w;
    Timed keeper;  // keeps the timer busy meanwhile
    w.SetIdleInterval(30);
    keeper.SetIdleInterval(30);
    ASSERT_TRUE(PumpUntil([&] { return keeper.calls.size() >= 6; }, 15000));
    EXPECT_EQ(CountLines(out.Take(), "glutwin idle"), 1);
    EXPECT_EQ(w.idleInterval, -1);
}

}  // namespace
