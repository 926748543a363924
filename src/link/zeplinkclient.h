// zeplinkclient.h — ZEPLinkClient, the base of nodes that keep one TCP command
// link to a server alive: connect, heartbeats, silence detection, reconnect.
// A subclass says what a heartbeat is (SendHB) and what a command means
// (ProcessCmd), and calls UpdateHBTime when the server's heartbeat arrives.
//
// Owns: the client socket while connected (cleared through the frame). A
// SendCmd on another thread reads it under CmdTransfer's send mutex, and the
// link lets it go there before the frame closes it, so a frame is never
// written to a descriptor number the system has given to another socket.
//
// Threads: doRunNode and every hook run on the node's thread; so do
// BreakLink and GetStatus. SendCmd, IsConnected, UpdateHBTime, Quit and the
// span setters may be called from any thread. SetServerHostPort and the
// other setters are for before the node starts. Locks: those of CmdTransfer
// (send mutex first) and the frame's (taken inside its calls); none is held
// while a hook runs.
#ifndef ZEP_LINK_ZEPLINKCLIENT_H
#define ZEP_LINK_ZEPLINKCLIENT_H

#include <atomic>
#include <cstdint>
#include <ctime>

#include "base/zepstring.h"
#include "cmd/cmdtransfer.h"
#include "events/timerhandle.h"

class ZEPLinkClient : public CmdTransfer {
 public:
  ZEPLinkClient(ZEPFrame* frame, bool useSocketThread);
  ~ZEPLinkClient() override;

  // With `reset`, the framing part gets a new incarnation first.
  void Init(bool reset, ZEPFrame* frame, bool useSocketThread);
  void Fini(bool reset);

  void doRunNode() override;
  virtual void GetStatus(ZEPString& out);
  virtual void ConnectFail() {}
  virtual void ConnectOK() {}
  virtual void GoingtoQuit() {}
  virtual void SendHB() = 0;
  virtual void NoHBDie() {}
  virtual void ProcessCmd(GeneralCmd_* cmd) = 0;
  virtual void DisconnBySVR() {}
  virtual void TimerInSec() {}
  virtual void OtherEvent(CEvent* /*event*/) {}
  virtual void BeginRun() {}

  void SetServerHostPort(const ZEPString& host, const ZEPString& port);
  void GetServerHostPort(ZEPString& host, ZEPString& port) const;
  ZEPString GetServerHost() const { return m_strHost; }
  ZEPString GetServerPort() const { return m_strPort; }
  int GetServerSocket() const { return m_nClientSocket.load(); }
  bool IsConnected() const { return m_nClientSocket.load() > 0; }

  // -1 without touching any socket when not connected.
  int SendCmd(unsigned long seq, unsigned short cmd, const char* data, unsigned short length,
              int encoding);
  // Numbers the command with the sequence counter.
  int SendCmd(unsigned short cmd, const char* data, unsigned short length, int encoding);

  void BreakLink();
  void UpdateHBTime();
  void Quit();

  void SetSendHBSpan(long sec) { m_nSendHBSpan.store(sec); }
  void SetDieSpan(long sec) { m_nDieSpan.store(sec); }
  void SetReconnectSpan(long sec) { m_nReconnectSpan.store(sec); }
  void SetTryReconnect(bool on) { m_bTryReconnect.store(on); }
  void SetUseSocketThread(bool on) { m_bUseSocketThread.store(on); }
  bool GetUseSocketThread() const { return m_bUseSocketThread.load(); }

 private:
  void Connect();
  void Clear();
  void OnTick();
  // Heartbeat, send, connect and start times: now.
  void ResetTimes();
  // Whether `ev` comes from the socket the link holds now: its number and,
  // when the event carries one, its generation.
  bool IsCurrentLink(const CTCPEvent* ev) const;
  void OnData(CTCPEvent* ev);

  std::atomic<uint32_t> m_nSeq{0};
  std::atomic<int> m_nClientSocket{-1};
  uint32_t m_nGeneration = 0;  // of the socket record the link attached to
  ZEPString m_strHost;
  ZEPString m_strPort;
  std::atomic<int64_t> m_nLastHBMs{0};
  std::atomic<int64_t> m_nLastSendMs{0};
  std::atomic<int64_t> m_nLastConnectMs{0};
  std::atomic<time_t> m_tLastHB{0};
  std::atomic<time_t> m_tStart{0};
  std::atomic<long> m_nSendHBSpan{30};
  std::atomic<long> m_nDieSpan{70};
  std::atomic<long> m_nReconnectSpan{10};
  std::atomic<bool> m_bTryReconnect{true};
  std::atomic<bool> m_bUseSocketThread{false};
  ZEPTimerHandle m_Ticker;
};

#endif  // ZEP_LINK_ZEPLINKCLIENT_H
