// cmdlink.h — the two ends of the cmdlink program, and the pattern for a link
// of one's own: derive from ZEPLinkSvrChild or ZEPLinkClient, say what a
// heartbeat is (SendHB) and what a received command means (ProcessCmd).
//
// EchoChild serves one accepted connection: code 1 is the heartbeat, every
// other command is echoed. EchoListener hands every accepted socket to a new
// EchoChild. SendClient sends commands and collects their echoes.
//
// Threads: the nodes' hooks run on their own threads; SendClient's Wait*
// and the counters may be used from any thread. Output lines go to stdout,
// each written and flushed whole.
#ifndef ZEP_TOOLS_CMDLINK_H
#define ZEP_TOOLS_CMDLINK_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "frame/zepframe.h"
#include "link/zeplinkclient.h"
#include "link/zeplinkserver.h"

// The command code every link here uses as its heartbeat.
constexpr unsigned short kHeartbeatCode = 1;

struct ServeOptions {
  int nEncoding = -1;  // -1: answer in the encoding the command came in
  unsigned char key[8];
  bool bKey = false;
  long nHBSpan = 30;
  long nDieSpan = 70;
  bool bCheckSum = true;
};

class EchoChild : public ZEPLinkSvrChild {
 public:
  EchoChild(ZEPFrame* frame, int sock, const ServeOptions& opts);
  void DestroyMe() override { delete this; }
  void SendHB() override;
  void ProcessCmd(GeneralCmd_* cmd) override;

 private:
  int m_nEncoding;
};

class EchoListener : public CAppNode {
 public:
  EchoListener(ZEPFrame* frame, const ServeOptions& opts) : CAppNode(frame), m_Opts(opts) {}
  void DestroyMe() override { delete this; }
  void doRunNode() override;

 private:
  ServeOptions m_Opts;
};

class SendClient : public ZEPLinkClient {
 public:
  SendClient(ZEPFrame* frame, int expected);
  void DestroyMe() override { delete this; }
  void SendHB() override;
  void ProcessCmd(GeneralCmd_* cmd) override;
  void ConnectOK() override { Settle(1); }
  void ConnectFail() override { Settle(-1); }
  void DisconnBySVR() override { Settle(-1); }

  // Waits up to `ms` for the first connect: true when it succeeded.
  bool WaitConnected(int ms);
  // Waits up to `ms` for every echo: true when all came back.
  bool WaitEchoes(int ms);

 private:
  void Settle(int state);

  const int m_nExpected;
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  int m_nState = 0;   // 0 connecting, 1 connected, -1 failed or lost
  int m_nEchoes = 0;  // under m_Mutex
};

#endif  // ZEP_TOOLS_CMDLINK_H
