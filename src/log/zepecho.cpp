#include "log/zepecho.h"

#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <new>

#include "base/zepdecimal.h"
#include "log/loglevel.h"

const char* ZEPJournalPrefix(int type) {
  static const char* const kPrefixes[] = {"<5>", "<6>", "<4>", "<3>"};
  return (type >= LOG_MESG && type <= LOG_ERRR) ? kPrefixes[type] : "<6>";
}

const char* ZEPJournalPrefixOf(int type, const char* msg) {
  static const char kWord[] = ZEP_ERROR_WORD;
  if (type == LOG_MESG && msg != nullptr && std::strncmp(msg, kWord, sizeof kWord - 1) == 0)
    return ZEPJournalPrefix(LOG_ERRR);
  return ZEPJournalPrefix(type);
}

void ZEPJournalLines(int type, const std::string& text, size_t headLen, std::string& out) {
  ZEPJournalLines(ZEPJournalPrefix(type), text, headLen, out);
}

void ZEPJournalLines(const char* prefix, const std::string& text, size_t headLen,
                     std::string& out) {
  if (headLen > text.size()) headLen = text.size();
  bool headDone = false;
  size_t pos = headLen;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    size_t last = end;
    while (last > pos && text[last - 1] == '\r') --last;
    if (last > pos) {
      out += prefix;
      if (!headDone) out.append(text, 0, headLen);
      headDone = true;
      out.append(text, pos, last - pos);
      out += '\n';
    }
    pos = end + 1;
  }
  if (!headDone) {
    out += prefix;
    out.append(text, 0, headLen);
    out += '\n';
  }
}

bool ZEPParseJournalStream(const char* text, unsigned long long& dev, unsigned long long& ino) {
  if (text == nullptr) return false;
  const size_t len = std::strlen(text);
  size_t used = 0;
  uint64_t d = 0, i = 0;
  if (ZEPParseDecimal(text, len, 0, UINT64_MAX, d, kZepDecimalPrefix, &used) != 0 ||
      text[used] != ':' || ZEPParseDecimal(text + used + 1, len - used - 1, 0, UINT64_MAX, i) != 0)
    return false;
  dev = d;
  ino = i;
  return true;
}

bool ZEPIsJournalStream(const char* journalStream, int fd) {
  unsigned long long dev = 0, ino = 0;
  if (!ZEPParseJournalStream(journalStream, dev, ino)) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

bool ZEPLocaleIsUtf8() {
  bool utf8 =
      std::setlocale(LC_CTYPE, "") != nullptr && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  std::setlocale(LC_CTYPE, "C");
  return utf8;
}

ZEPEchoForm_ ZEPChooseEchoForm(const char* journalStream, int fd, bool localeUtf8) {
  if (ZEPIsJournalStream(journalStream, fd)) return ZEP_ECHO_JOURNAL;
  return localeUtf8 ? ZEP_ECHO_UTF8 : ZEP_ECHO_AS_LOGGED;
}

std::string ZEPJournalLinePrefix(int priority, const char* line, size_t len) {
  for (int type = LOG_MESG; type <= LOG_ERRR; ++type) {
    const char* tag = ZEPLogTag(type);
    const size_t tagLen = std::strlen(tag);
    if (len > tagLen && std::memcmp(line, tag, tagLen) == 0 && line[tagLen] == ':')
      return ZEPJournalPrefix(type);
  }
  if (priority < 0 || priority > 7) priority = 6;
  return "<" + std::to_string(priority) + ">";
}

namespace {

// A journal stream's state: its descriptor, its priority and the start of
// a line not yet ended.
struct JournalCookie_tag {
  int m_nFd;
  int m_nPriority;
  std::string m_strPending;
};

bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Writes the line `line` (without its end) with its prefix, one write, so
// that a line is never split between two journal entries by another writer.
bool WriteJournalLine(const JournalCookie_tag& c, const char* line, size_t len) {
  if (len == 0) return true;
  std::string out = ZEPJournalLinePrefix(c.m_nPriority, line, len);
  out.append(line, len);
  out += '\n';
  return WriteAll(c.m_nFd, out.data(), out.size());
}

ssize_t JournalWrite(void* cookie, const char* data, size_t size) {
  JournalCookie_tag& c = *static_cast<JournalCookie_tag*>(cookie);
  size_t at = 0;
  while (at < size) {
    const void* nl = std::memchr(data + at, '\n', size - at);
    if (nl == nullptr) {
      c.m_strPending.append(data + at, size - at);
      break;
    }
    const size_t end = static_cast<size_t>(static_cast<const char*>(nl) - data);
    bool ok = true;
    if (c.m_strPending.empty()) {
      ok = WriteJournalLine(c, data + at, end - at);
    } else {
      c.m_strPending.append(data + at, end - at);
      ok = WriteJournalLine(c, c.m_strPending.data(), c.m_strPending.size());
      c.m_strPending.clear();
    }
    if (!ok) return -1;
    at = end + 1;
  }
  return static_cast<ssize_t>(size);
}

int JournalClose(void* cookie) {
  JournalCookie_tag* c = static_cast<JournalCookie_tag*>(cookie);
  const bool ok = WriteJournalLine(*c, c->m_strPending.data(), c->m_strPending.size());
  delete c;
  return ok ? 0 : EOF;
}

}  // namespace

FILE* ZEPOpenJournalFile(int fd, int priority) {
  JournalCookie_tag* c = new (std::nothrow) JournalCookie_tag{fd, priority, std::string()};
  if (c == nullptr) return nullptr;
  cookie_io_functions_t io{};
  io.write = JournalWrite;
  io.close = JournalClose;
  FILE* f = fopencookie(c, "w", io);
  if (f == nullptr) {
    delete c;
    return nullptr;
  }
  // Each line as it is ended, as a terminal would get it.
  setvbuf(f, nullptr, _IOLBF, 0);
  return f;
}
