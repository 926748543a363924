#include "log/zeplogsafe.h"

namespace {

bool IsPlain(unsigned char c) { return c >= 0x20 && c != 0x7f && c != '\\'; }

}  // namespace

ZEPString ZEPLogSafeText(const char* data, size_t len) {
  static const char kHex[] = "0123456789abcdef";
  ZEPString out;
  out = "";
  if (data == nullptr) return out;
  size_t i = 0;
  while (i < len) {
    // A run of bytes that pass as they are goes in at once.
    size_t run = i;
    while (run < len && IsPlain(static_cast<unsigned char>(data[run]))) ++run;
    if (run > i) {
      const size_t room = ZEPString::kMaxLength - out.GetLength();
      const size_t n = run - i < room ? run - i : room;
      out.Append(data + i, static_cast<uint32_t>(n));
      if (n < run - i) break;
      i = run;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(data[i]);
    char esc[4] = {'\\', 0, 0, 0};
    uint32_t n = 2;
    switch (c) {
      case '\\':
        esc[1] = '\\';
        break;
      case '\n':
        esc[1] = 'n';
        break;
      case '\r':
        esc[1] = 'r';
        break;
      case '\t':
        esc[1] = 't';
        break;
      default:
        esc[1] = 'x';
        esc[2] = kHex[c >> 4];
        esc[3] = kHex[c & 15];
        n = 4;
    }
    if (ZEPString::kMaxLength - out.GetLength() < n) break;
    out.Append(esc, n);
    ++i;
  }
  return out;
}

ZEPString ZEPLogSafeText(const ZEPString& text) {
  return ZEPLogSafeText(text.GetSafeText(), text.GetLength());
}
