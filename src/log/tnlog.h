// tnlog.h — the process log with a copy of every line to a telnet console.
//
// Owns: nothing beyond ZEPLog; it borrows the frame (which must outlive it)
// and the console socket (owned by the console node, which attaches it with
// SetSocket and detaches it with SetSocket(-1) at logout).
//
// Threads and locks: as ZEPLog — PostProcess runs inside Log() under
// g_LogMutex. SetSocket/GetSocket may be called from any thread (the console
// node's thread sets it while other threads log); the socket is atomic.
//
// Several consoles: besides the one socket of SetSocket, up to
// kMaxExtraSockets more can be attached with AddSocket and taken off with
// RemoveSocket, so every console that asked for the copy gets each line and
// one console's logout never cuts another's copy. The slots are atomics, so
// these calls need no lock either; a console that closes its connection
// after RemoveSocket must call it under g_LogMutex, which guarantees that no
// send to the old descriptor is still under way (PostProcess runs under it).
//
// Sending: every line leaves through the hook g_pTNLogSend(frame, socket,
// line). The log sits below the frame and never calls it directly: the frame
// installs its sender (TNLogFrameSend, zepframe.h: ZEPFrame::SendData of the
// whole zero-terminated text) when it is built and no hook is set; an
// application or a test may install its own. Without a hook no copy is sent.
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
  // Appends "\r\n" and sends the line to the console; a failed send detaches
  // the console (socket -1) so no more lines are tried on it.
  void PostProcess(char* line) override;

 private:
  // Sends to the socket held by `slot`; a failure empties that slot only.
  void SendTo(std::atomic<int>& slot, const char* line);

  ZEPFrame* m_pFrame;
  std::atomic<int> m_nSocket;
  std::atomic<int> m_nExtra[kMaxExtraSockets];
};

#endif  // ZEP_LOG_TNLOG_H
