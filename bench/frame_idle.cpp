// Idle cost: CPU seconds (user + system, getrusage) used by the process while
// a served frame with one idle node runs for 30 s (override with argv[1]).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "events/appnode.h"
#include "frame/zepframe.h"

namespace {

class IdleNode : public CAppNode {
 public:
  explicit IdleNode(ZEPFrame* frame) : CAppNode(frame) {}
  void doRunNode() override {
    for (;;) {
      RecvEvent();
      if (CQuitEvent::Narrow(Event().Get()) != nullptr) return;
    }
  }
  void DestroyMe() override { delete this; }
};

double CpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  ZEPFrame frame(true, true);
  frame.Service();
  frame.AddNode(new IdleNode(&frame), true);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // start-up done
  const double before = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double used = CpuSeconds() - before;
  frame.ExitFrame();
  frame.WaitServiceStop();
  std::printf("frame_idle: %.3f CPU s over %d s (%.2f%% of one core)\n", used, seconds,
              100.0 * used / seconds);
  return 0;
}
