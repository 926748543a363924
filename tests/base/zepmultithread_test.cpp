#include "base/zepmultithread.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>

#include "support/waitfor.h"

namespace {

using Clock = std::chrono::steady_clock;

using zeptest::WaitFor;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

struct Probe {
  std::atomic<bool> ran{false};
  std::atomic<bool> cleaned{false};
  std::atomic<pid_t> tid{0};
  std::atomic<size_t> stack{0};
  Semaphore gate;
};

void* RecordAndExit(void* arg) {
  auto* p = static_cast<Probe*>(arg);
  p->tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    size_t size = 0;
    pthread_attr_getstacksize(&attr, &size);
    p->stack.store(size);
    pthread_attr_destroy(&attr);
  }
  p->ran.store(true);
  return nullptr;
}

void MarkCleaned(void* arg) { static_cast<Probe*>(arg)->cleaned.store(true); }

// Sleeps until cancelled; the cleanup handler shows that cancellation ran.
void* SleepForever(void* arg) {
  auto* p = static_cast<Probe*>(arg);
  pthread_cleanup_push(MarkCleaned, p);
  p->ran.store(true);
  for (;;) ZEPSleep(10);
  pthread_cleanup_pop(0);
  return nullptr;
}

void* WaitOnGate(void* arg) {
  auto* p = static_cast<Probe*>(arg);
  p->ran.store(true);
  int rc = p->gate.Acquire();
  p->cleaned.store(rc == 0);
  return nullptr;
}

TEST(ThreadTest, StartJoinWithServiceStack) {
  EXPECT_GE(ZEPThreadStackSize(), ZEP_THREAD_STACK);
  EXPECT_GE(ZEPThreadStackSize(), static_cast<size_t>(sysconf(_SC_THREAD_STACK_MIN)));
  Probe p;
  Thread t;
  EXPECT_EQ(nullptr, t.GetThreadHandle());
  EXPECT_EQ(2, t.GetPriority());
  ASSERT_TRUE(t.Create(RecordAndExit, &p));
  ASSERT_NE(nullptr, t.GetThreadHandle());
  EXPECT_FALSE(t.Create(RecordAndExit, &p)) << "a second thread on one object";
  pid_t tid = t.GetThreadTid();
  t.Wait();
  EXPECT_EQ(nullptr, t.GetThreadHandle());
  EXPECT_TRUE(p.ran.load());
  EXPECT_EQ(tid, p.tid.load()) << "Create publishes the new thread's kernel id";
  EXPECT_GE(p.stack.load(), ZEPThreadStackSize());
  t.Wait();  // joined already: nothing happens
}

TEST(ThreadTest, KillCancelsASleepingThread) {
  Probe p;
  Thread t;
  ASSERT_TRUE(t.Create(SleepForever, &p));
  ASSERT_TRUE(WaitFor([&] { return p.ran.load(); }));
  EXPECT_TRUE(t.Kill());
  EXPECT_TRUE(WaitFor([&] { return p.cleaned.load(); }));
  t.Wait();
  EXPECT_FALSE(t.Kill()) << "no thread attached any more";
}

TEST(ThreadTest, DestructorCancelsAndJoinsARunningThread) {
  Probe p;
  {
    Thread t;
    ASSERT_TRUE(t.Create(SleepForever, &p));
    ASSERT_TRUE(WaitFor([&] { return p.ran.load(); }));
  }
  // Joined inside the destructor: the cleanup has already run.
  EXPECT_TRUE(p.cleaned.load());
}

TEST(ThreadTest, DestroyLetsTheThreadFinishOnItsOwn) {
  Probe p;
  ASSERT_TRUE(p.gate.Create(nullptr, 0));
  Thread t;
  ASSERT_TRUE(t.Create(WaitOnGate, &p));
  ASSERT_TRUE(WaitFor([&] { return p.ran.load(); }));
  t.Destroy();
  EXPECT_EQ(nullptr, t.GetThreadHandle());
  EXPECT_EQ(0, t.GetThreadTid());
  p.gate.Release();
  EXPECT_TRUE(WaitFor([&] { return p.cleaned.load(); }));
}

