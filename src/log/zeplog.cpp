#include "log/zeplog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/zepcharset.h"
#include "base/zepdeadlock.h"

ZEPLog* zeplog = nullptr;
ZEPString strLog;
Mutex g_LogMutex;

namespace {
// The deadlock detector sits below the log: its reports become ERRR lines
// here. It calls this with none of its own locks held, but from inside a
// wait it is tracking, so the log lock is taken untracked: the detector must
// not be entered again while it reports.
void LogDeadLock(const char* file, int line, const char* text) {
  ZEPLockGuard lock(g_LogMutex, ZEPLockGuard::kUntracked, file, line);
  if (zeplog != nullptr)
    zeplog->Log(file, line, LOG_ERRR, text);
  else
    std::fprintf(stderr, "%s\n", text);
}
[[maybe_unused]] const bool kDeadLockSinkInstalled = [] {
  ZEPDeadLockReportFn none = nullptr;
  g_pDeadLockReport.compare_exchange_strong(none, &LogDeadLock);
  return true;
}();
}  // namespace

int ZEPFormatLogLine(char* buf, size_t size, const struct tm& t, bool bFileInfo, const char* file,
                     int line, const char* tag, const char* msg) {
  if (bFileInfo) {
    return std::snprintf(buf, size, "%02d%02d%02d %02d%02d%02d:[%s,%d]:%s:%s", t.tm_year - 100,
                         t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, file ? file : "",
                         line, tag, msg);
  }
  return std::snprintf(buf, size, "%02d%02d%02d %02d%02d%02d:%s:%s", t.tm_year - 100, t.tm_mon + 1,
                       t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, tag, msg);
}

namespace {

// The log names the account and the server, so it is its owner's alone
// whatever the umask, and an existing file with a wider mode is narrowed.
// Whoever may write the work directory could plant something at the log's
// name: a link (we would append to, narrow and, at a rotation, truncate its
// target), a FIFO (the open would wait for a reader) or a second name of
// another file. None is followed or waited on: it is removed and the log gets
// a fresh file of its own in its place.
FILE* OpenPrivate(const char* path, bool append) {
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  int fd = open(path, flags, 0600);
  struct stat st;
  const bool ours = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
  // ELOOP: a link; ENXIO: a FIFO without a reader.
  if (!ours && (fd >= 0 || errno == ELOOP || errno == ENXIO)) {
    if (fd >= 0) close(fd);
    fd = -1;
    if (unlink(path) == 0 || errno == ENOENT) fd = open(path, flags | O_EXCL, 0600);
  }
  if (fd < 0) return nullptr;
  // Truncated only now that it is known to be the log's own file.
  if (!append && ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  // A file we may not narrow (another owner's) is still written.
  (void)fchmod(fd, 0600);
  FILE* f = fdopen(fd, "a");
  if (f == nullptr) close(fd);
  return f;
}

}  // namespace

ZEPLog::ZEPLog()
    : m_bToScreen(false),
      m_pFile(nullptr),
      m_bFileInfo(false),
      m_bLogIt(true),
      m_strPath(""),
      m_bToFile(true),
      m_nSegSize(kDefaultSegSize),
      m_nTotalSegCount(kDefaultTotalSegCount) {}

ZEPLog::ZEPLog(const char* path) : ZEPLog() {
  m_strPath = path;
  if (path == nullptr) return;
  // An existing log is continued, never truncated at start-up.
  m_pFile = OpenPrivate(path, true);
}

ZEPLog::~ZEPLog() {
  if (m_pFile != nullptr) std::fclose(m_pFile);
  m_pFile = nullptr;
  CloseEcho();
}

bool ZEPLog::SetEchoForm(ZEPEchoForm_ form) {
  m_eEchoForm = form;
  return form == ZEP_ECHO_AS_LOGGED || ZEPGbToUtf8Available();
}

namespace {
// How the echo writes without blocking.
enum EchoHow_ {
  kEchoBlocking = 0,  // a regular file or a disk device: it never stalls for a reader
  kEchoOwn = 1,       // our own non-blocking open of the output (pipe, terminal)
  kEchoSocket = 2,    // send with MSG_DONTWAIT
  kEchoPoll = 3,      // nothing else possible: poll with zero timeout first
};
}  // namespace

void ZEPLog::SetScreenFd(int fd) {
  CloseEcho();
  m_nScreenFd = fd;
}

void ZEPLog::CloseEcho() {
  if (m_bEchoOwnFd && m_nEchoFd >= 0) close(m_nEchoFd);
  m_nEchoFd = -1;
  m_bEchoOwnFd = false;
  m_strEchoPending.clear();
}

void ZEPLog::OpenEcho() {
  m_nEchoFd = m_nScreenFd;
  m_nEchoHow = kEchoPoll;
  struct stat st {};
  if (fstat(m_nScreenFd, &st) != 0) return;  // writes fail and count as dropped
  m_nEchoDev = st.st_dev;
  m_nEchoIno = st.st_ino;
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
    m_nEchoHow = kEchoBlocking;
  } else if (S_ISSOCK(st.st_mode)) {
    m_nEchoHow = kEchoSocket;
  } else {
    // O_NONBLOCK on the inherited descriptor would change it for every
    // process sharing it (the shell's terminal); a second open of the same
    // pipe or terminal is ours alone.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", m_nScreenFd);
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      m_nEchoFd = fd;
      m_bEchoOwnFd = true;
      m_nEchoHow = kEchoOwn;
    }
  }
}

