// The socket-thread pool is the framework's one worker pool: it grows by the
// same rule as the node workers.
#include "net/zepsktthrdpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "events/threadpool.h"
#include "support/waitfor.h"

using zeptest::WaitFor;

TEST(WorkerPool, SocketThreadsAndNodeWorkersShareTheGrowthRule) {
  ZEPSockThreadPool sockets(ZEP_POOL_GROWTH);
  CThreadPool nodes(ZEP_POOL_GROWTH);
  EXPECT_EQ(ZEP_POOL_GROWTH, sockets.GetThreadCount());
  EXPECT_EQ(ZEP_POOL_GROWTH, nodes.GetTotalThread());
  std::atomic<bool> release{false};
  std::atomic<int> ran{0};
  class Hold : public CPoolWork {
   public:
    Hold(std::atomic<bool>* r, std::atomic<int>* n) : m_pRelease(r), m_pRan(n) {}
    void DestroyMe() override { delete this; }
    void RunWork(Thread*) override {
      while (!m_pRelease->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      m_pRan->fetch_add(1);
    }

   private:
    std::atomic<bool>* m_pRelease;
    std::atomic<int>* m_pRan;
  };
  for (ZEPWorkerPool* p :
       {static_cast<ZEPWorkerPool*>(&sockets), static_cast<ZEPWorkerPool*>(&nodes)}) {
    for (int i = 0; i < ZEP_POOL_GROWTH; ++i) {
      SmartPtr<Hold> job(new Hold(&release, &ran));
      p->Enqueue(job.Get(), true);
    }
  }
  EXPECT_TRUE(WaitFor([&] { return sockets.GetBusyCount() == ZEP_POOL_GROWTH; }));
  EXPECT_TRUE(WaitFor([&] { return nodes.GetUsedThread() == ZEP_POOL_GROWTH; }));
  EXPECT_EQ(2 * ZEP_POOL_GROWTH, sockets.GetThreadCount());
  EXPECT_EQ(2 * ZEP_POOL_GROWTH, nodes.GetTotalThread());
  release.store(true);
  EXPECT_TRUE(WaitFor([&] { return ran.load() == 2 * ZEP_POOL_GROWTH; }));
}
