#include "app/proto/scramble.h"

#include <netinet/in.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "net/zepaddr.h"

namespace {

// Two fixed orders of the byte values 1..255 (affine maps modulo 255 with
// multipliers coprime to 255, so each value occurs exactly once).
constexpr std::array<unsigned char, 256> MakeAlphabet(unsigned mul, unsigned add) {
  std::array<unsigned char, 256> a{};
  for (unsigned i = 0; i < 255; ++i) a[i] = static_cast<unsigned char>((i * mul + add) % 255 + 1);
  a[255] = 0;
  return a;
}

constexpr bool IsPermutationOf1To255(const std::array<unsigned char, 256>& a) {
  bool seen[256] = {};
  for (int i = 0; i < 255; ++i) {
    if (a[i] == 0 || seen[a[i]]) return false;
    seen[a[i]] = true;
  }
  return a[255] == 0;
}

constexpr std::array<unsigned char, 256> kIn = MakeAlphabet(91, 37);
constexpr std::array<unsigned char, 256> kOut = MakeAlphabet(113, 200);
static_assert(IsPermutationOf1To255(kIn), "IN_STRING must hold 1..255 once");
static_assert(IsPermutationOf1To255(kOut), "OUT_STRING must hold 1..255 once");

constexpr int kAlphabetLen = 255;

std::once_flag s_OriginalCharOnce;

}  // namespace

const unsigned char g_CredentialKey[8] = {0x3A, 0xC1, 0x77, 0x05, 0xE9, 0x12, 0x8D, 0x64};

ZEPd3des g_DesEN;
ZEPd3des g_DesDE;

const char ReadableChar[65] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789*_";
char OriginalChar[128];
std::atomic<bool> g_bInitOriginalChar{false};

const std::array<unsigned char, 256> IN_STRING = kIn;
const std::array<unsigned char, 256> OUT_STRING = kOut;

void InitDes(const unsigned char* key) {
  g_DesEN.deskey(key, ZEPd3des::EN0);
  g_DesDE.deskey(key, ZEPd3des::DE1);
}

// ---------------------------------------------------------------------------
// 6-bit text encoding

size_t ReadableLength(size_t len) { return (len * 8 + 5) / 6; }

size_t OriginalLength(size_t textLen) {
  size_t full = textLen / 4 * 3;
  switch (textLen % 4) {
    case 1:  // the lone 6 bits still make one (top-filled) byte
    case 2:
      return full + 1;
    case 3:
      return full + 2;
    default:
      return full;
  }
}

char* MakeOriginalCharTable() {
  // Built once: several node threads may decode their first reply at the
  // same moment, and rewriting the table while another reads it is a race.
  std::call_once(s_OriginalCharOnce, [] {
    std::memset(OriginalChar, 0, sizeof(OriginalChar));
    for (int k = 0; k < 64; ++k)
      OriginalChar[static_cast<unsigned char>(ReadableChar[k])] = static_cast<char>(k);
    g_bInitOriginalChar.store(true, std::memory_order_release);
  });
  return OriginalChar;
}

int GetBits(const char* data, int len, int& pos, int& bit, int n, unsigned char& value) {
  if (data == nullptr || pos < 0 || pos >= len || bit < 0 || bit > 7 || n < 0 || n > 8) return -1;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  unsigned word = static_cast<unsigned>(p[pos]) << 8;
  if (pos + 1 < len) word |= p[pos + 1];
  value = static_cast<unsigned char>((word << bit >> (16 - n)) & ((1u << n) - 1));
  bit += n;
  if (bit >= 8) {
    bit -= 8;
    ++pos;
  }
  return 0;
}

int ToReadable(const unsigned char* data, int len, char* out) {
  if (out == nullptr || len < 0 || (data == nullptr && len > 0)) return -1;
  const char* bytes = reinterpret_cast<const char*>(data);
  int pos = 0;
  int bit = 0;
  unsigned char v = 0;
  char* w = out;
  while (GetBits(bytes, len, pos, bit, 6, v) == 0) *w++ = ReadableChar[v];
  *w = '\0';
  return 0;
}

