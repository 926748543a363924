// zeplog.h — the rotating process log.
//
// Owns: one log file (FILE*) with its path, rotated by size into numbered
// segments P, P.1 (newest old segment) ... P.(N-1) (oldest), and the
// process-wide globals: `zeplog` (the process log, created and destroyed by
// the entry point), `strLog` (shared line builder) and `g_LogMutex`.
//
// Threads and locks: Log() takes no lock of its own. Every caller, on any
// thread, holds g_LogMutex around building the text and calling Log(); the
// shared builder strLog is only touched under it. g_LogMutex is the innermost
// lock of the process: take it last, release it first, and never take
// another lock while holding it. The setters may be called from any thread
// (the flags are atomic); PostProcess runs under g_LogMutex.
//
// Line format: "YYMMDD HHMMSS:TAG:message", or with file info
// "YYMMDD HHMMSS:[file,line]:TAG:message"; TAG is MESG, INFO, WARN or ERRR.
//
// Screen echo, in one of the forms of zepecho.h (SetEchoForm): the bytes as
// logged (GB2312 where the text is Chinese), the same line in UTF-8, or the
// journal's lines (UTF-8, priority prefix, no time stamp; a MESG line that
// reports a failure at err, see zepecho.h); the file always keeps the
// logged bytes. The UTF-8 comes from base/zepcharset.h, through the logging
// thread's own converter, which takes no lock. The echo never blocks
// the caller: standard output (or the descriptor SetScreenFd names) is
// written through a private non-blocking handle, and a line the output
// cannot take at once is dropped and counted; the first line that gets
// through again is preceded by one saying how many were dropped. A line the
// output took only in part is finished before anything else is written.
//
// Write errors: the file is closed and reopened for appending, and the line
// is written once more; nothing already logged is thrown away.
#ifndef ZEP_LOG_ZEPLOG_H
#define ZEP_LOG_ZEPLOG_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>

#include "base/lockguard.h"
#include "base/zepmultithread.h"
#include "base/zepstring.h"
#include "base/zepthreadsafety.h"
#include "log/loglevel.h"
#include "log/zepecho.h"

// Formats one line (without line end) into buf like snprintf, returning the
// length the whole line needs.
int ZEPFormatLogLine(char* buf, size_t size, const struct tm& t, bool bFileInfo, const char* file,
                     int line, const char* tag, const char* msg);

// The log lock: innermost of the process (see above).
extern Mutex g_LogMutex;

class ZEPLog {
 public:
  static constexpr long kDefaultSegSize = 5242880;  // 5 MiB
  static constexpr long kDefaultTotalSegCount = 10;

  ZEPLog();
  // Appends to an existing file, creates a missing one. An open failure is
  // silent: file output is then skipped.
  explicit ZEPLog(const char* path);
  // Virtual: the process log is a subclass deleted through `zeplog`.
  virtual ~ZEPLog();
  ZEPLog(const ZEPLog&) = delete;
  ZEPLog& operator=(const ZEPLog&) = delete;

  void SetToScreen(bool b) { m_bToScreen.store(b); }
  void SetToFile(bool b) { m_bToFile.store(b); }
  void SetFileInfo(bool b) { m_bFileInfo.store(b); }
  void SetLogIt(bool b) { m_bLogIt.store(b); }
  void SetSegSize(long n) { m_nSegSize.store(n); }
  void SetTotalSegCount(long n) { m_nTotalSegCount.store(n); }
  // Under g_LogMutex, or before the log is shared. False when the C
  // library cannot convert: the UTF-8 form then stays as logged, and the
  // journal's shows '?' for every byte above 0x7f.
  bool SetEchoForm(ZEPEchoForm_ form);
  bool SetScreenUtf8(bool b) { return SetEchoForm(b ? ZEP_ECHO_UTF8 : ZEP_ECHO_AS_LOGGED); }
  // Under g_LogMutex, or before the log is shared: echo to `fd` instead of
  // standard output (the caller keeps it open while the log echoes).
  void SetScreenFd(int fd);
  // Under g_LogMutex: echo lines dropped since the last one written.
  unsigned long GetEchoDropped() const { return m_nEchoDropped; }
  bool IsLogIt() const { return m_bLogIt.load(); }
  bool IsToScreen() const { return m_bToScreen.load(); }

  // Caller holds g_LogMutex. A null msg writes nothing.
  void Log(const char* file, int line, LOG_TYPE_ type, const char* msg) REQUIRES(g_LogMutex);
  // As above with msg's text, then leaves msg empty ("") for the next line.
  void Log(const char* file, int line, LOG_TYPE_ type, ZEPString& msg) REQUIRES(g_LogMutex);

 protected:
  // Gets every finished line; `line` has room for two more characters
  // ("\r\n") after its terminating zero. Runs under g_LogMutex.
  virtual void PostProcess(char* line);

 private:
  void WriteToFile(const char* line);
  bool WriteLine(const char* line);
  void Rotate();
  // `line` as formatted; `msg` is its message, the end of it.
  void Echo(const char* line, int type, const char* msg);
  void OpenEcho();
  void CloseEcho();
  size_t EchoWrite(const char* data, size_t len);

  std::atomic<bool> m_bToScreen;
  FILE* m_pFile;
  std::atomic<bool> m_bFileInfo;
  std::atomic<bool> m_bLogIt;
  ZEPString m_strPath;
  std::atomic<bool> m_bToFile;
  std::atomic<long> m_nSegSize;
  std::atomic<long> m_nTotalSegCount;
  ZEPEchoForm_ m_eEchoForm = ZEP_ECHO_AS_LOGGED;  // g_LogMutex
  std::string m_strScreen;                        // g_LogMutex: the converted line
  std::string m_strUtf8;                          // g_LogMutex: a journal line's text
  // The echo's output, all under g_LogMutex: the descriptor asked for, the
  // handle written (-1: not opened yet), how it is written, the unwritten
  // end of a line the output took in part, and the lines dropped.
  int m_nScreenFd = 1;
  int m_nEchoFd = -1;
  int m_nEchoHow = 0;
  bool m_bEchoOwnFd = false;
  dev_t m_nEchoDev = 0;  // what the asked-for descriptor was when the handle was opened
  ino_t m_nEchoIno = 0;
  std::string m_strEchoPending;
  unsigned long m_nEchoDropped = 0;
};

extern ZEPLog* zeplog;
extern ZEPString strLog GUARDED_BY(g_LogMutex);

// One finished line from any unit above the log: written under g_LogMutex
// (always the innermost lock). Any thread; does nothing before the log exists.
inline void ZEPLogLine(const char* file, int line, LOG_TYPE_ level, ZEPString& text) {
  ZEPLockGuard lock(g_LogMutex, file, line);
  if (zeplog != nullptr) zeplog->Log(file, line, level, text);
}

// ZEP_LOG_LINE(LOG_MESG, "text " << value): builds the line with ZEPString's <<.
#define ZEP_LOG_LINE(level, parts)                      \
  do {                                                  \
    ZEPString zepLogLine_;                              \
    zepLogLine_ << parts;                               \
    ZEPLogLine(__FILE__, __LINE__, level, zepLogLine_); \
  } while (0)

#endif  // ZEP_LOG_ZEPLOG_H
