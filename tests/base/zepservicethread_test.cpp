// The service thread: posts from many threads, wake-up times, watched
// descriptors, the least gap and a stop while a turn runs.
#include "base/zepservicethread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/waitfor.h"

namespace {

using zeptest::WaitFor;

TEST(ServiceThreadTest, NoPostIsLostUnderManyPosters) {
  const int kPosters = 4, kPosts = 3000;
  std::atomic<long> produced{0}, seen{0}, turns{0};
  ZEPServiceThread svc;
  ASSERT_EQ(0, svc.Start([&](ZEPServiceTurn& turn) {
    EXPECT_TRUE(turn.Posted());
    ++turns;
    // Everything produced before a post is seen by a turn after it.
    seen.store(produced.load());
  }));
  EXPECT_EQ(-1, svc.Start([](ZEPServiceTurn&) {}));
  EXPECT_EQ(EBUSY, errno);
  std::vector<std::thread> posters;
  for (int t = 0; t < kPosters; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) {
        ++produced;
        svc.Post();
      }
    });
  }
  for (std::thread& t : posters) t.join();
  EXPECT_TRUE(WaitFor([&] { return seen.load() == kPosters * kPosts; })) << seen.load();
  svc.Stop();
  EXPECT_LE(turns.load(), kPosters * kPosts) << "posts that come together make one turn";
  EXPECT_FALSE(svc.IsRunning());
}

TEST(ServiceThreadTest, WakeUpTimesAndWatchedDescriptorsMakeTurns) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  struct Seen_tag {
    bool posted, due;
    short ready;
    int64_t at;
  };
  std::vector<Seen_tag> seen;
  std::atomic<int> turns{0};
  int64_t askedFor = 0;
  ZEPServiceThread svc;
  ASSERT_EQ(0, svc.Start([&](ZEPServiceTurn& turn) {
    seen.push_back({turn.Posted(), turn.Due(), turn.Ready(fds[0]), turn.Now()});
    char c;
    if ((turn.Ready(fds[0]) & POLLIN) != 0) {
      EXPECT_EQ(1, read(fds[0], &c, 1));
    }
    switch (seen.size()) {
      case 1:  // the post: a wake-up time asked for twice, the earlier counts
        askedFor = turn.Now() + 150;
        turn.WakeAt(askedFor + 5000);
        turn.WakeAt(askedFor);
        break;
      case 2:  // the wake-up time: watch the pipe from now on
        turn.Watch(fds[0], POLLIN);
        break;
      default:
        turn.Watch(fds[0], POLLIN);
    }
    ++turns;
  }));
  svc.Post();
  ASSERT_TRUE(WaitFor([&] { return turns.load() == 2; }));
  ASSERT_EQ(1, write(fds[1], "x", 1));
  ASSERT_TRUE(WaitFor([&] { return turns.load() == 3; }));
  svc.Stop();  // joined: `seen` is ours again
  ASSERT_EQ(3u, seen.size());
  EXPECT_TRUE(seen[0].posted && !seen[0].due);
  EXPECT_TRUE(!seen[1].posted && seen[1].due);
  EXPECT_GE(seen[1].at, askedFor) << "not before the time asked for";
  EXPECT_EQ(0, seen[1].ready) << "not watched in that wait";
  EXPECT_TRUE(!seen[2].posted && !seen[2].due);
  EXPECT_NE(0, seen[2].ready & POLLIN);
  close(fds[0]);
  close(fds[1]);
}

TEST(ServiceThreadTest, LeastGapHoldsPostsAndJoinsThem) {
  std::vector<int64_t> starts, ends;
  std::atomic<int> turns{0};
  ZEPServiceThread svc;
  svc.SetMinGapMs(300);
  ASSERT_EQ(0, svc.Start([&](ZEPServiceTurn& turn) {
    starts.push_back(turn.Now());
    ends.push_back(ZEPMonoMs());
    ++turns;
  }));
  svc.Post();  // the first goes at once
  ASSERT_TRUE(WaitFor([&] { return turns.load() == 1; }));
  for (int i = 0; i < 3; ++i) svc.Post();  // inside the gap: one turn at its end
  ASSERT_TRUE(WaitFor([&] { return turns.load() == 2; }));
  // A turn that would have come for the posts alone comes a gap after the one before.
  svc.Stop();
  ASSERT_EQ(2u, starts.size());
  EXPECT_GE(starts[1] - ends[0], 300);
}

TEST(ServiceThreadTest, StopWaitsForTheTurnThatRunsAndKeepsWhatIsPosted) {
  std::atomic<bool> inside{false}, release{false}, stopped{false};
  std::atomic<int> turns{0};
  ZEPServiceThread svc;
  const auto busy = [&](ZEPServiceTurn&) {
    inside.store(true);
    WaitFor([&] { return release.load(); });
    ++turns;
  };
  ASSERT_EQ(0, svc.Start(busy));
  svc.Post();
  ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
  svc.Post();  // comes while the turn runs: pending at the stop
  std::thread stopper([&] {
    svc.Stop();
    stopped.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(stopped.load()) << "Stop returned while a turn ran";
  release.store(true);
  stopper.join();
  EXPECT_EQ(1, turns.load()) << "no turn after the stop";
  svc.Stop();  // idempotent
  // The pending post is not lost: the next start takes it.
  ASSERT_EQ(0, svc.Start(busy));
  EXPECT_TRUE(WaitFor([&] { return turns.load() == 2; }));
}

}  // namespace
