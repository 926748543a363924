#include "base/zepcharset.h"

#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <exception>

#include "base/lockguard.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"

namespace {

// The converter's states besides an open one. Not yet tried is null;
// iconv_open never returns this.
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);  // the C library has none

// One converter for the process, behind a leaf lock. One per thread would
// take no lock, but the C library's converter state is a few kilobytes and
// every account's worker logs: a per-thread converter would cost that much
// per account, where the conversions it spares a lock are a few lines a
// minute. Made on first use and never destroyed, so a thread that logs while
// the process ends still finds it.
struct SharedConverter {
  Mutex m_Lock;
  iconv_t m_Cd GUARDED_BY(m_Lock) = nullptr;
};

SharedConverter& Shared() {
  static SharedConverter* const s_Shared = new SharedConverter;
  return *s_Shared;
}

// The converter, or kNoConverter; opened at the first call. A failure other
// than a missing conversion (out of memory, out of descriptors while the C
// library loads its tables) is tried again at the next call.
iconv_t ConverterLocked(SharedConverter& shared) REQUIRES(shared.m_Lock) {
  if (shared.m_Cd != nullptr) return shared.m_Cd;
  const iconv_t cd = iconv_open("UTF-8", "GB18030");
  if (cd != kNoConverter || errno == EINVAL) shared.m_Cd = cd;
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
  int rc = -1;
  SharedConverter& shared = Shared();
  {
    ZEPLockGuard lock(shared.m_Lock);
    const iconv_t cd = ConverterLocked(shared);
    if (cd != kNoConverter) {
      const size_t start = out.size();
      size_t at = start;
      try {
        Convert(cd, text, len, out, at);
        rc = 0;
      } catch (const std::exception&) {
        out.resize(start);
      }
    }
  }
  errno = savedErrno;
  return rc;
}

bool ZEPGbToUtf8Available() {
  const int savedErrno = errno;
  SharedConverter& shared = Shared();
  bool available = false;
  {
    ZEPLockGuard lock(shared.m_Lock);
    available = ConverterLocked(shared) != kNoConverter;
  }
  errno = savedErrno;
  return available;
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
