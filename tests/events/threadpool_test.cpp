#include "events/threadpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "events/appnode.h"
#include "support/waitfor.h"

namespace {

using Clock = std::chrono::steady_clock;

using zeptest::WaitFor;

// A node without a frame that runs until released; it records the thread
// priority it found and may lower it.
class PoolNode : public CAppNode {
 public:
  void doRunNode() override {
    Thread* t = GetThreadPtr();
    worker.store(t);
    startPriority.store(t != nullptr ? t->GetPriority() : -1);
    running.store(true);
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (lowerPriority && t != nullptr) t->SetPriority(3);
    finished.store(true);
  }
  void DestroyMe() override { destroyed->fetch_add(1); }

  std::atomic<bool> running{false}, release{false}, finished{false};
  std::atomic<int> startPriority{0};
  std::atomic<Thread*> worker{nullptr};
  bool lowerPriority = false;
  std::atomic<int>* destroyed = nullptr;
};

void Post(CThreadPool& pool, CAppNode* node) {
  node->MarkStartPooled();
  SmartPtr<CThreadEvent> work(new CThreadEvent(node));
  pool.Enqueue(work.Get(), true);
}

}  // namespace

// Five busy nodes grow the pool to ten threads; the sixth node starts at once
// on a free one; the pool only ends after the nodes' loops have ended, and
// every work item let go of its node.
TEST(ThreadPool, GrowsWhenAllBusyAndDrainsOnDestroy) {
  std::atomic<int> destroyed{0};
  PoolNode nodes[6];
  for (PoolNode& n : nodes) {
    n.destroyed = &destroyed;
    n.upcount();  // the test's own reference
  }
  auto* pool = new CThreadPool(5);
  EXPECT_EQ(5, pool->GetTotalThread());
  for (int i = 0; i < 5; ++i) Post(*pool, &nodes[i]);
  ASSERT_TRUE(WaitFor([&] { return pool->GetUsedThread() == 5; }, 5000));
  EXPECT_EQ(10, pool->GetTotalThread());
  Post(*pool, &nodes[5]);
  EXPECT_TRUE(WaitFor([&] { return nodes[5].running.load(); }, 5000));
  EXPECT_EQ(10, pool->GetTotalThread());

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (PoolNode& n : nodes) n.release.store(true);
  });
  pool->DestroyAllThread();  // returns only after every node loop ended
  for (PoolNode& n : nodes) EXPECT_TRUE(n.finished.load());
  releaser.join();
  delete pool;
  for (PoolNode& n : nodes) EXPECT_EQ(1, n.GetRefCount());
  EXPECT_EQ(0, destroyed.load());
}

// A node that lowered its worker's priority leaves the worker at normal
// priority for the next node.
TEST(ThreadPool, WorkerPriorityIsResetAfterANode) {
  std::atomic<int> destroyed{0};
  PoolNode node;
  node.destroyed = &destroyed;
  node.upcount();
  node.lowerPriority = true;
  node.release.store(true);
  CThreadPool pool(2);
  Post(pool, &node);
  ASSERT_TRUE(WaitFor([&] { return node.finished.load(); }, 5000));
  Thread* worker = node.worker.load();
  ASSERT_NE(nullptr, worker);
  EXPECT_EQ(2, node.startPriority.load());
  EXPECT_TRUE(WaitFor([&] { return worker->GetPriority() == 2; }, 5000));
}

namespace {
// A job that keeps its thread busy briefly, so that every thread is busy and
// the pool grows while it is being shut down.
class BusyJob : public CPoolWork {
 public:
  explicit BusyJob(std::atomic<int>* ran) : m_pRan(ran) {}
  void DestroyMe() override { delete this; }
  void RunWork(Thread*) override {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    m_pRan->fetch_add(1);
  }

 private:
  std::atomic<int>* m_pRan;
};
}  // namespace

TEST(WorkerPool, GrowthRacingShutdownNeverStrandsAThread) {
  for (int round = 0; round < 150; ++round) {
    std::atomic<int> ran{0};
    ZEPWorkerPool* pool = new ZEPWorkerPool(2);
    for (int i = 0; i < 4; ++i) {
      SmartPtr<BusyJob> job(new BusyJob(&ran));
      pool->Enqueue(job.Get(), true);
    }
    if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(100));
    // Every job was queued before the quits, so all of them run; a thread
    // added behind the shutdown's back would never be joined and this would
    // hang (or the pool would be destroyed under it).
    pool->DestroyAllThread();
    EXPECT_EQ(4, ran.load()) << "round " << round;
    EXPECT_EQ(0, pool->GetTotalThread());
    delete pool;
  }
}
