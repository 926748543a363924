// tnlog.h — the process log with a copy of every line to telnet consoles.
//
// Owns: nothing beyond ZEPLog; it borrows the console sockets (each owned by
// its console node) and the frame, which is handed to the sender only: it
// must live while a socket is attached (the consoles detach before the frame
// stops, and the entry point deletes the frame before the log).
//
// Consoles: the console node of this program (telnet/telnetd.h) attaches
// its socket with AddSocket when its user asks for the copy and takes it off
// with RemoveSocket, under g_LogMutex, when the user stops it or the session
// ends. SetSocket/GetSocket keep one more socket of their own, for a caller
// that attaches a single console that way (SetSocket(-1) detaches it); the
// program's console does not use it. Up to kMaxExtraSockets sockets besides
// it get every line, and one console's logout never cuts another's copy.
//
// Threads and locks: as ZEPLog — PostProcess runs inside Log() under
// g_LogMutex. The socket calls may be made from any thread without a lock:
// the slots are atomics. A console that closes its connection after
// RemoveSocket must call it under g_LogMutex, which guarantees that no send
// to the old descriptor is still under way.
//
// Sending: every line leaves through the hook g_pTNLogSend(frame, socket,
// line). The log sits below the frame and never calls it directly: the frame
// installs its sender (TNLogFrameSend, zepframe.h: ZEPFrame::SendData of the
// whole zero-terminated text) when it is built and no hook is set; an
// application or a test may install its own. Without a hook, or without a
// frame, no copy is sent.
#ifndef ZEP_LOG_TNLOG_H
#define ZEP_LOG_TNLOG_H

#include <atomic>

#include "log/zeplog.h"

class ZEPFrame;

// 0 when the whole zero-terminated line was written, -1 otherwise.
using TNLogSendFn = int (*)(ZEPFrame* pFrame, int nSocket, const char* pLine);
extern std::atomic<TNLogSendFn> g_pTNLogSend;

class ZEPTNLog : public ZEPLog {
 public:
  explicit ZEPTNLog(ZEPFrame* pFrame);
  ZEPTNLog(ZEPFrame* pFrame, const char* path);

  static constexpr int kMaxExtraSockets = 16;

  void SetSocket(int nSocket) { m_nSocket.store(nSocket); }
  int GetSocket() const { return m_nSocket.load(); }
  // 0 when `nSocket` (> 0) gets every new line (also when it already did),
  // -1 when it is not a socket or every slot is taken.
  int AddSocket(int nSocket);
  // Takes `nSocket` off every slot, the SetSocket one included.
  void RemoveSocket(int nSocket);
  bool HasSocket(int nSocket) const;
  // Sockets receiving the copy, the SetSocket one included.
  int GetSocketCount() const;

 protected:
  // Appends "\r\n" and sends the line to every attached socket; a failed
  // send detaches that socket only (its slot becomes -1), so no more lines
  // are tried on it.
  void PostProcess(char* line) override;

 private:
  // Sends to the socket held by `slot`; a failure empties that slot only.
  void SendTo(std::atomic<int>& slot, const char* line);

  ZEPFrame* m_pFrame;
  std::atomic<int> m_nSocket;
  std::atomic<int> m_nExtra[kMaxExtraSockets];
};

#endif  // ZEP_LOG_TNLOG_H
