#include "log/zepecho.h"

#include <langinfo.h>
#include <sys/stat.h>

#include <clocale>
#include <cstring>

#include "log/zeplog.h"

const char* ZEPJournalPrefix(int type) {
  static const char* const kPrefixes[] = {"<5>", "<6>", "<4>", "<3>"};
  return (type >= LOG_MESG && type <= LOG_ERRR) ? kPrefixes[type] : "<6>";
}

void ZEPJournalLines(int type, const std::string& text, size_t headLen, std::string& out) {
  const char* prefix = ZEPJournalPrefix(type);
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

void ZEPEchoToUtf8(iconv_t cd, const char* text, std::string& out) {
  if (cd != reinterpret_cast<iconv_t>(-1)) {
    ZEPGbToUtf8(cd, text, out);
    return;
  }
  for (const char* p = text; *p != '\0'; ++p) {
    out += static_cast<unsigned char>(*p) < 0x80 ? *p : '?';
  }
}

namespace {

// One decimal number of at most 64 bits from `p`, up to the first byte that
// is no digit; null when there is no digit or it overflows.
const char* ReadDecimal(const char* p, unsigned long long& value) {
  value = 0;
  const char* start = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > (~0ULL - digit) / 10) return nullptr;
    value = value * 10 + digit;
  }
  return p == start ? nullptr : p;
}

}  // namespace

bool ZEPParseJournalStream(const char* text, unsigned long long& dev, unsigned long long& ino) {
  if (text == nullptr) return false;
  const char* p = ReadDecimal(text, dev);
  if (p == nullptr || *p != ':') return false;
  p = ReadDecimal(p + 1, ino);
  return p != nullptr && *p == '\0';
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
