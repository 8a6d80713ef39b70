// What the poll loop adds to the message loop contract (tests/contract/
// message_loop_contract.cc): RunFor, and signals through the loop.

#include "platform/posix/poll_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

namespace stow::posix {
namespace {

using namespace std::chrono_literals;

TEST(PollLoop, RunForGivesUpAtItsLimitTellsAQuitAndDeliversSignals) {
  PollLoop loop;
  int ticks = 0;
  platform::TimerId t = loop.SetTimer(5ms, [&] { ++ticks; });
  auto start = loop.Now();
  EXPECT_FALSE(loop.RunFor(30ms));
  EXPECT_GE(loop.Now() - start, 30ms);
  EXPECT_GE(ticks, 1);
  loop.Post([&] { loop.Quit(); });
  EXPECT_TRUE(loop.RunFor(5s));
  loop.KillTimer(t);

  // A signal comes through the loop, and the mask is restored afterwards.
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
