// zeplinkserver.h — ZEPLinkSvrChild, the base of nodes that serve one accepted
// TCP command connection: heartbeats to the client, and an end when the
// client disconnects, falls silent, sends what cannot be framed, or a send
// fails. A subclass says what a heartbeat is (SendHB) and what a command
// means (ProcessCmd), and calls UpdateHBTime when the client's heartbeat
// arrives.
//
// Owns: nothing beyond CmdTransfer; the child socket is the listener's gift
// and the frame closes it when the node has quit. The child lets it go under
// CmdTransfer's send mutex when its loop ends, so a SendCmd on another thread
// never writes to the descriptor once the frame may close it.
//
// Threads: doRunNode and every hook run on the node's thread; so does
// GetStatus. SendCmd, UpdateHBTime, Quit and the span setters may be called
// from any thread. Locks: those of CmdTransfer and the frame's (inside its
// calls); none is held while a hook runs.
#ifndef ZEP_LINK_ZEPLINKSERVER_H
#define ZEP_LINK_ZEPLINKSERVER_H

#include <atomic>
#include <cstdint>
#include <ctime>

#include "base/zepstring.h"
#include "cmd/cmdtransfer.h"
#include "events/timerhandle.h"

class ZEPLinkSvrChild : public CmdTransfer {
 public:
  ZEPLinkSvrChild(ZEPFrame* frame, int childSocket, bool useSocketThread);
  ~ZEPLinkSvrChild() override;

  void Init(bool reset, ZEPFrame* frame, int childSocket, bool useSocketThread);
  void Fini(bool reset);

  void doRunNode() override;
  virtual void GoingtoQuit() {}
  virtual void SendHB() = 0;
  virtual void NoHBDie() {}
  virtual void ProcessCmd(GeneralCmd_* cmd) = 0;
  virtual void DisconnByCln() {}
  virtual void TimerInSec() {}
  virtual void OtherEvent(CEvent* /*event*/) {}
  virtual void BeginRun() {}

  void GetStatus(ZEPString& out);

  // A failed send ends the child (Quit) and returns the failure.
  int SendCmd(unsigned long seq, unsigned short cmd, const char* data, unsigned short length,
              int encoding);
  int SendCmd(unsigned short cmd, const char* data, unsigned short length, int encoding);

  void SetSendHBSpan(long sec) { m_nSendHBSpan.store(sec); }
  void SetDieSpan(long sec) { m_nDieSpan.store(sec); }
  // The accepted socket; -1 once the child's loop has ended.
  int GetChildSocket() const { return m_nChildSocket.load(); }
  void UpdateHBTime();
  void Quit();
  void SetUseSocketThread(bool on) { m_bUseSocketThread.store(on); }
  bool GetUseSocketThread() const { return m_bUseSocketThread.load(); }

 private:
  // True when the child must end.
  bool OnTick();
  // The loop of doRunNode, which lets the socket go after it.
  void RunChild();

  std::atomic<uint32_t> m_nSeq{0};
  // Set before the node starts; -1 (TakeSendSocket) when its loop ends.
  std::atomic<int> m_nChildSocket{-1};
  std::atomic<int64_t> m_nLastHBMs{0};
  std::atomic<int64_t> m_nLastSendMs{0};
  std::atomic<time_t> m_tLastHB{0};
  std::atomic<time_t> m_tConnect{0};
  std::atomic<time_t> m_tStart{0};
  std::atomic<long> m_nSendHBSpan{30};
  std::atomic<long> m_nDieSpan{70};
  std::atomic<bool> m_bUseSocketThread{false};
  std::atomic<bool> m_bQuitSent{false};
  ZEPTimerHandle m_Ticker;
};

#endif  // ZEP_LINK_ZEPLINKSERVER_H
