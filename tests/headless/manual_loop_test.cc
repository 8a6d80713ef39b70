#include "platform/headless/manual_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace stow::headless {
namespace {

using namespace std::chrono_literals;

std::chrono::milliseconds Since(ManualLoop& loop, ManualLoop::Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(loop.Now() - t);
}

TEST(ManualLoop, AFiveHundredMillisecondTimerFiresAtFiveHundredNotBefore) {
  ManualLoop loop;
  auto start = loop.Now();
  std::vector<std::chrono::milliseconds> firedAt;
  loop.SetTimer(500ms, [&] { firedAt.push_back(Since(loop, start)); });
  loop.DoEvents();  // DoEvents never moves time
  loop.Advance(499ms);
  EXPECT_TRUE(firedAt.empty());
  loop.Advance(1ms);
  EXPECT_EQ(firedAt, std::vector<std::chrono::milliseconds>{500ms});
  loop.Advance(1000ms);
  EXPECT_EQ(firedAt, (std::vector<std::chrono::milliseconds>{500ms, 1000ms, 1500ms}));
  EXPECT_EQ(loop.Elapsed(), 1500ms);
}

TEST(ManualLoop, TimersFireInDueOrderAtTheirOwnTimes) {
  ManualLoop loop;
  auto start = loop.Now();
  std::vector<std::string> fired;
  auto log = [&](const char* name) {
    return [&, name] { fired.push_back(name + std::to_string(Since(loop, start).count())); };
  };
  loop.SetTimer(300ms, log("A"));
  loop.SetTimer(200ms, log("B"));
  loop.Advance(650ms);
  EXPECT_EQ(fired, (std::vector<std::string>{"B200", "A300", "B400", "A600", "B600"}));
}

TEST(ManualLoop, TimersSetKilledOrDueInsideATickBehave) {
  ManualLoop loop;
  auto start = loop.Now();
  std::vector<std::string> fired;
  platform::TimerId once = 0;
  once = loop.SetTimer(100ms, [&] {
    fired.push_back("once" + std::to_string(Since(loop, start).count()));
    loop.KillTimer(once);
    loop.SetTimer(50ms,
                  [&] { fired.push_back("new" + std::to_string(Since(loop, start).count())); });
  });
  loop.Advance(200ms);
  EXPECT_EQ(fired, (std::vector<std::string>{"once100", "new150", "new200"}));
  EXPECT_EQ(loop.TimerCount(), 1u);
}

TEST(ManualLoop, ATickThatYieldsIsNotReenteredAndAdvanceEnds) {
  ManualLoop loop;
  int ticks = 0, depth = 0, maxDepth = 0;
  loop.SetTimer(10ms, [&] {
    ++ticks;
    maxDepth = std::max(maxDepth, ++depth);
    loop.Advance(25ms);  // a long step inside the tick
    --depth;
  });
  loop.Advance(10ms);
  // The tick at 10 ms moved the clock to 35 ms; the tick that fell due at 20 ms ran
  // after the first had ended (and moved the clock again), never inside it.
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(loop.Elapsed(), 60ms);  // the inner steps stand: time never runs backwards
}

TEST(ManualLoop, PostedWorkWaitsForTheNextTurn) {
  ManualLoop loop;
  std::vector<int> ran;
  loop.Post([&] {
    ran.push_back(1);
    loop.Post([&] { ran.push_back(2); });
  });
  loop.DoEvents();
  EXPECT_EQ(ran, std::vector<int>{1});
  EXPECT_EQ(loop.PendingTasks(), 1u);
  loop.DoEvents();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(ManualLoop, RunMovesTimeToTheNextTimerUntilQuit) {
  ManualLoop loop;
  loop.SetTimer(500ms, [&] { loop.Quit(); });
  loop.Run();
  EXPECT_FALSE(loop.RanOut());
  EXPECT_EQ(loop.Elapsed(), 500ms);
}

TEST(ManualLoop, RunReturnsWhenNothingCanHappenOrTheLimitPasses) {
  ManualLoop loop;
  int n = 0;
  loop.Post([&] { ++n; });
  loop.Run();
  EXPECT_EQ(n, 1);
  EXPECT_TRUE(loop.RanOut());

  int ticks = 0;
  loop.SetTimer(1s, [&] { ++ticks; });
  loop.SetRunLimit(10s);
  loop.Run();  // nobody quits: the limit ends it
  EXPECT_TRUE(loop.RanOut());
  EXPECT_EQ(ticks, 10);
}

TEST(ManualLoop, WatchedDescriptorsArePolledWithoutWaiting) {
  ManualLoop loop;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string got;
  loop.WatchFd(fds[0], [&] {
    char c;
    if (::read(fds[0], &c, 1) == 1) got += c;
  });
  loop.DoEvents();
  EXPECT_EQ(got, "");
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  loop.DoEvents();
  EXPECT_EQ(got, "x");
  // Run serves a descriptor made readable by the work it runs, then returns.
  loop.Post([&] { (void)!::write(fds[1], "y", 1); });
  loop.Run();
  EXPECT_EQ(got, "xy");
  loop.UnwatchFd(fds[0]);
  ASSERT_EQ(::write(fds[1], "z", 1), 1);
  loop.DoEvents();
  EXPECT_EQ(got, "xy");
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace stow::headless
