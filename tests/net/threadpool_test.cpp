#include "net/threadpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "frame/appnode.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& cond, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

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
