#include "telnet/telnetcharset.h"

#include <strings.h>

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
