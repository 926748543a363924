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

  void SetSocket(int nSocket) { m_nSocket.store(nSocket); }
  int GetSocket() const { return m_nSocket.load(); }

 protected:
  // Appends "\r\n" and sends the line to the console; a failed send detaches
  // the console (socket -1) so no more lines are tried on it.
  void PostProcess(char* line) override;

 private:
  ZEPFrame* m_pFrame;
  std::atomic<int> m_nSocket;
};

#endif  // ZEP_LOG_TNLOG_H
