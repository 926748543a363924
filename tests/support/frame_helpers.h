// Shared pieces of the frame tests: a node that records what it receives,
// bounded waits (every wait in these tests has a deadline) and the check that
// a frame drained before it is destroyed (used by the socket tests too).
#ifndef ZEP_TESTS_SUPPORT_FRAME_HELPERS_H
#define ZEP_TESTS_SUPPORT_FRAME_HELPERS_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "events/appnode.h"
#include "events/events.h"
#include "frame/zepframe.h"
#include "net/zepmttcp.h"
#include "waitfor.h"

namespace zeptest {

using Clock = std::chrono::steady_clock;

// What a frame still holds. Every count is zero once the frame drained.
struct FrameLeft {
  bool serving = false;
  int nodes = 0;
  int quits = 0;
  int timers = 0;
  unsigned events = 0;       // out of the five event pools
  int socketMaps = 0;        // sockets with nodes attached
  unsigned socketSlots = 0;  // node-to-socket entries
  int sockets = 0;           // records in the socket engine

  static FrameLeft Of(ZEPFrame& frame) {
    FrameLeft l;
    l.serving = frame.IsServing();
    l.nodes = frame.GetNodeCount();
    l.quits = frame.GetQuitCount();
    l.timers = frame.GetTickerCount();
    l.events = frame.GetEventsOutstanding();
    l.socketMaps = frame.GetTCP2NodeCount();
    l.socketSlots = frame.GetSocketPoolCount();
    l.sockets = frame.GetTCPEngine()->GetSocketCount();
    return l;
  }
  bool Drained() const {
    return !serving && nodes == 0 && quits == 0 && timers == 0 && events == 0 && socketMaps == 0 &&
           socketSlots == 0 && sockets == 0;
  }
  std::string Text() const {
    std::ostringstream o;
    o << (serving ? "still serving, " : "") << nodes << " nodes, " << quits << " on the quit list, "
      << timers << " timers, " << events << " events, " << socketMaps << " socket maps, "
      << socketSlots << " node socket slots, " << sockets << " socket records";
    return o.str();
  }
};

// Fails the calling test unless the frame let go of everything: no node
// registered or on the quit list, no timer record, no event out of its pools,
// no socket attached to a node and no socket record left in the engine. Call
// it once the service loop stopped and the test dropped the nodes and events
// it held, just before the frame is deleted. A pooled node's worker lets go
// of the node (and with it the node's current event) after the loop stopped,
// and a socket thread frees the record of a started socket on its own time,
// so the counts get up to `ms` to reach zero.
inline void ExpectFrameDrained(ZEPFrame& frame, int ms = 5000, const char* file = __builtin_FILE(),
                               int line = __builtin_LINE()) {
  FrameLeft left;
  WaitFor(
      [&] {
        left = FrameLeft::Of(frame);
        return left.Drained();
      },
      ms);
  if (!left.Drained()) ADD_FAILURE_AT(file, line) << "frame not drained: " << left.Text();
}

struct Tick {
  TimeEvent_tag* id;
  Clock::time_point at;
  uint64_t serial;  // of the arming that made it
};

// A node that loops on RecvEvent, records timer ticks and user tags, and
// returns on a quit event (or when `handler` returns true or leaveOnNext is
// set). Its destruction
// is reported through `destroyed`.
class RecNode : public CAppNode {
 public:
  explicit RecNode(ZEPFrame* frame, std::atomic<int>* destroyed = nullptr)
      : CAppNode(frame), m_pDestroyed(destroyed) {}
  ~RecNode() override {
    // The hook runs before the count moves: a test that waits for the count
    // then reads what the hook recorded.
    if (onDestroy) onDestroy();
    if (m_pDestroyed != nullptr) m_pDestroyed->fetch_add(1);
  }
  void DestroyMe() override { delete this; }

  void doRunNode() override {
    running.store(true);
    for (;;) {
      if (gate) gate();
      RecvEvent();
      CEvent* e = Event().Get();
      if (CQuitEvent::Narrow(e) != nullptr) {
        quitEvent.store(e);
        if (onQuit) onQuit();
        return;
      }
      {
        std::lock_guard<std::mutex> lock(mu);
        if (CTimerEvent* t = CTimerEvent::Narrow(e))
          ticks.push_back({t->GetTimerID(), Clock::now(), t->GetTimerSerial()});
        if (CUserEvent* u = CUserEvent::Narrow(e)) tags.push_back(u->GetTag());
      }
      if (handler && handler(e)) return;
      if (leaveOnNext.load()) return;
      received.fetch_add(1);
    }
  }

  size_t TickCount(TimeEvent_tag* id) {
    std::lock_guard<std::mutex> lock(mu);
    size_t n = 0;
    for (const Tick& t : ticks) n += (t.id == id);
    return n;
  }
  // The ticks of one arming only, not of other timers of the same record.
  size_t TickCount(const ZEPTimerHandle& timer) {
    std::lock_guard<std::mutex> lock(mu);
    size_t n = 0;
    for (const Tick& t : ticks) n += (t.id == timer.GetID() && t.serial == timer.GetSerial());
    return n;
  }
  std::vector<Tick> Ticks() {
    std::lock_guard<std::mutex> lock(mu);
    return ticks;
  }

  std::atomic<bool> running{false};
  std::atomic<int> received{0};
  std::atomic<CEvent*> quitEvent{nullptr};
  std::atomic<bool> leaveOnNext{false};  // return after the next event
  // Set these before the node starts.
  std::function<bool(CEvent*)> handler;  // true: leave the loop
  std::function<void()> gate;            // runs before each receive
  std::function<void()> onQuit;
  std::function<void()> onDestroy;

 private:
  std::atomic<int>* m_pDestroyed;
  std::mutex mu;
  std::vector<Tick> ticks;
  std::vector<int> tags;
};

// Runs a frame's service loop on a thread of its own, as an embedding caller
// does, and shuts it down (ExitFrame + WaitServiceStop) at the end, checking
// that the frame drained before deleting it.
class ServedFrame {
 public:
  explicit ServedFrame(bool pool = true) : frame(new ZEPFrame(pool, true)) { frame->Service(); }
  ~ServedFrame() { Stop(); }
  void Stop() {
    if (frame == nullptr) return;
    frame->ExitFrame();
    frame->WaitServiceStop();
    ExpectFrameDrained(*frame);
    delete frame;
    frame = nullptr;
  }
  ZEPFrame* operator->() { return frame; }
  ZEPFrame* frame;
};

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_FRAME_HELPERS_H
