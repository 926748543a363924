#include "base/zepstring.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/zepassert.h"
#include "base/zepsmallfile.h"

namespace {

uint32_t CheckedLength(size_t n) {
  ZEP_ASSERT(n <= ZEPString::kMaxLength);
  return static_cast<uint32_t>(n);
}

uint32_t CStrLength(const char* s) { return s ? CheckedLength(std::strlen(s)) : 0; }

// Null sorts before any text; otherwise bytes compare as unsigned, and a
// prefix sorts before the longer text (strcmp order for text without zeros).
int Compare(const char* a, uint32_t alen, const char* b, uint32_t blen) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  uint32_t n = alen < blen ? alen : blen;
  int r = n ? std::memcmp(a, b, n) : 0;
  if (r != 0) return r;
  return alen < blen ? -1 : (alen > blen ? 1 : 0);
}

size_t Search(const char* text, uint32_t len, uint32_t from, const char* pat, uint32_t plen) {
  if (from > len) return std::string_view::npos;
  return std::string_view(text, len).find(std::string_view(pat, plen), from);
}

// Numbers are formatted into a scratch buffer and appended as text. It is
// large enough for any of them: DBL_MAX with "%lf" takes 316 characters.
__attribute__((format(printf, 2, 3))) ZEPString& AppendFormat(ZEPString& s, const char* fmt, ...) {
  char buf[400];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0)
    s.Append(buf, n < static_cast<int>(sizeof buf) ? static_cast<uint32_t>(n) : sizeof buf - 1);
  return s;
}