class CountingSvc : public ThreadSvc {
 public:
  int svc() override {
    runs.fetch_add(1);
    ranOn.store(pthread_self());
    return 0;
  }
  void SetThreadPtr(Thread* pThread) override { threadPtr.store(pThread); }
  std::atomic<int> runs{0};
  std::atomic<pthread_t> ranOn{};
  std::atomic<Thread*> threadPtr{nullptr};
};

TEST(ThreadSvcTest, RunUsesCallerServiceUsesOwnThread) {
  CountingSvc s;
  EXPECT_EQ(0, s.Run());
  EXPECT_EQ(1, s.runs.load());
  EXPECT_TRUE(pthread_equal(pthread_self(), s.ranOn.load()));
  EXPECT_EQ(nullptr, s.threadPtr.load()) << "Run gives no thread of its own";

  pthread_t* h = s.Service();
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(h, s.GetServiceHandle());
  EXPECT_EQ(h, s.GetThreadHandle());
  EXPECT_EQ(static_cast<Thread*>(&s), s.threadPtr.load());
  pthread_t id = *h;
  s.WaitServiceStop();
  EXPECT_EQ(2, s.runs.load());
  EXPECT_TRUE(pthread_equal(id, s.ranOn.load()));
  EXPECT_FALSE(pthread_equal(pthread_self(), s.ranOn.load()));
  EXPECT_EQ(nullptr, s.GetServiceHandle());
  EXPECT_EQ(nullptr, s.GetThreadHandle());
}

class LoopSvc : public ThreadSvc {
 public:
  int svc() override {
    while (!stop.load()) {
      turns.fetch_add(1);
      ZEPSleep(1);
    }
    return 0;
  }
  std::atomic<bool> stop{false};
  std::atomic<int> turns{0};
};

TEST(ThreadSvcTest, WaitServiceStopWaitsForTheLoopToEnd) {
  LoopSvc s;
  s.Service();
  ASSERT_TRUE(WaitFor([&] { return s.turns.load() > 3; }));
  s.stop.store(true);
  s.WaitServiceStop();
  int after = s.turns.load();
  ZEPSleep(20);
  EXPECT_EQ(after, s.turns.load()) << "the loop still ran after WaitServiceStop";
}

// ---------------------------------------------------------------------------
// Mutex

struct Shared {
  Mutex lock;
  long counter = 0;  // deliberately plain: only the mutex protects it
};

void* Increment(void* arg) {
  auto* s = static_cast<Shared*>(arg);
  pthread_t self = pthread_self();
  for (int i = 0; i < 20000; ++i) {
    EXPECT_EQ(0, s->lock.Acquire(&self));
    ++s->counter;
    EXPECT_TRUE(s->lock.Release());
  }
  return nullptr;
}

TEST(MutexTest, ExcludesConcurrentWriters) {
  Shared s;
  Thread t[4];
  for (auto& th : t) ASSERT_TRUE(th.Create(Increment, &s));
  for (auto& th : t) th.Wait();
  EXPECT_EQ(4 * 20000, s.counter);
  EXPECT_EQ(nullptr, s.lock.GetAcquiredThread());
}

struct TryProbe {
  Mutex* m;
  std::atomic<int> result{-1};
};

void* TryFromOtherThread(void* arg) {
  auto* p = static_cast<TryProbe*>(arg);
  bool got = p->m->TryAcquire();
  if (got) p->m->Release();
  p->result.store(got ? 1 : 0);
  return nullptr;
}

TEST(MutexTest, OwnerIsRecordedAndClearedAndTryAcquireDoesNotBlock) {
  Mutex m;
  pthread_t self = pthread_self();
  EXPECT_EQ(nullptr, m.GetAcquiredThread());
  ASSERT_EQ(0, m.Acquire(&self));
  EXPECT_EQ(&self, m.GetAcquiredThread());

  TryProbe p;
  p.m = &m;
  Thread t;
  ASSERT_TRUE(t.Create(TryFromOtherThread, &p));
  t.Wait();
  EXPECT_EQ(0, p.result.load()) << "TryAcquire on a held mutex must fail";

  EXPECT_TRUE(m.Release());
  EXPECT_EQ(nullptr, m.GetAcquiredThread());
  ASSERT_TRUE(t.Create(TryFromOtherThread, &p));
  t.Wait();
  EXPECT_EQ(1, p.result.load());

  EXPECT_TRUE(m.TryAcquire(&self));
  EXPECT_EQ(&self, m.GetAcquiredThread());
  EXPECT_TRUE(m.Release());
}

