// What a peer's bytes become in a log line.
#include "log/zeplogsafe.h"

#include <gtest/gtest.h>

#include <string>

#include "support/zepstring_text.h"

namespace {

std::string Safe(const std::string& bytes) {
  return zeptest::Str(ZEPLogSafeText(bytes.data(), bytes.size()));
}

TEST(ZEPLogSafeTest, TextsGoByTheirLength) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"1.2.3.4", "1.2.3.4"},
      {"ok\r\n11:00:00 forged line", "ok\\r\\n11:00:00 forged line"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x1b[2J\\x41", "\\x1b[2J\\\\x41"},
      {"\xb3\xc9\xb9\xa6\n", "\xb3\xc9\xb9\xa6\\n"},
      {"\x01\x1f \x7e\x7f\x80\xff\t", "\\x01\\x1f ~\\x7f\x80\xff\\t"},
      {"a\nb\rc\td\\e", "a\\nb\\rc\\td\\\\e"},
      {std::string("\x00\x01\x1b\x1f\x7f", 5), "\\x00\\x01\\x1b\\x1f\\x7f"},
      {" ~!\"=", " ~!\"="},
      {"\xb5\xc7\xc2\xbc\x80\xff", "\xb5\xc7\xc2\xbc\x80\xff"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.out, Safe(c.in));
    EXPECT_EQ(c.out, zeptest::Str(ZEPLogSafeText(
                         ZEPString::FromBytes(c.in.data(), static_cast<uint32_t>(c.in.size())))));
  }
  // Null in, "" out: the result can always be logged.
  EXPECT_FALSE(ZEPLogSafeText(ZEPString()).IsNull());
  EXPECT_FALSE(ZEPLogSafeText(nullptr, 5).IsNull());
  EXPECT_EQ(0u, ZEPLogSafeText(nullptr, 5).GetLength());
  EXPECT_EQ(0u, ZEPLogSafeText(ZEPString()).GetLength());
}

TEST(ZEPLogSafeTest, NoByteThatRewritesATerminalLineGoesOut) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  for (char c : Safe(all)) {
    const unsigned char u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u >= 0x20 && u != 0x7f) << "byte " << static_cast<int>(u);
  }
}

}  // namespace
