// The decimal reader: every edge of the digits, the range and the options,
// from one table. Texts are given with their length, so that a zero byte
// inside is part of them.
#include "base/zepdecimal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const uint64_t kU64Max = UINT64_MAX;
const unsigned kLax = kZepDecimalBlanks | kZepDecimalPlus | kZepDecimalPrefix | kZepDecimalSaturate;

struct UnsignedCase_tag {
  std::string text;
  uint64_t min, max;
  unsigned flags;
  int rc;
  uint64_t value;  // when rc == 0
  size_t used;     // when rc == 0
};

TEST(ZEPDecimalTest, UnsignedTable) {
  using std::string;
  const UnsignedCase_tag cases[] = {
      {"", 0, kU64Max, 0, -1, 0, 0},
      {"0", 0, kU64Max, 0, 0, 0, 1},
      {"007", 0, 10, 0, 0, 7, 3},
      {"65535", 1, 65535, 0, 0, 65535, 5},
      {"65536", 1, 65535, 0, -1, 0, 0},
      {"0", 1, 65535, 0, -1, 0, 0},
      {"000000000000000000000000000042", 0, 100, 0, 0, 42, 30},
      {"18446744073709551615", 0, kU64Max, 0, 0, kU64Max, 20},
      {"18446744073709551616", 0, kU64Max, 0, -1, 0, 0},
      {"99999999999999999999", 0, kU64Max, 0, -1, 0, 0},
      {"99999999999999999999", 0, 500, kZepDecimalSaturate, 0, 500, 20},
      {"3", 5, 500, kZepDecimalSaturate, 0, 5, 1},
      {"+5", 0, 9, 0, -1, 0, 0},
      {"+5", 0, 9, kZepDecimalPlus, 0, 5, 2},
      {"-5", 0, 9, kLax, -1, 0, 0},
      {"-0", 0, 9, kLax, -1, 0, 0},
      {"+", 0, 9, kZepDecimalPlus, -1, 0, 0},
      {"++5", 0, 9, kZepDecimalPlus, -1, 0, 0},
      {" 5", 0, 9, 0, -1, 0, 0},
      {"5 ", 0, 9, 0, -1, 0, 0},
      {" \t5\r\n", 0, 9, kZepDecimalBlanks, 0, 5, 5},
      {"  ", 0, 9, kZepDecimalBlanks, -1, 0, 0},
      {"5 5", 0, 99, kZepDecimalBlanks, -1, 0, 0},
      {"+ 5", 0, 9, kZepDecimalPlus | kZepDecimalBlanks, -1, 0, 0},
      {string("5\0", 2), 0, 9, 0, -1, 0, 0},
      {string("\0"
              "5",
              2),
       0, 9, kZepDecimalBlanks, -1, 0, 0},
      {string("12\0"
              "3",
              4),
       0, 999, kZepDecimalPrefix, 0, 12, 2},
      {"12ab", 0, 99, 0, -1, 0, 0},
      {"0x10", 0, 99, 0, -1, 0, 0},
      {"1e3", 0, 9999, 0, -1, 0, 0},
      {"a1", 0, 99, kZepDecimalPrefix, -1, 0, 0},
      {"\xb3\xc9"
       "1",
       0, 99, kZepDecimalPrefix, -1, 0, 0},
      {"12 kB", 0, 99, kZepDecimalPrefix, 0, 12, 2},
      {"  4194304\n", 0, kU64Max, kZepDecimalBlanks | kZepDecimalPrefix, 0, 4194304, 9},
      {"max\n", 0, kU64Max, kZepDecimalBlanks | kZepDecimalPrefix, -1, 0, 0},
      {"5", 9, 1, 0, -1, 0, 0},  // an empty range holds nothing
  };
  for (const UnsignedCase_tag& c : cases) {
    SCOPED_TRACE("\"" + c.text + "\" flags " + std::to_string(c.flags));
    uint64_t value = 777;
    size_t used = 999;
    EXPECT_EQ(c.rc,
              ZEPParseDecimal(c.text.data(), c.text.size(), c.min, c.max, value, c.flags, &used));
    EXPECT_EQ(c.rc == 0 ? c.value : 777u, value);
    EXPECT_EQ(c.rc == 0 ? c.used : 999u, used);
  }
  // Only `len` bytes are read: the digits after it are not there.
  uint64_t value = 0;
  ASSERT_EQ(0, ZEPParseDecimal("1234", 2, 0, 9999, value));
  EXPECT_EQ(12u, value);
  EXPECT_EQ(-1, ZEPParseDecimal(nullptr, 3, 0, 9, value));
  EXPECT_EQ(-1, ZEPParseDecimal("5", 0, 0, 9, value));
}

struct SignedCase_tag {
  std::string text;
  int64_t min, max;
  unsigned flags;
  int rc;
  int64_t value;
};

TEST(ZEPDecimalTest, SignedTable) {
  const int64_t kMin = INT64_MIN, kMax = INT64_MAX;
  const unsigned kStrtol =
      kZepDecimalBlanks | kZepDecimalPlus | kZepDecimalPrefix | kZepDecimalSaturate;
  const SignedCase_tag cases[] = {
      {"-5", -9, 9, 0, 0, -5},
      {"+5", -9, 9, 0, -1, 0},
      {"+5", -9, 9, kZepDecimalPlus, 0, 5},
      {"--5", -9, 9, 0, -1, 0},
      {"-", -9, 9, 0, -1, 0},
      {"-0", -9, 9, 0, 0, 0},
      {"9223372036854775807", kMin, kMax, 0, 0, kMax},
      {"9223372036854775808", kMin, kMax, 0, -1, 0},
      {"-9223372036854775808", kMin, kMax, 0, 0, kMin},
      {"-9223372036854775809", kMin, kMax, 0, -1, 0},
      {"-99999999999999999999999", kMin, kMax, 0, -1, 0},
      // As a protocol's numbers are read: the int32 range, clamped.
      {"99999999999999999999999", INT32_MIN, INT32_MAX, kStrtol, 0, INT32_MAX},
      {"-99999999999999999999999", INT32_MIN, INT32_MAX, kStrtol, 0, INT32_MIN},
      {"-2147483649", INT32_MIN, INT32_MAX, kStrtol, 0, INT32_MIN},
      {" \t+42xyz", INT32_MIN, INT32_MAX, kStrtol, 0, 42},
      {"-7", 0, 100, kZepDecimalSaturate, 0, 0},
      {"-7", 0, 100, 0, -1, 0},
      {"x", INT32_MIN, INT32_MAX, kStrtol, -1, 0},
  };
  for (const SignedCase_tag& c : cases) {
    SCOPED_TRACE("\"" + c.text + "\" flags " + std::to_string(c.flags));
    int64_t value = 777;
    EXPECT_EQ(c.rc,
              ZEPParseSignedDecimal(c.text.data(), c.text.size(), c.min, c.max, value, c.flags));
    EXPECT_EQ(c.rc == 0 ? c.value : 777, value);
  }
}

}  // namespace
