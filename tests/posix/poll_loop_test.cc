#include "platform/posix/poll_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace stow::posix {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    if (fds[0] >= 0) ::close(fds[0]);
    if (fds[1] >= 0) ::close(fds[1]);
  }
  int r() const { return fds[0]; }
  void Write(char c) const { ASSERT_EQ(::write(fds[1], &c, 1), 1); }
  char Read() const {
    char c = 0;
    EXPECT_EQ(::read(fds[0], &c, 1), 1);
    return c;
  }
};

TEST(PollLoop, TimersFireInDueOrderAndNotEarly) {
  PollLoop loop;
  std::vector<std::string> order;
  auto start = loop.Now();
  std::chrono::steady_clock::duration slowFired{};
  platform::TimerId a = 0, b = 0, c = 0;
  a = loop.SetTimer(60ms, [&] {
    order.push_back("60");
    slowFired = loop.Now() - start;
    loop.KillTimer(a);
    loop.Quit();
  });
  b = loop.SetTimer(20ms, [&] {
    order.push_back("20");
    loop.KillTimer(b);
  });
  c = loop.SetTimer(40ms, [&] {
    order.push_back("40");
    loop.KillTimer(c);
  });
  EXPECT_TRUE(loop.RunFor(5s));
  EXPECT_EQ(order, (std::vector<std::string>{"20", "40", "60"}));
  EXPECT_GE(slowFired, 60ms);
  EXPECT_EQ(loop.TimerCount(), 0u);
}

TEST(PollLoop, RepeatingTimerTicksUntilKilled) {
  PollLoop loop;
  int ticks = 0;
  platform::TimerId id = 0;
  id = loop.SetTimer(5ms, [&] {
    if (++ticks == 3) {
      loop.KillTimer(id);
      loop.Post([&] { loop.Quit(); });
    }
  });
  EXPECT_TRUE(loop.RunFor(5s));
  EXPECT_EQ(ticks, 3);
  // Killed inside its own tick: it never comes back.
  loop.RunFor(30ms);
  EXPECT_EQ(ticks, 3);
}

TEST(PollLoop, PostedWorkRunsInOrderAndWorkPostedByWorkWaitsForTheNextTurn) {
  PollLoop loop;
  std::vector<int> ran;
  loop.Post([&] {
    ran.push_back(1);
    loop.Post([&] { ran.push_back(3); });
  });
  loop.Post([&] { ran.push_back(2); });
  loop.DoEvents();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  loop.DoEvents();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(PollLoop, ReentrantDoEventsServesAPipeFromInsideItsOwnCallback) {
  PollLoop loop;
  Pipe pipe;
  std::vector<std::string> seen;
  int depth = 0;
  loop.WatchFd(pipe.r(), [&] {
    char c = pipe.Read();
    seen.push_back(std::string(1, c) + std::to_string(depth));
    if (c == 'a') {
      pipe.Write('b');
      ++depth;
      loop.DoEvents();  // serves 'b' from inside this callback
      --depth;
    }
  });
  pipe.Write('a');
  loop.DoEvents();
  EXPECT_EQ(seen, (std::vector<std::string>{"a0", "b1"}));
  loop.DoEvents();  // nothing left to read: no call
  EXPECT_EQ(seen.size(), 2u);
}

TEST(PollLoop, ATickThatYieldsIsNotReentered) {
  PollLoop loop;
  int ticks = 0, depth = 0, maxDepth = 0;
  platform::TimerId t = loop.SetTimer(1ms, [&] {
    ++ticks;
    maxDepth = std::max(maxDepth, ++depth);
    ::usleep(3000);   // the next interval has passed by the time we yield
    loop.DoEvents();  // yield in the middle of the tick, as a batch does
    --depth;
  });
  ::usleep(2000);
  loop.DoEvents();
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(maxDepth, 1);
  // Once the tick is over, the timer goes on.
  ::usleep(2000);
  loop.DoEvents();
  EXPECT_EQ(ticks, 2);
  loop.KillTimer(t);
}

TEST(PollLoop, UnwatchingInsideACallbackStopsTheOtherCallback) {
  PollLoop loop;
  Pipe p1, p2;
  int first = std::min(p1.r(), p2.r()), second = std::max(p1.r(), p2.r());
  int secondCalls = 0;
  loop.WatchFd(first, [&] {
    char c;
    (void)!::read(first, &c, 1);
    loop.UnwatchFd(second);
  });
  loop.WatchFd(second, [&] { ++secondCalls; });
  p1.Write('x');
  p2.Write('y');
  loop.DoEvents();
  EXPECT_EQ(secondCalls, 0);
  EXPECT_EQ(loop.WatchCount(), 1u);
}

TEST(PollLoop, RunReturnsWhenNothingCanHappenAndDropsClosedDescriptors) {
  PollLoop loop;
  loop.Run();  // returns at once: nothing to wait for

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  loop.WatchFd(fds[0], [] {});
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_FALSE(loop.RunFor(200ms));
  EXPECT_EQ(loop.WatchCount(), 0u);
}

TEST(PollLoop, QuitBeforeRunEndsTheNextRunAtOnce) {
  PollLoop loop;
  int ticks = 0;
  loop.SetTimer(1ms, [&] { ++ticks; });
  loop.Quit();
  loop.Run();
  EXPECT_EQ(ticks, 0);
}

TEST(PollLoop, NestedRunReturnsToTheOuterRun) {
  PollLoop loop;
  std::vector<std::string> steps;
  loop.Post([&] {
    loop.Post([&] {
      steps.push_back("inner quit");
      loop.Quit();
    });
    loop.Run();
    steps.push_back("inner returned");
    loop.Post([&] { loop.Quit(); });
  });
  EXPECT_TRUE(loop.RunFor(5s));
  EXPECT_EQ(steps, (std::vector<std::string>{"inner quit", "inner returned"}));
}

TEST(SignalWatch, DeliversASignalThroughTheLoopAndRestoresTheMask) {
  PollLoop loop;
  std::vector<int> got;
  {
    SignalWatch watch(loop, {SIGUSR1}, [&](int s) {
      got.push_back(s);
      loop.Quit();
    });
    ASSERT_TRUE(watch.Active());
    ::kill(::getpid(), SIGUSR1);
    EXPECT_TRUE(loop.RunFor(5s));
  }
  EXPECT_EQ(got, std::vector<int>{SIGUSR1});
  EXPECT_EQ(loop.WatchCount(), 0u);
  sigset_t now;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGUSR1));
}

}  // namespace
}  // namespace stow::posix