TEST(MutexTest, UseAfterDestroyFailsCleanly) {
  Mutex m;
  EXPECT_TRUE(m.Destroy());
  EXPECT_FALSE(m.Destroy());
  EXPECT_NE(0, m.Acquire());
  EXPECT_FALSE(m.TryAcquire());
  EXPECT_FALSE(m.Release());
  EXPECT_TRUE(m.Create());
  EXPECT_EQ(0, m.Acquire());
  EXPECT_TRUE(m.Release());
}

// ---------------------------------------------------------------------------
// Semaphore

TEST(SemaphoreTest, ZeroCountBlocksUntilRelease) {
  Probe p;
  EXPECT_EQ(-1, p.gate.Acquire()) << "not created yet";
  ASSERT_TRUE(p.gate.Create("unused", 0));
  EXPECT_FALSE(p.gate.Create("unused", 0)) << "created twice";
  EXPECT_EQ(-1, p.gate.TryAcquire());
  Thread t;
  ASSERT_TRUE(t.Create(WaitOnGate, &p));
  ASSERT_TRUE(WaitFor([&] { return p.ran.load(); }));
  ZEPSleep(30);
  EXPECT_FALSE(p.cleaned.load()) << "Acquire returned with a zero count";
  EXPECT_TRUE(p.gate.Release());
  EXPECT_TRUE(WaitFor([&] { return p.cleaned.load(); }));
  t.Wait();
}

TEST(SemaphoreTest, InitialCountIsConsumedWithoutBlocking) {
  Semaphore s;
  ASSERT_TRUE(s.Create(nullptr, 2));
  EXPECT_EQ(0, s.TryAcquire());
  EXPECT_EQ(0, s.Acquire());
  EXPECT_EQ(-1, s.TryAcquire());
  EXPECT_TRUE(s.Destroy());
  EXPECT_FALSE(s.Release());
  Semaphore negative;
  EXPECT_FALSE(negative.Create(nullptr, -1));
}

struct PingPong {
  Semaphore ping, pong;
  std::atomic<int> seen{0};
};

void* Ponger(void* arg) {
  auto* pp = static_cast<PingPong*>(arg);
  for (int i = 0; i < 300; ++i) {
    if (pp->ping.Acquire() != 0) return nullptr;
    pp->seen.fetch_add(1);
    pp->pong.Release();
  }
  return nullptr;
}

TEST(SemaphoreTest, HandOffBetweenTwoThreads) {
  PingPong pp;
  ASSERT_TRUE(pp.ping.Create(nullptr, 0));
  ASSERT_TRUE(pp.pong.Create(nullptr, 0));
  Thread t;
  ASSERT_TRUE(t.Create(Ponger, &pp));
  for (int i = 0; i < 300; ++i) {
    pp.ping.Release();
    // Bounded wait for the answer.
    ASSERT_TRUE(WaitFor([&] { return pp.pong.TryAcquire() == 0; })) << "round " << i;
    ASSERT_EQ(i + 1, pp.seen.load());
  }
  t.Wait();
}

void NoopHandler(int) {}

TEST(SemaphoreTest, SignalDoesNotEndTheWait) {
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = NoopHandler;  // no SA_RESTART: sem_wait sees EINTR
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));
  Probe p;
  ASSERT_TRUE(p.gate.Create(nullptr, 0));
  std::atomic<int> rc{1};
  struct Arg {
    Probe* p;
    std::atomic<int>* rc;
    std::atomic<bool> returned{false};
  } arg{&p, &rc};
  Thread t;
  ASSERT_TRUE(t.Create(
      [](void* a) -> void* {
        auto* x = static_cast<Arg*>(a);
        x->p->ran.store(true);
        x->rc->store(x->p->gate.Acquire());
        x->returned.store(true);
        return nullptr;
      },
      &arg));
  ASSERT_TRUE(WaitFor([&] { return p.ran.load(); }));
  for (int i = 0; i < 5; ++i) {
    pthread_kill(*t.GetThreadHandle(), SIGUSR1);
    ZEPSleep(5);
  }
  EXPECT_FALSE(arg.returned.load()) << "a signal ended Acquire without a Release";
  p.gate.Release();
  EXPECT_TRUE(WaitFor([&] { return arg.returned.load(); }));
  EXPECT_EQ(0, rc.load());
  t.Wait();
  sigaction(SIGUSR1, &old, nullptr);
}

