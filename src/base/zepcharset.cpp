#include "base/zepcharset.h"

#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <exception>

namespace {

// A converter slot's states besides an open converter. Not yet tried is
// null; iconv_open never returns any of these.
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);  // the C library has none
const iconv_t kThreadEnded = reinterpret_cast<iconv_t>(-2);  // closed at the thread's end

bool IsOpen(iconv_t cd) { return cd != nullptr && cd != kNoConverter && cd != kThreadEnded; }

// This thread's converter: only a pointer in TLS (zepmultithread_thread.h:
// a worker's stack is small and its static TLS comes out of it). Trivially
// destructible, so it can still be read, and changed, once the closer ran.
thread_local iconv_t t_Converter = nullptr;

// Closes the converter when the thread ends; armed at the open, so a thread
// that never converts registers nothing.
struct ConverterCloser {
  bool m_bArmed = false;
  ~ConverterCloser() {
    if (IsOpen(t_Converter)) iconv_close(t_Converter);
    t_Converter = kThreadEnded;
  }
};
thread_local ConverterCloser t_Closer;

// This thread's converter, or kNoConverter. A failure other than a missing
// conversion (out of memory, out of descriptors while the C library loads
// its tables) is tried again at the next call.
iconv_t ThreadConverter() {
  iconv_t cd = t_Converter;
  if (cd != nullptr) return cd;
  cd = iconv_open("UTF-8", "GB18030");
  if (cd == kNoConverter) {
    if (errno == EINVAL) t_Converter = kNoConverter;
    return kNoConverter;
  }
  t_Closer.m_bArmed = true;
  t_Converter = cd;
  return cd;
}

// Converts into `out` from `at` on, growing it as needed; `at` ends after the
// last byte written.
void Convert(iconv_t cd, const char* text, size_t len, std::string& out, size_t& at) {
  char* in = const_cast<char*>(text);  // iconv's interface; the text is not changed
  size_t inLeft = len;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial state
  // Two GB18030 bytes make at most three of UTF-8; one or four make as many.
  out.resize(at + len + len / 2 + 4);
  while (inLeft > 0) {
    char* o = &out[at];
    size_t outLeft = out.size() - at;
    const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    at = static_cast<size_t>(o - out.data());
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno != E2BIG) {
      // EILSEQ, or EINVAL for a character cut off by the end: one byte of
      // it stands for it, and the next byte may start a character.
      if (at == out.size()) out.resize(at + 1 + inLeft * 2);
      out[at++] = '?';
      ++in;
      --inLeft;
    } else {
      out.resize(out.size() + 4 + inLeft * 2);  // E2BIG: more room
    }
  }
  out.resize(at);
}

}  // namespace

int ZEPGbToUtf8(const char* text, size_t len, std::string& out) {
  if (len == 0) return 0;
  if (text == nullptr) return -1;
  const int savedErrno = errno;
  iconv_t cd = ThreadConverter();
  // At the thread's very end (a destructor logging after the converter was
  // closed) a converter of this call alone.
  const bool once = cd == kThreadEnded;
  if (once) cd = iconv_open("UTF-8", "GB18030");
  int rc = -1;
  if (IsOpen(cd)) {
    const size_t start = out.size();
    size_t at = start;
    try {
      Convert(cd, text, len, out, at);
      rc = 0;
    } catch (const std::exception&) {
      out.resize(start);
    }
    if (once) iconv_close(cd);
  }
  errno = savedErrno;
  return rc;
}

bool ZEPGbToUtf8Available() {
  const int savedErrno = errno;
  const iconv_t cd = ThreadConverter();
  errno = savedErrno;
  return cd != kNoConverter;
}

void ZEPMaskNonAscii(const char* text, size_t len, std::string& out) {
  if (text == nullptr) return;
  const size_t start = out.size();
  try {
    out.append(text, len);
  } catch (const std::exception&) {
    return;  // out unchanged
  }
  for (size_t i = start; i < out.size(); ++i) {
    if (static_cast<unsigned char>(out[i]) >= 0x80) out[i] = '?';
  }
}

int ZEPCharsetByName(const char* name, ZEPCharset& charset) {
  if (name == nullptr) return -1;
  if (strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "UTF8") == 0) {
    charset = kZEPCharsetUtf8;
  } else if (strcasecmp(name, "GB2312") == 0) {
    charset = kZEPCharsetGb2312;
  } else {
    return -1;
  }
  return 0;
}

const char* ZEPCharsetName(ZEPCharset charset) {
  return charset == kZEPCharsetGb2312 ? "GB2312" : "UTF-8";
}
