// The framework side: a frame with the worker pool and the socket-thread
// engine (as dyrclient makes it), serving on its own thread, and one node
// that does the work. Every connection and datagram reaches the node as a
// CTCPEvent read by a socket thread; every tick as a CTimerEvent from the
// ticker; the hop is a CUserEvent passed between two nodes.
#include <cstring>
#include <thread>

#include "base/zepconst.h"
#include "events/appnode.h"
#include "events/events.h"
#include "frame/zepframe.h"
#include "peer_common.h"

namespace peer {
namespace {

enum class Work { kEcho, kBytes, kDatagrams, kTimers, kHop };

// The hop's token: a user event for `to`, queued as any producer would.
void SendToken(ZEPFrame* frame, CAppNode* to) {
  CUserEvent* ev = frame->AllocUserEvent();
  ev->SetAppID(to->GetAppID());
  SmartPtr<CUserEvent> hold(ev);
  frame->Enqueue(to, ev, true, true);
}

class WorkNode : public CAppNode {
 public:
  WorkNode(ZEPFrame* frame, Work work) : CAppNode(frame), m_Work(work) {}
  void DestroyMe() override { delete this; }
  void doRunNode() override {
    for (;;) {
      RecvEvent();
      CEvent* e = Event().Get();
      if (CQuitEvent::Narrow(e) != nullptr) break;
      if (CTCPEvent* t = CTCPEvent::Narrow(e)) {
        OnSocket(t);
      } else if (CTimerEvent* t = CTimerEvent::Narrow(e)) {
        m_pLog->Add(reinterpret_cast<uintptr_t>(t->GetTimerID()), NowNs());
      } else if (CUserEvent::Narrow(e) != nullptr) {
        OnToken();
      }
    }
    // The partner's reference (below) goes with this node's run.
    if (m_pOther != nullptr) m_pOther->downcount();
  }

  std::atomic<uint64_t>* m_pBytes = nullptr;   // kBytes
  benchutil::Counter* m_pCount = nullptr;      // kDatagrams
  TickLog* m_pLog = nullptr;                   // kTimers
  std::atomic<uint64_t>* m_pTrips = nullptr;   // kHop: set on the node that counts
  WorkNode* m_pOther = nullptr;                // kHop: referenced while this node runs
  const std::atomic<bool>* m_pStop = nullptr;  // kHop

 private:
  void OnSocket(CTCPEvent* t) {
    if (t->IsTcpNew()) {
      int child;
      std::memcpy(&child, t->GetBuffer(), sizeof(child));
      Frame()->AddTCPEvent(this, child, 0);
      return;
    }
    if (!t->IsTcpData() || t->GetRecvSize() <= 0) return;
    switch (m_Work) {
      case Work::kEcho:
        Frame()->SendData(t->GetSocket(), t->GetBuffer(), t->GetRecvSize());
        break;
      case Work::kBytes:
        m_pBytes->fetch_add(static_cast<uint64_t>(t->GetRecvSize()), std::memory_order_relaxed);
        break;
      case Work::kDatagrams:
        m_pCount->Add(1);
        break;
      default:
        break;
    }
  }
  void OnToken() {
    if (m_pTrips != nullptr) m_pTrips->fetch_add(1, std::memory_order_relaxed);
    if (m_pStop->load(std::memory_order_relaxed)) return;
    SendToken(Frame(), m_pOther);
  }

  Work m_Work;
};

class FrameSide : public PeerSide {
 public:
  // bThreads: the socket-thread engine (as the daemon runs); otherwise the
  // polling configuration, one service thread polling every socket.
  explicit FrameSide(bool bThreads) : m_Frame(true, bThreads) {
    // Each connection is held to 10 MiB/s by default: measure the engine,
    // not that policy.
    m_Frame.SetDefaultConnBandwidth(1 << 30);
    // The polling configuration also holds all sockets together to 10 MiB/s.
    m_Frame.SetDefaultTotalBandwidth(1 << 30);
    m_Frame.Service();
  }
  ~FrameSide() override {
    m_bStop.store(true);
    m_Frame.ExitFrame();
    m_Frame.WaitServiceStop();
  }

  int StartEcho() override { return Listen(Node(Work::kEcho), ZEP_PROTO_TCP); }
  int StartStreamSink(std::atomic<uint64_t>* bytes) override {
    WorkNode* n = Node(Work::kBytes);
    n->m_pBytes = bytes;
    return Listen(n, ZEP_PROTO_TCP);
  }
  int StartUdpSink(benchutil::Counter* count) override {
    WorkNode* n = Node(Work::kDatagrams);
    n->m_pCount = count;
    return Listen(n, ZEP_PROTO_UDP);
  }
  int StartTimers(int count, int periodMs, TickLog* log) override {
    if (count <= 0 || periodMs <= 0) return -1;
    WorkNode* n = Node(Work::kTimers);
    n->m_pLog = log;
    // The frame has no first delay of its own: spread the adds over one
    // period instead, timer i at i/count of it.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      std::this_thread::sleep_until(start +
                                    std::chrono::microseconds(1000LL * periodMs * i / count));
      if (m_Frame.AddTicker(n, static_cast<unsigned long>(periodMs), -1, 0) == nullptr) return -1;
    }
    return 0;
  }
  int StartHop(std::atomic<uint64_t>* trips) override {
    WorkNode* a = new WorkNode(&m_Frame, Work::kHop);
    WorkNode* b = new WorkNode(&m_Frame, Work::kHop);
    a->m_pTrips = trips;
    for (WorkNode* n : {a, b}) {
      n->m_pStop = &m_bStop;
      n->m_pOther = n == a ? b : a;
      n->upcount();  // the partner's reference, dropped when the partner's run ends
    }
    if (m_Frame.AddNode(a, true) != 0 || m_Frame.AddNode(b, true) != 0) return -1;
    SendToken(&m_Frame, a);
    return 0;
  }

 private:
  WorkNode* Node(Work work) {
    WorkNode* n = new WorkNode(&m_Frame, work);
    m_Frame.AddNode(n, true);
    return n;
  }
  int Listen(WorkNode* n, int protocol) {
    int s = m_Frame.CreateServer("127.0.0.1", "0", protocol);
    if (s < 0 || m_Frame.AddTCPEvent(n, s, 0) != 0) return -1;
    return m_Frame.GetLocalPort(s);
  }

  ZEPFrame m_Frame;
  std::atomic<bool> m_bStop{false};
};

}  // namespace

std::unique_ptr<PeerSide> MakeFrameSide() { return std::unique_ptr<PeerSide>(new FrameSide(true)); }
std::unique_ptr<PeerSide> MakeFramePollSide() {
  return std::unique_ptr<PeerSide>(new FrameSide(false));
}

}  // namespace peer
