// flowrecorder.h — a queue's flow control that only records what it is
// asked (socket, generation, paused), and socket events made by hand for a
// queue under test.
#ifndef ZEP_TESTS_SUPPORT_FLOWRECORDER_H
#define ZEP_TESTS_SUPPORT_FLOWRECORDER_H

#include <cstdint>
#include <tuple>
#include <vector>

#include "events/events.h"
#include "events/messageq.h"

namespace zeptest {

struct RecordingFlowControl : ZEPFlowControl {
  std::vector<std::tuple<int, uint32_t, bool>> calls;
  int SetFCPaused(int sock, uint32_t gen, bool paused) override {
    calls.emplace_back(sock, gen, paused);
    return 0;
  }
};

// A socket event of `sock` and its generation, outside any pool.
inline CTCPEvent* SocketEvent(int sock, uint32_t gen) {
  CTCPEvent* e = new CTCPEvent;
  e->SetSocket(sock);
  e->SetGeneration(gen);
  return e;
}

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_FLOWRECORDER_H
