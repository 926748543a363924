#include "log/zeplog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/zepdeadlock.h"

ZEPLog* zeplog = nullptr;
ZEPString strLog;
Mutex g_LogMutex;

namespace {
// The deadlock detector sits below the log: its reports become ERRR lines
// here. It calls this with none of its own locks held.
void LogDeadLock(const char* file, int line, const char* text) {
  g_LogMutex.Acquire();
  if (zeplog != nullptr)
    zeplog->Log(file, line, LOG_ERRR, text);
  else
    std::fprintf(stderr, "%s\n", text);
  g_LogMutex.Release();
}
[[maybe_unused]] const bool kDeadLockSinkInstalled = [] {
  ZEPDeadLockReportFn none = nullptr;
  g_pDeadLockReport.compare_exchange_strong(none, &LogDeadLock);
  return true;
}();
}  // namespace

const char* ZEPLogTag(int type) {
  static const char* const kTags[] = {"MESG", "INFO", "WARN", "ERRR"};
  return (type >= LOG_MESG && type <= LOG_ERRR) ? kTags[type] : "UNKN";
}

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
FILE* OpenPrivate(const char* path, bool append) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  int fd = open(path, flags, 0600);
  if (fd < 0) return nullptr;
  // A file we may not narrow (another owner's) is still written.
  (void)fchmod(fd, 0600);
  FILE* f = fdopen(fd, append ? "a" : "w");
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
  SetScreenUtf8(false);
}

void ZEPGbToUtf8(iconv_t cd, const char* text, std::string& out) {
  char* in = const_cast<char*>(text);  // iconv's interface; the text is not changed
  size_t inLeft = std::strlen(text);
  char buf[256];
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state
  while (inLeft > 0) {
    char* o = buf;
    size_t outLeft = sizeof buf;
    size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // EILSEQ or a character cut off at the end: one byte stands for it.
    out.push_back('?');
    ++in;
    --inLeft;
  }
}

bool ZEPLog::SetScreenUtf8(bool b) {
  if (m_ScreenConv != reinterpret_cast<iconv_t>(-1)) iconv_close(m_ScreenConv);
  m_ScreenConv = reinterpret_cast<iconv_t>(-1);
  if (b) m_ScreenConv = iconv_open("UTF-8", "GB18030");
  return !b || m_ScreenConv != reinterpret_cast<iconv_t>(-1);
}

void ZEPLog::Echo(const char* line) {
  if (m_ScreenConv == reinterpret_cast<iconv_t>(-1)) {
    std::printf("%s\n", line);
  } else {
    m_strScreen.clear();
    ZEPGbToUtf8(m_ScreenConv, line, m_strScreen);
    std::printf("%s\n", m_strScreen.c_str());
  }
  std::fflush(stdout);
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
  if (m_bToScreen.load()) Echo(buf.get());
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