int ToOriginal(const char* text, size_t len, char* out, size_t& count) {
  if (!g_bInitOriginalChar.load(std::memory_order_acquire)) MakeOriginalCharTable();
  if (text == nullptr || out == nullptr) return -1;
  const size_t total = OriginalLength(len);
  size_t produced = 0;
  uint32_t acc = 0;  // pending bits, right-aligned
  int bits = 0;
  for (size_t i = 0; i < len && produced < total; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    acc = (acc << 6) | static_cast<uint32_t>(c < 128 ? OriginalChar[c] : 0);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[produced++] = static_cast<char>(acc >> bits);
      acc &= (1u << bits) - 1;
    }
  }
  // 4m+1 characters: the last one's 6 bits fill the top of a final byte.
  if (produced < total) out[produced++] = static_cast<char>(acc << (8 - bits));
  out[produced] = '\0';
  count = produced;
  return 0;
}

int ToOriginal(const char* text, char* out, int& count) {
  if (text == nullptr || out == nullptr) {
    if (!g_bInitOriginalChar.load(std::memory_order_acquire)) MakeOriginalCharTable();
    return -1;
  }
  size_t len = std::strlen(text);
  if (OriginalLength(len) > static_cast<size_t>(INT_MAX)) return -1;
  size_t n = 0;
  int rc = ToOriginal(text, len, out, n);
  count = static_cast<int>(n);
  return rc;
}

// ---------------------------------------------------------------------------
// DES scrambling

int EnAString(const char* data, size_t len, ZEPString& out) {
  if (data == nullptr) len = 0;
  const size_t n = (len + 7) / 8 * 8;
  if (n == 0) {
    out = "";
    return 0;
  }
  std::vector<unsigned char> buf(n, 0);
  std::memcpy(buf.data(), data, len);
  for (size_t off = 0; off < n; off += 8) g_DesEN.des(&buf[off], &buf[off]);
  std::vector<char> text(ReadableLength(n) + 1);
  ToReadable(buf.data(), static_cast<int>(n), text.data());
  out.Assign(text.data(), static_cast<uint32_t>(text.size() - 1));
  return 0;
}

int EnAString(const ZEPString& in, ZEPString& out) {
  // Copy first: `in` and `out` may be the same string.
  std::vector<char> copy(in.GetText(), in.GetText() + in.GetLength());
  return EnAString(copy.data(), copy.size(), out);
}

int DeAString(const char* text, size_t len, ZEPString& out) {
  if (text == nullptr) len = 0;
  const size_t count = OriginalLength(len);
  // Whole blocks plus a terminating zero: a trailing partial block (never
  // produced by EnAString) is decrypted as if zero-padded, inside the buffer.
  const size_t n = (count + 7) / 8 * 8;
  std::vector<char> buf(n + 1, 0);
  size_t produced = 0;
  if (len > 0) ToOriginal(text, len, buf.data(), produced);
  for (size_t off = 0; off < produced; off += 8) {
    unsigned char* block = reinterpret_cast<unsigned char*>(&buf[off]);
    g_DesDE.des(block, block);
  }
  const void* zero = std::memchr(buf.data(), 0, n);
  size_t end = zero ? static_cast<size_t>(static_cast<const char*>(zero) - buf.data()) : n;
  out.Assign(buf.data(), static_cast<uint32_t>(end));
  return 0;
}

int DeAString(const ZEPString& in, ZEPString& out) {
  std::vector<char> copy(in.GetText(), in.GetText() + in.GetLength());
  return DeAString(copy.data(), copy.size(), out);
}

// ---------------------------------------------------------------------------
// Older password form