ZEPString Concat(const char* a, uint32_t alen, const char* b, uint32_t blen) {
  if (!a && !b) return ZEPString();
  ZEPString r = ZEPString::FromBytes(a ? a : b, a ? alen : blen);
  if (a && b) r.Append(b, blen);
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

void ZEPString::Init(uint32_t step) {
  m_pText = nullptr;
  m_nLength = 0;
  m_nCapacity = 0;
  m_cSpare = ' ';
  m_bOwns = true;
  m_bFound = false;
  m_nFindPos = 0;
  m_pFindPattern = nullptr;
  m_pTokenDelim = nullptr;
  m_nTokenPos = 0;
  m_bMoreTokens = false;
  m_nStep = step;
}

ZEPString::ZEPString() { Init(kDefaultStep); }

ZEPString::ZEPString(const char* s) {
  Init(kDefaultStep);
  if (s) Assign(s, CStrLength(s));
}

ZEPString ZEPString::FromBytes(const char* p, uint32_t len) {
  ZEPString s;
  s.Assign(p, len);
  return s;
}

ZEPString::ZEPString(const ZEPString& s) {
  Init(kDefaultStep);
  Assign(s.m_pText, s.m_nLength);
}

ZEPString::ZEPString(ZEPString&& s) noexcept {
  Init(kDefaultStep);
  if (s.m_nStep != 0 && s.m_bOwns && s.m_pText) {
    m_pText = s.m_pText;
    m_nLength = s.m_nLength;
    m_nCapacity = s.m_nCapacity;
    s.m_pText = nullptr;
    s.m_nLength = s.m_nCapacity = 0;
  } else {
    Assign(s.m_pText, s.m_nLength);
  }
}

ZEPString::ZEPString(unsigned step, unsigned size) {
  Init(step);
  ZEP_ASSERT(size <= kMaxLength);
  m_pText = new char[size + 1ull]();
  m_nCapacity = size;
}

unsigned ZEPString::ToUnsigned(unsigned long long n) {
  ZEP_ASSERT(n <= 0xFFFFFFFFull);
  return static_cast<unsigned>(n);
}

ZEPString::ZEPString(bool owns, char* data) {
  Init(kDefaultStep);
  if (data) {
    m_pText = data;
    m_nLength = m_nCapacity = CStrLength(data);
    m_bOwns = owns;
  }
}

ZEPString::~ZEPString() {
  FreeBuf();
  delete m_pFindPattern;
  delete m_pTokenDelim;
}

// ---------------------------------------------------------------------------
// Buffer management

void ZEPString::FreeBuf() {
  if (m_bOwns) delete[] m_pText;
  m_pText = nullptr;
  m_nLength = 0;
  m_nCapacity = 0;
  m_bOwns = true;
}

void ZEPString::ReleaseBuf() { FreeBuf(); }

void ZEPString::SetNull() {
  if (m_nStep == 0 && m_pText) {
    // A fixed buffer is kept: null assignment only clears it.
    std::memset(m_pText, 0, m_nCapacity + 1ull);
    m_nLength = 0;
    return;
  }
  FreeBuf();
}

uint32_t ZEPString::Reserve(uint32_t need, uint32_t keep) {
  if (m_nStep == 0) {
    if (!m_pText) {
      // A fixed string whose buffer was released holds nothing any more.
      m_pText = new char[1]();
      m_nCapacity = 0;
      m_bOwns = true;
    }
    return need < m_nCapacity ? need : m_nCapacity;
  }
  // The buffer must keep one spare character beyond the text (a 63-character
  // text has capacity 64, the 64th character moves it to 128).
  if (m_pText && need < m_nCapacity) return need;
  ZEP_ASSERT(need <= kMaxLength);
  uint64_t cap = (static_cast<uint64_t>(need) / m_nStep + 1) * m_nStep;
  if (cap > kMaxLength + 1ull) cap = kMaxLength + 1ull;
  char* p = new char[cap + 1];
  if (keep && m_pText) std::memcpy(p, m_pText, keep);
  p[keep] = '\0';
  if (m_bOwns) delete[] m_pText;
  m_pText = p;
  m_nCapacity = static_cast<uint32_t>(cap);
  m_bOwns = true;
  return need;
}

bool ZEPString::Overlaps(const char* p) const {
  uintptr_t a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(m_pText);
  return m_pText && a >= b && a <= b + m_nCapacity;
}

ZEPString& ZEPString::Assign(const char* p, uint32_t len) {
  if (!p) {
    SetNull();
    return *this;
  }
  // The source may lie inside our own buffer (s = s.GetText() + 1).
  if (Overlaps(p)) {
    std::string tmp(p, len);
    return Assign(tmp.data(), len);
  }
  uint32_t n = Reserve(len, 0);
  if (n) std::memcpy(m_pText, p, n);
  m_pText[n] = '\0';
  m_nLength = n;
  return *this;
}

ZEPString& ZEPString::Append(const char* p, uint32_t len) {
  if (!p) return *this;
  if (!m_pText) return Assign(p, len);
  if (Overlaps(p)) {
    std::string tmp(p, len);
    return Append(tmp.data(), len);
  }
  uint32_t old = m_nLength;
  uint32_t total = Reserve(CheckedLength(static_cast<size_t>(old) + len), old);
  if (total > old) std::memcpy(m_pText + old, p, total - old);
  m_pText[total] = '\0';
  m_nLength = total;
  return *this;
}

// ---------------------------------------------------------------------------
// Assignment and appending

ZEPString& ZEPString::operator=(const char* s) { return Assign(s, CStrLength(s)); }

ZEPString& ZEPString::operator=(const ZEPString& s) {
  if (this != &s) Assign(s.m_pText, s.m_nLength);
  return *this;
}

ZEPString& ZEPString::operator=(ZEPString&& s) noexcept {
  if (this == &s) return *this;
  // Only a growing string may take over another growing string's buffer; a
  // fixed buffer keeps its own capacity.
  if (m_nStep != 0 && s.m_nStep != 0 && s.m_bOwns && s.m_pText) {
    FreeBuf();
    m_pText = s.m_pText;
    m_nLength = s.m_nLength;
    m_nCapacity = s.m_nCapacity;
    s.m_pText = nullptr;
    s.m_nLength = s.m_nCapacity = 0;
    return *this;
  }
  return Assign(s.m_pText, s.m_nLength);
}

ZEPString& ZEPString::operator+=(const char* s) { return Append(s, CStrLength(s)); }
ZEPString& ZEPString::operator+=(const ZEPString& s) { return Append(s.m_pText, s.m_nLength); }
ZEPString& ZEPString::operator<<(const ZEPString& s) { return Append(s.m_pText, s.m_nLength); }
ZEPString& ZEPString::operator<<(const char* s) { return Append(s, CStrLength(s)); }

ZEPString& ZEPString::operator<<(char c) { return c ? Append(&c, 1) : *this; }

ZEPString& ZEPString::operator<<(unsigned char c) {
  char ch = static_cast<char>(c);
  return ch ? Append(&ch, 1) : *this;
}

ZEPString& ZEPString::operator<<(short n) { return AppendFormat(*this, "%d", n); }
ZEPString& ZEPString::operator<<(unsigned short n) { return AppendFormat(*this, "%u", n); }
ZEPString& ZEPString::operator<<(int n) { return AppendFormat(*this, "%d", n); }
ZEPString& ZEPString::operator<<(unsigned int n) { return AppendFormat(*this, "%u", n); }
ZEPString& ZEPString::operator<<(long n) { return AppendFormat(*this, "%ld", n); }
ZEPString& ZEPString::operator<<(unsigned long n) { return AppendFormat(*this, "%lu", n); }
ZEPString& ZEPString::operator<<(long long n) { return AppendFormat(*this, "%lld", n); }
ZEPString& ZEPString::operator<<(unsigned long long n) { return AppendFormat(*this, "%llu", n); }
ZEPString& ZEPString::operator<<(double d) { return AppendFormat(*this, "%lf", d); }
// The whole 64-bit address, never cut to 32 bits; glibc's "%p" would print
// "(nil)" and ignores zero padding.
ZEPString& ZEPString::operator<<(const void* p) {
  return AppendFormat(*this, "0x%08" PRIxPTR, reinterpret_cast<uintptr_t>(p));
}

ZEPString ZEPString::operator+(const ZEPString& s) const {
  return Concat(m_pText, m_nLength, s.m_pText, s.m_nLength);
}

ZEPString operator+(const char* a, const ZEPString& b) {
  return Concat(a, CStrLength(a), b.GetText(), b.GetLength());
}

ZEPString operator+(const ZEPString& a, const char* b) {
  return Concat(a.GetText(), a.GetLength(), b, CStrLength(b));
}

// ---------------------------------------------------------------------------
// Comparison and access

bool ZEPString::operator==(const char* s) const {
  return Compare(m_pText, m_nLength, s, CStrLength(s)) == 0;
}

bool ZEPString::operator==(const ZEPString& s) const {
  return Compare(m_pText, m_nLength, s.m_pText, s.m_nLength) == 0;
}

bool ZEPString::operator<(const char* s) const {
  return Compare(m_pText, m_nLength, s, CStrLength(s)) < 0;
}

bool ZEPString::operator<(const ZEPString& s) const {
  return Compare(m_pText, m_nLength, s.m_pText, s.m_nLength) < 0;
}

char& ZEPString::operator[](unsigned i) {
  if (m_pText && i < m_nLength) return m_pText[i];
  // Reset on every use, so a caller that wrote through an earlier spare
  // reference cannot change what later out-of-range reads see.
  m_cSpare = ' ';
  return m_cSpare;
}

ZEPString ZEPString::Substr(unsigned pos, unsigned len) const {
  if (!m_pText) return ZEPString();
  if (pos >= m_nLength || len == 0) return ZEPString("");
  uint32_t rest = m_nLength - pos;
  return FromBytes(m_pText + pos, len < rest ? len : rest);
}

// ---------------------------------------------------------------------------
// Editing

void ZEPString::Rtrim() {
  if (!m_pText || m_nLength == 0) return;
  while (m_nLength > 0 && m_pText[m_nLength - 1] == ' ') --m_nLength;
  m_pText[m_nLength] = '\0';
}

void ZEPString::Ltrim() {
  if (!m_pText || m_nLength == 0) return;
  uint32_t n = 0;
  while (n < m_nLength && m_pText[n] == ' ') ++n;
  if (n == 0) return;
  std::memmove(m_pText, m_pText + n, m_nLength - n);
  m_nLength -= n;
  m_pText[m_nLength] = '\0';
}

void ZEPString::Trim() {
  Rtrim();
  Ltrim();
}

void ZEPString::ToLower() {
  for (uint32_t i = 0; i < m_nLength; ++i)
    if (m_pText[i] >= 'A' && m_pText[i] <= 'Z') m_pText[i] = static_cast<char>(m_pText[i] + 32);
}

void ZEPString::ToUpper() {
  for (uint32_t i = 0; i < m_nLength; ++i)
    if (m_pText[i] >= 'a' && m_pText[i] <= 'z') m_pText[i] = static_cast<char>(m_pText[i] - 32);
}

bool ZEPString::IsDigit() const {
  if (!m_pText || m_nLength == 0) return false;
  for (uint32_t i = 0; i < m_nLength; ++i)
    if (m_pText[i] < '0' || m_pText[i] > '9') return false;
  return true;
}

void ZEPString::Fill(int ch, unsigned n) {
  if (!m_pText || m_nLength == 0) return;
  if (n == 0) {
    if (m_nStep != 0) return;
    n = m_nCapacity - m_nLength;
  }
  uint32_t old = m_nLength;
  uint32_t total = Reserve(CheckedLength(static_cast<size_t>(old) + n), old);
  std::memset(m_pText + old, ch, total - old);
  m_pText[total] = '\0';
  m_nLength = total;
}

void ZEPString::Replace(const char* from, const char* to) {
  if (!m_pText || m_nLength == 0 || !from || !to || !*from) return;
  std::string_view text(m_pText, m_nLength), pat(from), rep(to);
  std::string out;
  size_t at = 0;
  for (size_t hit; (hit = text.find(pat, at)) != std::string_view::npos; at = hit + pat.size()) {
    out.append(text.substr(at, hit - at));
    out.append(rep);
  }
  if (at == 0) return;  // no occurrence
  out.append(text.substr(at));
  Assign(out.data(), CheckedLength(out.size()));
}

// ---------------------------------------------------------------------------
// Tokenizer and finder

ZEPString ZEPString::StartTokens(const char* delim, uint32_t dlen) {
  if (!m_pText || m_nLength == 0) {
    // No tokens from a null or empty text; a stale step from an earlier text
    // must not surface through GetNextToken.
    m_bMoreTokens = false;
    return m_pText ? ZEPString("") : ZEPString();
  }
  if (!m_pTokenDelim) m_pTokenDelim = new ZEPString();
  m_pTokenDelim->Assign(delim, dlen);
  if (!delim || dlen == 0) {
    m_bMoreTokens = false;
    return ZEPString();
  }
  size_t hit = Search(m_pText, m_nLength, 0, delim, dlen);
  if (hit == std::string_view::npos) {
    m_bMoreTokens = false;
    m_nTokenPos = m_nLength;
    return FromBytes(m_pText, m_nLength);
  }
  m_bMoreTokens = true;
  m_nTokenPos = static_cast<uint32_t>(hit + dlen);
  return FromBytes(m_pText, static_cast<uint32_t>(hit));
}

ZEPString ZEPString::GetFirstToken(const char* delim) {
  return StartTokens(delim, CStrLength(delim));
}

ZEPString ZEPString::GetFirstToken(const ZEPString& delim) {
  // The delimiter may be this very string; work on a copy.
  ZEPString d(delim);
  return StartTokens(d.m_pText, d.m_nLength);
}

ZEPString ZEPString::GetNextToken() {
  if (!m_bMoreTokens || !m_pTokenDelim || m_pTokenDelim->IsEmpty()) return ZEPString();
  if (!m_pText) {
    m_bMoreTokens = false;
    return ZEPString();
  }
  if (m_nTokenPos >= m_nLength) {
    // A trailing delimiter yields one final empty token.
    m_bMoreTokens = false;
    m_nTokenPos = m_nLength;
    return ZEPString("");
  }
  const ZEPString& d = *m_pTokenDelim;
  uint32_t from = m_nTokenPos;
  size_t hit = Search(m_pText, m_nLength, from, d.m_pText, d.m_nLength);
  if (hit == std::string_view::npos) {
    m_bMoreTokens = false;
    m_nTokenPos = m_nLength;
    return FromBytes(m_pText + from, m_nLength - from);
  }
  m_nTokenPos = static_cast<uint32_t>(hit + d.m_nLength);
  return FromBytes(m_pText + from, static_cast<uint32_t>(hit - from));
}

char* ZEPString::FindFirst(const char* pattern) {
  if (!m_pFindPattern) m_pFindPattern = new ZEPString();
  *m_pFindPattern = pattern;
  m_bFound = false;
  // An empty pattern would "match" at the same place forever.
  if (!m_pText || !pattern || !*pattern) return nullptr;
  size_t hit = Search(m_pText, m_nLength, 0, m_pFindPattern->m_pText, m_pFindPattern->m_nLength);
  if (hit == std::string_view::npos) return nullptr;
  m_bFound = true;
  m_nFindPos = static_cast<uint32_t>(hit);
  return m_pText + hit;
}

char* ZEPString::FindNext() {
  if (!m_bFound || !m_pText || !m_pFindPattern || m_pFindPattern->IsEmpty()) return nullptr;
  const ZEPString& p = *m_pFindPattern;
  size_t hit = Search(m_pText, m_nLength, m_nFindPos + p.m_nLength, p.m_pText, p.m_nLength);
  if (hit == std::string_view::npos) {
    m_bFound = false;
    return nullptr;
  }
  m_nFindPos = static_cast<uint32_t>(hit);
  return m_pText + hit;
}

// ---------------------------------------------------------------------------
// Files

int ZEPString::LoadFromFile(const char* path) {
  if (!path || !*path) return -1;
  // The path may be this string's own text, which is cleared next.
  std::string name(path);
  SetNull();
  // Only regular files, and nothing waits: a FIFO without a writer (or some
  // device) would hold the open for ever, and may never end.
  int fd = -1;
  if (ZEPOpenRegular(name.c_str(), true, fd) != 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return -1;
  }
  if (st.st_size <= 0) {
    ::close(fd);
    return 0;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxLength) {
    ::close(fd);
    return -1;
  }
  Assign("", 0);
  if (m_nStep != 0) Reserve(static_cast<uint32_t>(st.st_size), 0);
  char buf[65536];
  int rc = 0;
  for (;;) {
    // A fixed buffer that is full cannot take more: the rest is dropped anyway.
    if (m_nStep == 0 && m_nLength >= m_nCapacity) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      rc = -1;
      break;
    }
    if (n == 0) break;
    // The file may have grown since fstat().
    if (static_cast<uint64_t>(m_nLength) + static_cast<uint64_t>(n) > kMaxLength) {
      rc = -1;
      break;
    }
    Append(buf, static_cast<uint32_t>(n));
  }
  ::close(fd);
  if (rc != 0) SetNull();
  return rc;
}

int ZEPString::WriteFile(const char* path, const char* mode) const {
  if (!path || !*path) return -1;
  FILE* f = std::fopen(path, mode);
  if (!f) return -1;
  bool ok = true;
  if (m_pText && m_nLength > 0) ok = std::fwrite(m_pText, 1, m_nLength, f) == m_nLength;
  // fclose() flushes: a full disk shows up here.
  if (std::fclose(f) != 0) ok = false;
  return ok ? 0 : -1;
}

int ZEPString::SaveToFile(const char* path) const { return WriteFile(path, "wb"); }

int ZEPString::AppendToFile(const char* path) const {
  if (!m_pText || m_nLength == 0) return 0;
  return WriteFile(path, "ab");
}
