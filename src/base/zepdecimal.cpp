#include "base/zepdecimal.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The magnitude of the number at text[0..len) with its sign; false when the
// text is not one by `flags`. A magnitude past 64 bits is reported as
// `huge` (the digits are still read to their end).
bool Scan(const char* text, size_t len, unsigned flags, bool signAllowed, bool& negative,
          uint64_t& magnitude, bool& huge, size_t& used) {
  if (text == nullptr) return false;
  size_t i = 0;
  if (flags & kZepDecimalBlanks)
    while (i < len && IsBlank(text[i])) ++i;
  negative = false;
  if (i < len && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '+' ? (flags & kZepDecimalPlus) == 0 : !signAllowed) return false;
    negative = text[i] == '-';
    ++i;
  }
  const size_t first = i;
  magnitude = 0;
  huge = false;
  for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i) {
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (huge || magnitude > (UINT64_MAX - digit) / 10) {
      huge = true;
      continue;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (i == first) return false;
  used = i;
  if (flags & kZepDecimalPrefix) return true;
  if (flags & kZepDecimalBlanks)
    while (i < len && IsBlank(text[i])) ++i;
  if (i != len) return false;
  used = i;
  return true;
}

}  // namespace

int ZEPParseDecimal(const char* text, size_t len, uint64_t min, uint64_t max, uint64_t& value,
                    unsigned flags, size_t* used) {
  bool negative = false, huge = false;
  uint64_t n = 0;
  size_t end = 0;
  if (min > max || !Scan(text, len, flags, false, negative, n, huge, end)) return -1;
  if (huge || n > max || n < min) {
    if ((flags & kZepDecimalSaturate) == 0) return -1;
    n = huge || n > max ? max : min;
  }
  value = n;
  if (used != nullptr) *used = end;
  return 0;
}

int ZEPParseSignedDecimal(const char* text, size_t len, int64_t min, int64_t max, int64_t& value,
                          unsigned flags, size_t* used) {
  bool negative = false, huge = false;
  uint64_t n = 0;
  size_t end = 0;
  if (min > max || !Scan(text, len, flags, true, negative, n, huge, end)) return -1;
  // The magnitude of INT64_MIN is one past INT64_MAX.
  const uint64_t limit = negative ? static_cast<uint64_t>(INT64_MAX) + 1 : INT64_MAX;
  bool below = false, above = false;
  int64_t v = 0;
  if (huge || n > limit) {
    (negative ? below : above) = true;
  } else {
    v = negative ? static_cast<int64_t>(0 - n) : static_cast<int64_t>(n);
    below = v < min;
    above = v > max;
  }
  if (below || above) {
    if ((flags & kZepDecimalSaturate) == 0) return -1;
    v = below ? min : max;
  }
  value = v;
  if (used != nullptr) *used = end;
  return 0;
}
