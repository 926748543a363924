// The deadlock detector: scripted waits on several threads (each step runs
// on its own thread, one step at a time, so no test ever really blocks),
// its exact report, cycles longer than two threads, chains that end without
// a cycle, the fatal checks, and many threads taking shared mutexes in
// random orders without a cycle.
#include "base/zepdeadlock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/lockguard.h"

namespace {

// A thread that runs the steps it is given, one at a time, and returns when
// the step is done.
class Actor {
 public:
  Actor() : m_thread([this] { Loop(); }) {}
  ~Actor() {
    Do(nullptr);
    m_thread.join();
  }
  void Do(std::function<void()> step) {
    std::unique_lock<std::mutex> lock(m_mu);
    m_step = std::move(step);
    m_has = true;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return !m_has; });
  }
  void Wait(Mutex& m, const char* file, int line) {
    Do([&m, file, line] {
      Mutex2Thread* a = nullptr;
      Thread2Mutex* b = nullptr;
      WaitMutex(&m, file, line, a, b);
    });
  }
  void Acquired(Mutex& m) {
    Do([&m] {
      Mutex2Thread* a = nullptr;
      Thread2Mutex* b = nullptr;
      AcquiredMutex(&m, a, b);
    });
  }
  void Take(Mutex& m, const char* file, int line) {
    Wait(m, file, line);
    Acquired(m);
  }
  void Release(Mutex& m) {
    Do([&m] {
      Mutex2Thread* a = nullptr;
      Thread2Mutex* b = nullptr;
      ReleaseAcqMutex(&m, a, b);
    });
  }

 private:
  void Loop() {
    for (;;) {
      std::unique_lock<std::mutex> lock(m_mu);
      m_cv.wait(lock, [this] { return m_has; });
      std::function<void()> step = std::move(m_step);
      if (step) step();
      m_has = false;
      m_cv.notify_all();
      if (!step) return;
    }
  }
  std::mutex m_mu;
  std::condition_variable m_cv;
  std::function<void()> m_step;
  bool m_has = false;
  std::thread m_thread;
};

std::mutex g_reportMu;
std::vector<std::string> g_reports;

void Capture(const char*, int, const char* text) {
  std::lock_guard<std::mutex> lock(g_reportMu);
  g_reports.push_back(text);
}

// Captures every report and keeps reports from stopping the process.
class DeadLock : public ::testing::Test {
 protected:
  void SetUp() override {
    m_savedSink = g_pDeadLockReport.exchange(&Capture);
    m_savedFatal = g_bDeadLockFatal.exchange(false);
    std::lock_guard<std::mutex> lock(g_reportMu);
    g_reports.clear();
  }
  void TearDown() override {
    g_pDeadLockReport.store(m_savedSink);
    g_bDeadLockFatal.store(m_savedFatal);
  }
  static std::vector<std::string> Reports() {
    std::lock_guard<std::mutex> lock(g_reportMu);
    return g_reports;
  }
  // Records of mutexes and of threads, read under the detector's lock
  // (taken plainly: it is never routed through the detector).
  static std::pair<unsigned, unsigned> Records() {
    g_TMMutex.Acquire();
    std::pair<unsigned, unsigned> n(g_M2TTree.GetKeyCount(), g_T2MTree.GetKeyCount());
    g_TMMutex.Release();
    return n;
  }
  static void ExpectEmptyTrees() { EXPECT_EQ(std::make_pair(0u, 0u), Records()); }

 private:
  ZEPDeadLockReportFn m_savedSink = nullptr;
  bool m_savedFatal = false;
};

TEST_F(DeadLock, TwoThreadCycleNamesTheFourSitesInOrder) {
  Mutex a, b;
  Actor t1, t2;
  t1.Take(a, "one.cpp", 10);
  t2.Take(b, "two.cpp", 20);
  t2.Wait(a, "two.cpp", 21);  // t1 waits for nothing yet
  EXPECT_TRUE(Reports().empty());
  t1.Wait(b, "one.cpp", 11);
  ASSERT_EQ(1u, Reports().size());
  EXPECT_EQ(
      "Dead Lock: \r\n[one.cpp 10]\r\n[one.cpp 11]\r\n-------------------\r\n"
      "[two.cpp 20]\r\n[two.cpp 21]",
      Reports()[0]);
  // Unwind as if t1 gave up A: every record goes.
  t1.Release(a);
  t2.Acquired(a);
  t2.Release(a);
  t2.Release(b);
  t1.Acquired(b);
  t1.Release(b);
  ExpectEmptyTrees();
}

