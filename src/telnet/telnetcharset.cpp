#include "telnet/telnetcharset.h"

#include <strings.h>

#include <cstring>

#include "log/zeplog.h"

int TelnetCharsetByName(const char* name, TelnetCharset& charset) {
  if (name == nullptr) return -1;
  if (strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "UTF8") == 0) {
    charset = kTelnetUtf8;
  } else if (strcasecmp(name, "GB2312") == 0) {
    charset = kTelnetGb2312;
  } else {
    return -1;
  }
  return 0;
}

const char* TelnetCharsetName(TelnetCharset charset) {
  return charset == kTelnetGb2312 ? "GB2312" : "UTF-8";
}

void TelnetGbToUtf8(iconv_t cd, const char* text, size_t len, std::string& out) {
  if (text == nullptr) return;
  // The log's converter reads up to a zero byte: a terminated copy, taken
  // piece by piece.
  const std::string copy(text, len);
  const char* p = copy.c_str();
  const char* end = p + copy.size();
  for (;;) {
    ZEPGbToUtf8(cd, p, out);
    p += std::strlen(p);
    if (p >= end) break;
    out.push_back('\0');
    ++p;
  }
}
