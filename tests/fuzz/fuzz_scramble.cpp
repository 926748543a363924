// The credential scrambling. Any text unscrambles (DeAString, ToOriginal,
// DecryptString, DecryptPasswd) into exact-size buffers; and the encoders
// invert: DeAString(EnAString(x)) is x up to its first zero byte,
// ToOriginal(ToReadable(x)) is x, DecryptString(EncryptStringRot(x, r)) is x.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/proto/scramble.h"
#include "fuzz_util.h"

namespace {

std::string Str(const ZEPString& s) { return std::string(s.GetSafeText(), s.GetLength()); }

void DecodeAnything(const std::string& text) {
  std::vector<char> exact = fuzzutil::Exact(text);
  const char* p = exact.empty() ? nullptr : exact.data();
  ZEPString plain;
  FUZZ_CHECK(DeAString(p, exact.size(), plain) == 0);
  FUZZ_CHECK(plain.GetLength() <= (OriginalLength(exact.size()) + 7) / 8 * 8);
  FUZZ_CHECK(std::memchr(plain.GetSafeText(), 0, plain.GetLength()) == nullptr);

  if (p != nullptr) {
    std::vector<char> out(OriginalLength(exact.size()) + 1);
    size_t count = 0;
    FUZZ_CHECK(ToOriginal(p, exact.size(), out.data(), count) == 0);
    FUZZ_CHECK(count == OriginalLength(exact.size()) && out[count] == '\0');
  }

  // The zero-terminated forms read up to the first zero byte.
  const std::string cstr = text.substr(0, text.find('\0'));
  std::vector<char> z(cstr.begin(), cstr.end());
  z.push_back('\0');
  std::vector<char> dst(cstr.empty() ? 1 : cstr.size());  // exactly what it needs
  const int rc = DecryptString(z.data(), dst.data());
  FUZZ_CHECK(rc == 0 || (rc == -1 && dst[0] == '\0'));
  if (rc == 0) FUZZ_CHECK(std::strlen(dst.data()) + 1 == cstr.size());
  std::vector<char> pw(OriginalLength(cstr.size()) + 1);
  DecryptPasswd(z.data(), pw.data());
  FUZZ_CHECK(std::memchr(pw.data(), 0, pw.size()) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool keyed = (InitDes(g_CredentialKey), true);
  (void)keyed;
  const std::string x(reinterpret_cast<const char*>(data), size);
  DecodeAnything(x);

  ZEPString scrambled;
  std::vector<char> exact = fuzzutil::Exact(x);
  FUZZ_CHECK(EnAString(exact.empty() ? nullptr : exact.data(), exact.size(), scrambled) == 0);
  const std::string s = Str(scrambled);
  FUZZ_CHECK(s.find_first_not_of(ReadableChar) == std::string::npos);
  ZEPString back;
  DeAString(scrambled, back);
  FUZZ_CHECK(Str(back) == x.substr(0, x.find('\0')));

  std::vector<char> readable(ReadableLength(size) + 1);
  FUZZ_CHECK(ToReadable(reinterpret_cast<const unsigned char*>(exact.data()),
                        static_cast<int>(size), readable.data()) == 0);
  std::vector<char> original(OriginalLength(ReadableLength(size)) + 1);
  size_t count = 0;
  FUZZ_CHECK(ToOriginal(readable.data(), ReadableLength(size), original.data(), count) == 0);
  FUZZ_CHECK(count >= size && std::string(original.data(), size) == x);

  const std::string cstr = x.substr(0, x.find('\0'));
  std::vector<char> src(cstr.begin(), cstr.end());
  src.push_back('\0');
  std::vector<char> enc(cstr.size() + 2);
  const long rotation = size > 0 ? data[0] : 0;
  FUZZ_CHECK(EncryptStringRot(src.data(), enc.data(), rotation) == 0);
  std::vector<char> dec(cstr.size() + 1);
  FUZZ_CHECK(DecryptString(enc.data(), dec.data()) == 0);
  FUZZ_CHECK(std::string(dec.data()) == cstr);
  return 0;
}
