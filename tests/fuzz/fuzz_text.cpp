// The decimal reader and the log-safe escaping over any bytes. The first
// byte picks the reader's options; the rest is the text. The reader must
// agree with a plain oracle (digits alone, within 64 bits) and never leave
// its text; the escaping must leave no control byte and undo to the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/zepdecimal.h"
#include "fuzz_util.h"
#include "log/zeplogsafe.h"

namespace {

// Digits only, at least one, and no more than UINT64_MAX.
bool OracleDigits(const std::string& t, uint64_t& value) {
  if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::string digits = t.substr(std::min(t.find_first_not_of('0'), t.size() - 1));
  static const std::string kMax = "18446744073709551615";
  if (digits.size() > kMax.size() || (digits.size() == kMax.size() && digits > kMax)) return false;
  value = 0;
  for (char c : digits) value = value * 10 + static_cast<uint64_t>(c - '0');
  return true;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    FUZZ_CHECK(i + 1 < s.size());
    const char k = s[++i];
    if (k == 'x') {
      FUZZ_CHECK(i + 2 < s.size());
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      FUZZ_CHECK(k == '\\' || k == 'n' || k == 'r' || k == 't');
      out += k == '\\' ? '\\' : k == 'n' ? '\n' : k == 'r' ? '\r' : '\t';
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Reader in(data, size);
  const unsigned flags = in.Byte() & 15u;
  const std::string text = in.Bytes(in.Left());

  uint64_t value = 12345, want = 0;
  size_t used = 0;
  const int rc = ZEPParseDecimal(text.data(), text.size(), 0, UINT64_MAX, value, flags, &used);
  if (flags == 0) FUZZ_CHECK((rc == 0) == OracleDigits(text, want) && (rc != 0 || value == want));
  if (rc != 0) FUZZ_CHECK(value == 12345);
  if (rc == 0) FUZZ_CHECK(used >= 1 && used <= text.size());
  int64_t signedValue = 0;
  const int src = ZEPParseSignedDecimal(text.data(), text.size(), -1000, 1000, signedValue, flags);
  if (src == 0) FUZZ_CHECK(signedValue >= -1000 && signedValue <= 1000);

  const ZEPString safe = ZEPLogSafeText(text.data(), text.size());
  const std::string shown(safe.GetSafeText(), safe.GetLength());
  for (char c : shown) {
    const unsigned char b = static_cast<unsigned char>(c);
    FUZZ_CHECK(b >= 0x20 && b != 0x7f);
  }
  FUZZ_CHECK(Unescape(shown) == text);
  return 0;
}
