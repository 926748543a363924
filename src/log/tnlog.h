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
// Charset: a socket gets the line's own bytes (GB2312 where the text is
// Chinese), or, when AddSocket asked for it, the line in UTF-8 (converted
// as the echo converts, by base/zepcharset.h on the logging thread, once per
// line for every socket that wants it). The SetSocket one always gets the
// line's bytes.
//
// Threads and locks: as ZEPLog — PostProcess (and the conversion state it
// uses) runs inside Log() under g_LogMutex. The socket calls may be made from any thread without a
// lock: the slots are atomics. A console that closes its connection after RemoveSocket must call it
// under g_LogMutex, which guarantees that no send to the old descriptor is still under way.
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
#include <cstdint>
#include <string>

#include "log/zeplog.h"

class ZEPFrame;

// 0 when the whole zero-terminated line was written, -1 otherwise.
using TNLogSendFn = int (*)(ZEPFrame* pFrame, int nSocket, const char* pLine);
extern std::atomic<TNLogSendFn> g_pTNLogSend;

class ZEPTNLog : public ZEPLog {
 public:
  explicit ZEPTNLog(ZEPFrame* pFrame);
  ZEPTNLog(ZEPFrame* pFrame, const char* path);
  ~ZEPTNLog() override;

  static constexpr int kMaxExtraSockets = 16;

  void SetSocket(int nSocket) { m_nSocket.store(nSocket); }
  int GetSocket() const { return m_nSocket.load(); }
  // 0 when `nSocket` (> 0) gets every new line, in UTF-8 when `bUtf8` (also
  // when it already did: it then gets them as now asked), -1 when it is not
  // a socket or every slot is taken. Without a GB18030 converter in the C
  // library the UTF-8 copy gets the line's bytes.
  int AddSocket(int nSocket, bool bUtf8 = false);
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
  // 0 when the whole `line` went to `nSocket` through the installed sender.
  int SendLine(int nSocket, const char* line);
  // `line` in UTF-8, converted at the first call for the line being posted.
  const char* Utf8Line(const char* line);

  ZEPFrame* m_pFrame;
  std::atomic<int> m_nSocket;
  // -1 for a free slot, else the socket, with kUtf8Copy set for a UTF-8 copy.
  static constexpr int64_t kUtf8Copy = int64_t(1) << 32;
  std::atomic<int64_t> m_nExtra[kMaxExtraSockets];
  std::string m_strUtf8;     // the line being posted, in UTF-8
  bool m_bUtf8Done = false;  // Utf8Line was called for it
  bool m_bUtf8Conv = false;  // and m_strUtf8 holds it (the thread had a converter)
};

#endif  // ZEP_LOG_TNLOG_H
