// zepdecimal.h — the one reader of decimal numbers in text: configuration
// values, protocol properties, environment variables, kernel files.
//
// Plain functions over (pointer, length): the text need not end in a zero
// byte, and a zero byte inside it is a byte like any other that is no digit.
// Every range is explicit; what lies outside it is refused (or, where the
// caller asks, clamped), never wrapped. Results: 0 with `value` set, or -1
// with `value` untouched. Any bytes give a defined answer.
//
// Owns nothing and takes no lock: any thread may call them.
#ifndef ZEP_BASE_ZEPDECIMAL_H
#define ZEP_BASE_ZEPDECIMAL_H

#include <cstddef>
#include <cstdint>

// What may come with the digits besides them; 0 is digits alone.
enum : unsigned {
  // Blanks (space, \t, \n, \v, \f, \r) may come before the number, and
  // (unless kZepDecimalPrefix) after it.
  kZepDecimalBlanks = 1u << 0,
  // A '+' may come before the digits (a '-' only ever before those of
  // ZEPParseSignedDecimal).
  kZepDecimalPlus = 1u << 1,
  // The number may be followed by anything: it ends at the first byte that
  // is no digit, and `used` (when given) says where.
  kZepDecimalPrefix = 1u << 2,
  // A number outside [min, max] (however many digits) becomes the nearer
  // bound instead of being refused.
  kZepDecimalSaturate = 1u << 3,
};

// An unsigned decimal of `len` bytes at `text` within [min, max]. A '-' is
// always refused, so is text without a digit. `used` (optional) receives
// the bytes read, blanks included.
int ZEPParseDecimal(const char* text, size_t len, uint64_t min, uint64_t max, uint64_t& value,
                    unsigned flags = 0, size_t* used = nullptr);

// The same with an optional '-' before the digits.
int ZEPParseSignedDecimal(const char* text, size_t len, int64_t min, int64_t max, int64_t& value,
                          unsigned flags = 0, size_t* used = nullptr);

#endif  // ZEP_BASE_ZEPDECIMAL_H
