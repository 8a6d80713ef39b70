// The message loop contract (platform/message_loop.h), one typed suite run on the
// host program's poll loop and on the tests' virtual-clock loop.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/headless/manual_loop.h"
#include "platform/posix/poll_loop.h"

namespace stow::platform {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() { ::close(fds[0]), ::close(fds[1]); }
  int r() const { return fds[0]; }
  void Write(char c) const { ASSERT_EQ(::write(fds[1], &c, 1), 1); }
  char Read() const {
    char c = '?';
    return ::read(fds[0], &c, 1) == 1 ? c : '?';
  }
};

// Time passing while a tick works: the poll loop sleeps; the virtual loop moves its
// clock (turning as it goes, as a tick that yields makes it do anyway).
void Pass(posix::PollLoop&, std::chrono::milliseconds d) {
  std::this_thread::sleep_for(d);
}
void Pass(headless::ManualLoop& loop, std::chrono::milliseconds d) {
  loop.Advance(d);
}

template <class Loop>
class MessageLoopContract : public ::testing::Test {
 protected:
  Loop loop;
};
using Loops = ::testing::Types<posix::PollLoop, headless::ManualLoop>;
TYPED_TEST_SUITE(MessageLoopContract, Loops);

TYPED_TEST(MessageLoopContract, TimersFireInDueOrderNotEarlyAndRepeatUntilKilled) {
  auto& loop = this->loop;
  std::vector<std::string> order;
  auto start = loop.Now();
  std::chrono::steady_clock::duration lastFired{};
  TimerId slow = 0, fast = 0, once = 0;
  int fastTicks = 0;
  slow = loop.SetTimer(60ms, [&] {
    order.push_back("60");
    lastFired = loop.Now() - start;
    loop.KillTimer(slow);
  });
  fast = loop.SetTimer(20ms, [&] {
    order.push_back("20");
    if (++fastTicks == 2) loop.KillTimer(fast);  // from inside its own tick
  });
  once = loop.SetTimer(30ms, [&] {
    order.push_back("30");
    loop.KillTimer(once);
  });
  loop.Run();  // returns once no timer is left
  EXPECT_EQ(order, (std::vector<std::string>{"20", "30", "20", "60"}));
  EXPECT_GE(lastFired, 60ms);
  EXPECT_EQ(loop.TimerCount(), 0u);
  loop.KillTimer(12345);  // unknown: ignored
}

TYPED_TEST(MessageLoopContract, PostedWorkRunsInOrderAndWorkPostedByWorkWaitsForTheNextTurn) {
  auto& loop = this->loop;
  std::vector<int> ran;
  loop.Post([&] {
    ran.push_back(1);
    loop.Post([&] { ran.push_back(3); });
  });
  loop.Post([&] { ran.push_back(2); });
  loop.Post(nullptr);
  EXPECT_TRUE(ran.empty());
  loop.DoEvents();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  loop.DoEvents();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TYPED_TEST(MessageLoopContract, ATickThatYieldsIsNotReenteredAndTheTimerGoesOnAfterIt) {
  auto& loop = this->loop;
  int ticks = 0, depth = 0, maxDepth = 0;
  TimerId t = loop.SetTimer(1ms, [&] {
    maxDepth = std::max(maxDepth, ++depth);
    if (++ticks == 1) {
      Pass(loop, 3ms);  // the next interval has passed by the time we yield
      loop.DoEvents();  // yield in the middle of the tick, as a batch does
    }
    if (ticks == 3) loop.Quit();
    --depth;
  });
  loop.Run();
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(maxDepth, 1);
  loop.KillTimer(t);
}

TYPED_TEST(MessageLoopContract, DescriptorCallbacksNestUnwatchAndReplaceAtOnce) {
  auto& loop = this->loop;
  Pipe p1, p2;
  std::vector<std::string> seen;
  int depth = 0, otherCalls = 0;
  int first = std::min(p1.r(), p2.r()), second = std::max(p1.r(), p2.r());
  const Pipe& firstPipe = first == p1.r() ? p1 : p2;
  loop.WatchFd(first, [&] {
    char c = firstPipe.Read();
    seen.push_back(std::string(1, c) + std::to_string(depth));
    if (c == 'a') {
      firstPipe.Write('b');
      ++depth;
      loop.DoEvents();  // serves 'b' from inside this callback
      --depth;
      loop.UnwatchFd(second);  // its callback, due in this turn, never runs
    }
  });
  loop.WatchFd(second, [&] { ++otherCalls; });
  firstPipe.Write('a');
  (first == p1.r() ? p2 : p1).Write('y');
  loop.DoEvents();
  EXPECT_EQ(seen, (std::vector<std::string>{"a0", "b1"}));
  EXPECT_EQ(otherCalls, 1) << "served once, inside the nested turn";
  EXPECT_EQ(loop.WatchCount(), 1u);
  loop.DoEvents();  // nothing left to read: no call
  EXPECT_EQ(seen.size(), 2u);

  loop.WatchFd(first, [&] { seen.push_back(std::string(1, firstPipe.Read())); });
  firstPipe.Write('c');
  loop.DoEvents();
  EXPECT_EQ(seen.back(), "c");
}

TYPED_TEST(MessageLoopContract, RunEndsWhenNothingCanHappenAndWaitsForWatchedDescriptors) {
  auto& loop = this->loop;
  loop.Run();  // returns at once: nothing to wait for
  {
    Pipe closed;
    loop.WatchFd(closed.r(), [] {});
  }
  loop.Run();  // the closed descriptor is dropped, and then nothing is left
  EXPECT_EQ(loop.WatchCount(), 0u);

  Pipe pipe;
  std::string got;
  loop.WatchFd(pipe.r(), [&] {
    got += pipe.Read();
    loop.Quit();
  });
  std::thread writer([&] {
    std::this_thread::sleep_for(30ms);
    pipe.Write('w');
  });
  loop.Run();
  writer.join();
  EXPECT_EQ(got, "w");
  loop.UnwatchFd(pipe.r());
}

TYPED_TEST(MessageLoopContract, QuitBeforeRunEndsTheNextRunAtOnceAndNestedRunsQuitInnermost) {
  auto& loop = this->loop;
  int ticks = 0;
  TimerId t = loop.SetTimer(1ms, [&] { ++ticks; });
  loop.Quit();
  loop.Run();
  EXPECT_EQ(ticks, 0);
  loop.KillTimer(t);

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
  loop.Run();
  EXPECT_EQ(steps, (std::vector<std::string>{"inner quit", "inner returned"}));
}

}  // namespace
}  // namespace stow::platform