TEST_F(DeadLock, ThreeThreadCycleNamesEveryThreadsHeldAndAwaitedSite) {
  Mutex a, b, c;
  Actor t1, t2, t3;
  t1.Take(a, "one.cpp", 1);
  t2.Take(b, "two.cpp", 2);
  t3.Take(c, "three.cpp", 3);
  t2.Wait(c, "two.cpp", 22);
  t3.Wait(a, "three.cpp", 33);
  EXPECT_TRUE(Reports().empty());
  t1.Wait(b, "one.cpp", 11);
  ASSERT_EQ(1u, Reports().size());
  EXPECT_EQ(
      "Dead Lock: \r\n[one.cpp 1]\r\n[one.cpp 11]\r\n-------------------\r\n"
      "[two.cpp 2]\r\n[two.cpp 22]\r\n[three.cpp 3]\r\n[three.cpp 33]",
      Reports()[0]);
  t1.Release(a);
  t3.Acquired(a);
  t3.Release(a);
  t3.Release(c);
  t2.Acquired(c);
  t2.Release(c);
  t2.Release(b);
  t1.Acquired(b);
  t1.Release(b);
  ExpectEmptyTrees();
}

TEST_F(DeadLock, ChainsEndingAtAFreeMutexOrARunningThreadReportNothing) {
  Mutex a, b;
  Actor t1, t2, t3;
  // A free mutex: no report, and the trees are empty afterwards.
  t1.Take(a, "one.cpp", 1);
  t1.Release(a);
  ExpectEmptyTrees();
  // t3 waits for B, held by t2, which waits for A, held by t1, which runs.
  t1.Take(a, "one.cpp", 1);
  t2.Take(b, "two.cpp", 2);
  t2.Wait(a, "two.cpp", 3);
  t3.Wait(b, "three.cpp", 4);
  EXPECT_TRUE(Reports().empty());
  t1.Release(a);
  t2.Acquired(a);
  t2.Release(a);
  t2.Release(b);
  t3.Acquired(b);
  t3.Release(b);
  ExpectEmptyTrees();
}

TEST_F(DeadLock, RelockingAHeldMutexIsReported) {
  Mutex a;
  Actor t1;
  t1.Take(a, "one.cpp", 5);
  t1.Wait(a, "one.cpp", 6);
  ASSERT_EQ(1u, Reports().size());
  EXPECT_EQ(0u, Reports()[0].find("Dead Lock: \r\n[one.cpp 5]\r\n[one.cpp 6]\r\n"));
  t1.Release(a);
  t1.Acquired(a);
  t1.Release(a);
  ExpectEmptyTrees();
}

TEST(DeadLockDeath, AcquiredWithoutWaitOrReleaseOfAMutexNotHeldStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Mutex m;
  Mutex2Thread* a = nullptr;
  Thread2Mutex* b = nullptr;
  EXPECT_DEATH(AcquiredMutex(&m, a, b), "pAMN");
  EXPECT_DEATH(ReleaseAcqMutex(&m, a, b), "pAMN");
}

// Many threads lock random sets of shared mutexes, always in address order
// (no cycle possible): no report, and every record is gone at the end.
TEST_F(DeadLock, RandomOrderedLockingLeavesEmptyTreesAndNoReport) {
  constexpr int kMutexes = 6;
  std::vector<Mutex> mutexes(kMutexes);
  std::atomic<long> counter{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1u);
      for (int i = 0; i < 300; ++i) {
        std::vector<Mutex*> pick;
        for (Mutex& m : mutexes)
          if (rng() % 2 == 0) pick.push_back(&m);
        std::sort(pick.begin(), pick.end());
        for (Mutex* m : pick) ZEPDLAcquire(*m, __FILE__, __LINE__);
        counter.fetch_add(1);
        std::reverse(pick.begin(), pick.end());
        for (Mutex* m : pick) ZEPDLRelease(*m);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(8 * 300, counter.load());
  EXPECT_TRUE(Reports().empty());
  ExpectEmptyTrees();
}

TEST_F(DeadLock, TrackedGuardHoldsForItsScope) {
  Mutex m;
  {
    ZEPLockGuard guard(m, ZEPLockGuard::kTracked);
    EXPECT_FALSE(m.TryAcquire());
    EXPECT_EQ(std::make_pair(1u, 1u), Records());
  }
  EXPECT_TRUE(m.TryAcquire());
  m.Release();
  ExpectEmptyTrees();
}

}  // namespace