int TranslateChars(char* text, const char* from, const char* to, int n) {
  if (text == nullptr || from == nullptr || to == nullptr) return -1;
  // A byte map instead of n passes over the text: a byte already replaced
  // must not be replaced again by a later pair.
  unsigned char map[256];
  bool set[256] = {};
  for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i);
  for (int k = 0; k < n; ++k) {
    unsigned char f = static_cast<unsigned char>(from[k]);
    if (!set[f]) {
      set[f] = true;
      map[f] = static_cast<unsigned char>(to[k]);
    }
  }
  for (char* p = text; *p != '\0'; ++p) *p = static_cast<char>(map[static_cast<unsigned char>(*p)]);
  return 0;
}

namespace {
// IN_STRING rotated left by r positions.
void RotatedAlphabet(long r, char* rot) {
  for (int i = 0; i < kAlphabetLen; ++i)
    rot[i] = static_cast<char>(IN_STRING[(r + i) % kAlphabetLen]);
  rot[kAlphabetLen] = '\0';
}
}  // namespace

int EncryptStringRot(const char* src, char* dst, long rotation) {
  if (src == nullptr || dst == nullptr) return -1;
  long r = rotation % kAlphabetLen;
  if (r < 0) r += kAlphabetLen;
  char rot[kAlphabetLen + 1];
  RotatedAlphabet(r, rot);
  dst[0] = rot[0];
  std::strcpy(dst + 1, src);
  return TranslateChars(dst + 1, rot, reinterpret_cast<const char*>(OUT_STRING.data()),
                        kAlphabetLen);
}

int EncryptString(const char* src, char* dst) {
  return EncryptStringRot(src, dst, static_cast<long>(std::time(nullptr) % kAlphabetLen));
}

int DecryptString(const char* src, char* dst) {
  if (dst == nullptr) return -1;
  dst[0] = '\0';
  if (src == nullptr || src[0] == '\0') return -1;
  const void* at = std::memchr(IN_STRING.data(), static_cast<unsigned char>(src[0]), kAlphabetLen);
  if (at == nullptr) return -1;
  long r = static_cast<const unsigned char*>(at) - IN_STRING.data();
  char rot[kAlphabetLen + 1];
  RotatedAlphabet(r, rot);
  std::strcpy(dst, src + 1);
  return TranslateChars(dst, reinterpret_cast<const char*>(OUT_STRING.data()), rot, kAlphabetLen);
}

void EnryptPasswd(const char* src, char* dst) {
  if (dst == nullptr) return;
  if (src == nullptr) src = "";
  std::vector<char> tmp(std::strlen(src) + 2);
  EncryptString(src, tmp.data());
  ToReadable(reinterpret_cast<const unsigned char*>(tmp.data()),
             static_cast<int>(std::strlen(tmp.data())), dst);
}

namespace {
// The decoded bytes may hold anything; DecryptString reads them up to the
// first zero, which ToOriginal always writes after the last byte.
std::vector<char> DecryptPasswdBytes(const char* src) {
  if (src == nullptr) src = "";
  size_t len = std::strlen(src);
  std::vector<char> decoded(OriginalLength(len) + 1);
  size_t count = 0;
  ToOriginal(src, len, decoded.data(), count);
  std::vector<char> plain(decoded.size());
  DecryptString(decoded.data(), plain.data());
  return plain;
}
}  // namespace

void DecryptPasswd(const char* src, ZEPString& dst) {
  std::vector<char> plain = DecryptPasswdBytes(src);
  dst = plain.data();
}

void DecryptPasswd(const char* src, char* dst) {
  if (dst == nullptr) return;
  std::vector<char> plain = DecryptPasswdBytes(src);
  std::strcpy(dst, plain.data());
}

// ---------------------------------------------------------------------------
// Addresses

ZEPString ULong2IPAddr(unsigned long addr) {
  // Only the low 32 bits hold the address; their memory order is the
  // network order on every host, as in struct in_addr.
  uint32_t a = static_cast<uint32_t>(addr);
  unsigned char b[4];
  std::memcpy(b, &a, 4);
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return ZEPString(text);
}

unsigned long IP2Long(const char* text) {
  uint32_t addr = 0;
  if (!ZEPParseIPv4(text, &addr)) return INADDR_NONE;
  return addr;
}