// ---------------------------------------------------------------------------
// Priority shim

TEST(PriorityTest, ValuesMapToSchedulingPriorities) {
  EXPECT_EQ(31, ZEPSchedPriority(1));
  EXPECT_EQ(15, ZEPSchedPriority(2));
  EXPECT_EQ(0, ZEPSchedPriority(3));
  EXPECT_EQ(15, ZEPSchedPriority(0));
  EXPECT_EQ(15, ZEPSchedPriority(99));
  // Normal is the nice value the process started with; high and low lie on
  // either side of it, within the kernel's range.
  int base = ZEPNiceForSchedPrio(15);
  EXPECT_LT(ZEPNiceForSchedPrio(31), base);
  EXPECT_GT(ZEPNiceForSchedPrio(0), base);
  EXPECT_GE(ZEPNiceForSchedPrio(INT_MIN), -20);
  EXPECT_LE(ZEPNiceForSchedPrio(INT_MAX), 19);
  EXPECT_EQ(ZEPNiceForSchedPrio(31), ZEPNiceForSchedPrio(1000));
}

int NiceOf(pid_t tid) {
  errno = 0;
  int n = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  return errno == 0 ? n : INT_MIN;
}

TEST(PriorityTest, SetPriorityStoresAndAppliesToTheThread) {
  Thread idle;
  EXPECT_TRUE(idle.SetPriority(3)) << "no thread: stored only";
  EXPECT_EQ(3, idle.GetPriority());

  Probe p;
  ASSERT_TRUE(p.gate.Create(nullptr, 0));
  Thread t;
  ASSERT_TRUE(t.Create(WaitOnGate, &p));
  pid_t tid = t.GetThreadTid();
  ASSERT_NE(0, tid);
  const int normal = ZEPNiceForSchedPrio(15);

  EXPECT_TRUE(t.SetPriority(2));
  EXPECT_EQ(normal, NiceOf(tid));

  bool low = t.SetPriority(3);
  EXPECT_EQ(3, t.GetPriority());
  // Demotion happens only where it can be undone.
  EXPECT_EQ(low ? ZEPNiceForSchedPrio(0) : normal, NiceOf(tid));
  EXPECT_TRUE(t.SetPriority(2)) << "a demoted thread must get back to normal";
  EXPECT_EQ(normal, NiceOf(tid));

  bool high = t.SetPriority(1);
  EXPECT_EQ(1, t.GetPriority()) << "stored even when it cannot be applied";
  if (high) {
    EXPECT_EQ(ZEPNiceForSchedPrio(31), NiceOf(tid));
  } else {
    EXPECT_LE(NiceOf(tid), normal) << "refused promotion must not demote";
  }
  t.SetPriority(2);
  p.gate.Release();
  t.Wait();
}

// ---------------------------------------------------------------------------
// ZEPSleep

TEST(SleepTest, SplitsMillisecondsAndSleepsAtLeastThatLong) {
  timeval tv = ZEPSleepTimeval(1500);
  EXPECT_EQ(1, tv.tv_sec);
  EXPECT_EQ(500000, tv.tv_usec);
  tv = ZEPSleepTimeval(999);
  EXPECT_EQ(0, tv.tv_sec);
  EXPECT_EQ(999000, tv.tv_usec);

  auto start = Clock::now();
  ZEPSleep(0);
  EXPECT_LT(ElapsedMs(start), 500);
  start = Clock::now();
  ZEPSleep(120);
  long ms = ElapsedMs(start);
  EXPECT_GE(ms, 115);
  EXPECT_LT(ms, 5000);
}

}  // namespace
