// The price of the deadlock detector and of the frame's report.
//
// BM_PlainMutexPair / BM_DetectedMutexPair: one Acquire+Release of a Mutex
// that every benchmark thread shares, plain and through the detector
// (ZEPDLAcquire/ZEPDLRelease: WaitMutex, Acquire, AcquiredMutex,
// ReleaseAcqMutex, Release), with one and with four threads.
// BM_PrintBTree / BM_PrintSocketMaps: the full report and the socket-map
// lines of a frame with 1000 UDP sockets spread over 200 registered nodes
// (polling engine, so no socket thread is started for them).
#include <benchmark/benchmark.h>

#include <vector>

#include "base/zepdeadlock.h"
#include "events/appnode.h"
#include "frame/zepframe.h"

namespace {

Mutex g_shared;

void BM_PlainMutexPair(benchmark::State& state) {
  for (auto _ : state) {
    g_shared.Acquire();
    g_shared.Release();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainMutexPair)->Threads(1)->Threads(4)->UseRealTime();

void BM_DetectedMutexPair(benchmark::State& state) {
  for (auto _ : state) {
    ZEPDLAcquire(g_shared, __FILE__, __LINE__);
    ZEPDLRelease(g_shared);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DetectedMutexPair)->Threads(1)->Threads(4)->UseRealTime();

class IdleNode : public CAppNode {
 public:
  explicit IdleNode(ZEPFrame* f) : CAppNode(f) {}
  void doRunNode() override {}
  void DestroyMe() override { delete this; }
};

// A frame that is never served: 200 registered, unstarted nodes with five
// UDP sockets each. Torn down by hand (no service loop to do it).
struct BigFrame {
  BigFrame() : frame(true, false) {
    for (int n = 0; n < 200; ++n) {
      IdleNode* node = new IdleNode(&frame);
      frame.AddNode(node, false);
      nodes.push_back(node);
      for (int s = 0; s < 5; ++s) frame.AddTCPEvent(node, frame.CreateUDPSocket(3), 0);
    }
  }
  ~BigFrame() {
    for (CAppNode* node : nodes) {
      frame.DelTCPEvent(node);
      frame.DelNode(node);
      node->downcount();
    }
  }
  ZEPFrame frame;
  std::vector<CAppNode*> nodes;
};

void BM_PrintBTree(benchmark::State& state) {
  BigFrame big;
  for (auto _ : state) {
    ZEPString out;
    big.frame.PrintBTree(out);
    benchmark::DoNotOptimize(out.GetLength());
  }
}
BENCHMARK(BM_PrintBTree)->Unit(benchmark::kMicrosecond);

void BM_PrintSocketMaps(benchmark::State& state) {
  BigFrame big;
  for (auto _ : state) {
    ZEPString out;
    big.frame.PrintSocketMaps(out);
    benchmark::DoNotOptimize(out.GetLength());
  }
}
BENCHMARK(BM_PrintSocketMaps)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
