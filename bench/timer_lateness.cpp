// Timer lateness: 50 repeating timers of 100 ms for 5 s on a running frame;
// prints the p50 and p99 of (delivery time - due time) in milliseconds. The
// due time of each tick is the previous tick's delivery pass plus 100 ms
// (the frame measures periods from the pass that delivered), so the first
// tick of each timer is due 100 ms after AddTicker.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "events/appnode.h"
#include "frame/zepframe.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimerNode : public CAppNode {
 public:
  explicit TimerNode(ZEPFrame* frame) : CAppNode(frame) {}
  void doRunNode() override {
    for (;;) {
      RecvEvent();
      if (CQuitEvent::Narrow(Event().Get()) != nullptr) return;
      if (CTimerEvent* t = CTimerEvent::Narrow(Event().Get())) {
        std::lock_guard<std::mutex> lock(mu);
        arrivals.push_back({t->GetTimerID(), Clock::now()});
      }
    }
  }
  void DestroyMe() override { delete this; }
  struct Arrival {
    TimeEvent_tag* id;
    Clock::time_point at;
  };
  std::mutex mu;
  std::vector<Arrival> arrivals;
};

}  // namespace

int main() {
  const int kTimers = 50;
  const auto kPeriod = std::chrono::milliseconds(100);
  ZEPFrame frame(true, true);
  frame.Service();
  TimerNode* node = new TimerNode(&frame);
  node->upcount();  // keep it readable after the frame let go
  frame.AddNode(node, true);
  std::vector<TimeEvent_tag*> ids;
  std::vector<Clock::time_point> added;
  for (int i = 0; i < kTimers; ++i) {
    ids.push_back(frame.AddTicker(node, 100, -1, 0));
    added.push_back(Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // spread the phases
  }
  std::this_thread::sleep_for(std::chrono::seconds(5));
  for (TimeEvent_tag* id : ids) frame.DelTicker(id);
  frame.ExitFrame();
  frame.WaitServiceStop();

  std::vector<double> late;
  for (int i = 0; i < kTimers; ++i) {
    Clock::time_point due = added[i] + kPeriod;
    for (const auto& a : node->arrivals) {
      if (a.id != ids[i]) continue;
      late.push_back(std::chrono::duration<double, std::milli>(a.at - due).count());
      due = a.at + kPeriod;
    }
  }
  std::sort(late.begin(), late.end());
  auto pct = [&](double p) { return late[static_cast<size_t>(p * (late.size() - 1))]; };
  std::printf("timer_lateness: %zu ticks of %d timers of 100 ms over 5 s\n", late.size(), kTimers);
  std::printf("p50 = %.2f ms, p99 = %.2f ms, max = %.2f ms\n", pct(0.50), pct(0.99), late.back());
  node->downcount();
  return 0;
}
