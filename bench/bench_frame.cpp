// Cross-thread hand-off through the frame: a producer thread enqueues user
// events with ZEPFrame::Enqueue (registry check, queue accounting, semaphore)
// into a node whose worker receives them, against the same hand-off through a
// plain mutex + condition variable + deque of ints. Both producers keep at
// most kWindow items in flight, so the numbers measure the hand-off rather
// than how each side copes with an ever-growing backlog.
//
// BM_Queue_HandOff_OneThread runs the same path (allocate, frame Enqueue,
// RecvEvent, release at the next receive) on one thread against a node that
// is registered but not started, so its instruction count per event (under
// callgrind) does not depend on scheduling or on the machine's load.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "events/appnode.h"
#include "frame/zepframe.h"

namespace {

const int64_t kWindow = 1024;

class SinkNode : public CAppNode {
 public:
  explicit SinkNode(ZEPFrame* frame) : CAppNode(frame) {}
  void doRunNode() override {
    for (;;) {
      RecvEvent();
      if (CQuitEvent::Narrow(Event().Get()) != nullptr) return;
      received.fetch_add(1, std::memory_order_release);
    }
  }
  void DestroyMe() override { delete this; }
  std::atomic<int64_t> received{0};
};

void BM_Queue_CrossThread(benchmark::State& state) {
  ZEPFrame frame(true, true);
  frame.Service();
  SinkNode* node = new SinkNode(&frame);
  frame.AddNode(node, true);
  const uint32_t id = node->GetAppID();
  int64_t sent = 0;
  for (auto _ : state) {
    while (sent - node->received.load(std::memory_order_acquire) >= kWindow)
      std::this_thread::yield();
    CUserEvent* ev = frame.AllocUserEvent();
    ev->SetAppID(id);
    SmartPtr<CUserEvent> hold(ev);
    frame.Enqueue(node, ev, true, true);
    ++sent;
  }
  while (node->received.load(std::memory_order_acquire) < sent) std::this_thread::yield();
  state.SetItemsProcessed(sent);
  frame.ExitFrame();
  frame.WaitServiceStop();
}
BENCHMARK(BM_Queue_CrossThread)->UseRealTime();

void BM_Queue_HandOff_OneThread(benchmark::State& state) {
  ZEPFrame frame(true, true);
  frame.Service();
  SinkNode* node = new SinkNode(&frame);
  frame.AddNode(node, false);  // never started: this thread is its receiver
  const uint32_t id = node->GetAppID();
  const int batch = static_cast<int>(state.range(0));
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) {
      CUserEvent* ev = frame.AllocUserEvent();
      ev->SetAppID(id);
      SmartPtr<CUserEvent> hold(ev);
      frame.Enqueue(node, ev, true, true);
    }
    for (int i = 0; i < batch; ++i) node->RecvEvent();
  }
  state.SetItemsProcessed(state.iterations() * batch);
  // The last event goes with the node's finalisation: the frame's shutdown
  // queues a quit event nobody receives and drops the node.
  frame.ExitFrame();
  frame.WaitServiceStop();
}
BENCHMARK(BM_Queue_HandOff_OneThread)->Arg(1)->Arg(64);

void BM_StdQueue_CrossThread(benchmark::State& state) {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<int> q;
  bool stop = false;
  std::atomic<int64_t> received{0};
  std::thread consumer([&] {
    for (;;) {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait(lock, [&] { return stop || !q.empty(); });
      if (q.empty()) return;
      q.pop_front();
      lock.unlock();
      received.fetch_add(1, std::memory_order_release);
    }
  });
  int64_t sent = 0;
  for (auto _ : state) {
    while (sent - received.load(std::memory_order_acquire) >= kWindow) std::this_thread::yield();
    {
      std::lock_guard<std::mutex> lock(mu);
      q.push_back(static_cast<int>(sent));
    }
    cv.notify_one();
    ++sent;
  }
  while (received.load(std::memory_order_acquire) < sent) std::this_thread::yield();
  state.SetItemsProcessed(sent);
  {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  cv.notify_one();
  consumer.join();
}
BENCHMARK(BM_StdQueue_CrossThread)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
