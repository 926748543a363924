// Timer pass cost, for instruction counts (valgrind --tool=callgrind): the
// ticker's passes run on this thread, without a served frame, so every pass
// delivers the same ticks whatever the machine's load. 10,000 timers are set
// (`due` of them with a zero period, due on every pass, the rest an hour
// away, as a daemon's other timers), one node takes the ticks and this
// thread drains its queue after each pass, as the node's worker would.
//
//   timer_pass [PASSES] [DUE]   (defaults 2000, 10)
//
// Instructions per tick = (Ir of a run of 2N passes - Ir of N passes) /
// (N * DUE): the difference cancels the set-up.
#include <cstdio>
#include <cstdlib>

#include "events/appnode.h"
#include "frame/zepframe.h"

namespace {

class SinkNode : public CAppNode {
 public:
  explicit SinkNode(ZEPFrame* frame) : CAppNode(frame) {}
  void doRunNode() override {}
  void DestroyMe() override { delete this; }
};

}  // namespace

int main(int argc, char** argv) {
  const int passes = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int due = argc > 2 ? std::atoi(argv[2]) : 10;
  const int kTimers = 10000;
  ZEPFrame frame(true, true);
  SinkNode* node = new SinkNode(&frame);
  node->upcount();  // ours, past the frame's
  if (frame.AddNode(node, false) != 0) return 1;
  for (int i = 0; i < kTimers; ++i) {
    if (frame.AddTicker(node, i < due ? 0 : 3600 * 1000, -1, 0) == nullptr) return 1;
  }
  long ticks = 0;
  for (int p = 0; p < passes; ++p) {
    frame.SendTicker();
    while (CEvent* e = node->Queue().Dequeue()) {
      ++ticks;
      e->downcount();
    }
  }
  frame.DelTicker(node);
  frame.DelNode(node);
  std::printf("timer_pass: %ld ticks in %d passes\n", ticks, passes);
  node->downcount();
  return 0;
}