// Bytes the output took at once (0 when it takes none now or fails).
size_t ZEPLog::EchoWrite(const char* data, size_t len) {
  ssize_t n = -1;
  switch (m_nEchoHow) {
    case kEchoSocket:
      n = send(m_nEchoFd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
      break;
    case kEchoPoll: {
      pollfd p{m_nEchoFd, POLLOUT, 0};
      if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return 0;
      // Writable means room for at least a pipe's atomic write.
      n = write(m_nEchoFd, data, len < 512 ? len : 512);
      break;
    }
    default:
      n = write(m_nEchoFd, data, len);
      break;
  }
  return n > 0 ? static_cast<size_t>(n) : 0;
}

void ZEPLog::Echo(const char* line, int type, const char* msg) {
  // The output may have been redirected since the handle was opened (a
  // test capturing it, a caller's dup2): the handle follows it.
  struct stat st {};
  if (m_nEchoFd >= 0 &&
      (fstat(m_nScreenFd, &st) != 0 || st.st_dev != m_nEchoDev || st.st_ino != m_nEchoIno)) {
    CloseEcho();
  }
  if (m_nEchoFd < 0) OpenEcho();
  if (!m_strEchoPending.empty()) {
    size_t n = EchoWrite(m_strEchoPending.data(), m_strEchoPending.size());
    m_strEchoPending.erase(0, n);
    if (!m_strEchoPending.empty()) {
      ++m_nEchoDropped;
      return;
    }
  }
  std::string& out = m_strScreen;
  out.clear();
  const bool journal = m_eEchoForm == ZEP_ECHO_JOURNAL;
  if (m_nEchoDropped != 0) {
    if (journal) out += ZEPJournalPrefix(LOG_WARN);
    out += "(";
    out += std::to_string(m_nEchoDropped);
    out += " screen lines dropped: the output was not taking them)\n";
  }
  if (journal) {
    // The time stamp holds no colon: the line proper starts after the first.
    const char* colon = std::strchr(line, ':');
    const char* unstamped = colon != nullptr ? colon + 1 : line;
    const size_t total = std::strlen(unstamped);
    const size_t msgLen = std::strlen(msg);
    m_strUtf8.clear();
    // The journal takes UTF-8 only: without a converter, '?' for the rest.
    if (ZEPGbToUtf8(unstamped, total, m_strUtf8) != 0) ZEPMaskNonAscii(unstamped, total, m_strUtf8);
    // The head (tag, file and line) is ASCII: converting keeps its length.
    ZEPJournalLines(ZEPJournalPrefixOf(type, msg), m_strUtf8, total > msgLen ? total - msgLen : 0,
                    out);
  } else {
    // Without a converter the UTF-8 form shows the line as logged.
    if (m_eEchoForm != ZEP_ECHO_UTF8 || ZEPGbToUtf8(line, std::strlen(line), out) != 0) out += line;
    out += '\n';
  }
  size_t n = EchoWrite(out.data(), out.size());
  if (n == 0) {
    ++m_nEchoDropped;
    return;
  }
  m_nEchoDropped = 0;
  if (n < out.size()) m_strEchoPending.assign(out, n, std::string::npos);
}

void ZEPLog::Log(const char* file, int line, LOG_TYPE_ type, ZEPString& msg) {
  Log(file, line, type, msg.GetText());
  msg = "";
}

void ZEPLog::Log(const char* file, int line, LOG_TYPE_ type, const char* msg) {
  if (!m_bLogIt.load() && type != LOG_MESG) return;
  if (msg == nullptr) return;

  time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  const char* tag = ZEPLogTag(type);
  const bool bFileInfo = m_bFileInfo.load();

  int len = ZEPFormatLogLine(nullptr, 0, t, bFileInfo, file, line, tag, msg);
  if (len < 0) return;
  // Two spare bytes let PostProcess append "\r\n".
  size_t size = static_cast<size_t>(len) + 3;
  std::unique_ptr<char[]> buf(new char[size]);
  ZEPFormatLogLine(buf.get(), size, t, bFileInfo, file, line, tag, msg);

  if (m_pFile != nullptr && m_bToFile.load()) WriteToFile(buf.get());
  if (m_bToScreen.load()) Echo(buf.get(), type, msg);
  PostProcess(buf.get());
}

void ZEPLog::PostProcess(char* /*line*/) {}

bool ZEPLog::WriteLine(const char* line) {
  if (std::fprintf(m_pFile, "%s\n", line) < 0) return false;
  return std::fflush(m_pFile) == 0;
}

void ZEPLog::WriteToFile(const char* line) {
  if (!WriteLine(line)) {
    // Reopen for appending and try the line once more. Reopening with "w"
    // would wipe everything logged so far because of one failed write.
    std::fclose(m_pFile);
    m_pFile = OpenPrivate(m_strPath.GetSafeText(), true);
    if (m_pFile == nullptr) return;  // file output stops
    if (!WriteLine(line)) std::clearerr(m_pFile);
  }
  long pos = std::ftell(m_pFile);
  if (pos > m_nSegSize.load()) Rotate();
}

void ZEPLog::Rotate() {
  std::fclose(m_pFile);
  m_pFile = nullptr;
  const long n = m_nTotalSegCount.load();
  const char* path = m_strPath.GetSafeText();
  // Room for the path, a dot and any long in decimal.
  const size_t size = m_strPath.GetLength() + 32;
  std::unique_ptr<char[]> from(new char[size]);
  std::unique_ptr<char[]> to(new char[size]);

  if (n >= 2) {  // with a single segment there is no numbered file to drop
    std::snprintf(to.get(), size, "%s.%ld", path, n - 1);
    std::remove(to.get());
  }
  for (long k = n - 1; k >= 2; --k) {
    std::snprintf(from.get(), size, "%s.%ld", path, k - 1);
    std::snprintf(to.get(), size, "%s.%ld", path, k);
    std::rename(from.get(), to.get());
  }
  if (n > 1) {
    std::snprintf(to.get(), size, "%s.1", path);
    std::rename(path, to.get());
  } else {
    std::remove(path);
  }
  m_pFile = OpenPrivate(path, false);
}
