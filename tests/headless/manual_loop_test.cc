// What the virtual clock adds to the message loop contract (tests/contract/
// message_loop_contract.cc): exact times, Advance, and the run limit.

#include "platform/headless/manual_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace stow::headless {
namespace {

using namespace std::chrono_literals;

std::chrono::milliseconds Since(ManualLoop& loop, ManualLoop::Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(loop.Now() - t);
}

TEST(ManualLoop, TimersFireExactlyAtTheirOwnTimesAndOnlyWhenTimeIsMoved) {
  ManualLoop loop;
  auto start = loop.Now();
  std::vector<std::string> fired;
  auto log = [&](const char* name) {
    return [&, name] { fired.push_back(name + std::to_string(Since(loop, start).count())); };
  };
  loop.SetTimer(500ms, log("A"));
  platform::TimerId once = 0;
  once = loop.SetTimer(200ms, [&] {
    log("B")();
    loop.KillTimer(once);
    loop.SetTimer(150ms, log("C"));
  });
  loop.DoEvents();  // DoEvents never moves time
  loop.Advance(199ms);
  EXPECT_TRUE(fired.empty());
  loop.Advance(851ms);
  EXPECT_EQ(fired, (std::vector<std::string>{"B200", "C350", "A500", "C500", "C650", "C800", "C950",
                                             "A1000"}));
  EXPECT_EQ(loop.Elapsed(), 1050ms);
}

TEST(ManualLoop, RunMovesTimeToTheNextTimerAndStopsAtItsLimit) {
  ManualLoop loop;
  platform::TimerId quitter = loop.SetTimer(500ms, [&] { loop.Quit(); });
  loop.Run();
  EXPECT_FALSE(loop.RanOut());
  EXPECT_EQ(loop.Elapsed(), 500ms);
  loop.KillTimer(quitter);

  int ticks = 0;
  loop.SetTimer(1s, [&] { ++ticks; });
  loop.SetRunLimit(10s);
  loop.Run();  // nobody quits: the limit ends it
  EXPECT_TRUE(loop.RanOut());
  EXPECT_EQ(ticks, 10);
}

}  // namespace
}  // namespace stow::headless
