// The JSON of the status file: strings that stay ASCII and come back
// byte for byte, and a reader that refuses what is not JSON.
#include "base/zepjson.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string JsonOf(const std::string& bytes) {
  std::string out;
  DyrJsonAppendString(out, bytes);
  return out;
}

TEST(DyrJson, StringsAreEscapedToAscii) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", "\"\""},
      {"203.0.113.7", "\"203.0.113.7\""},
      {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
      // GB2312 ("登录"): one escape per byte, so the file is never bad UTF-8.
      {"\xb5\xc7\xc2\xbc", "\"\\u00b5\\u00c7\\u00c2\\u00bc\""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, JsonOf(c.in));
}

TEST(DyrJson, EveryByteComesBackAsItWent) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string text = JsonOf(all);
  for (char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << static_cast<int>(c);
  DYRJsonValue v;
  ASSERT_EQ(0, DyrJsonParse(text.data(), text.size(), v));
  ASSERT_EQ(DYRJsonValue::kString, v.m_eType);
  EXPECT_EQ(all, v.m_strText);
}

TEST(DyrJson, ReadsValuesAndTheirMembers) {
  const std::string text =
      " {\"a\": [1, -2.5, true, false, null, \"x\\u4e2d\\ud83d\\ude00\"], \"n\": 1796822350,"
      " \"e\": {}, \"a\": 2} ";
  DYRJsonValue v;
  ASSERT_EQ(0, DyrJsonParse(text.data(), text.size(), v));
  const DYRJsonValue* a = v.Get("a");  // the first of two
  ASSERT_NE(nullptr, a);
  ASSERT_EQ(6u, a->m_Items.size());
  int64_t n = 0;
  EXPECT_TRUE(a->m_Items[0].GetInt(n));
  EXPECT_EQ(1, n);
  EXPECT_FALSE(a->m_Items[1].GetInt(n));
  EXPECT_EQ(-2.5, a->m_Items[1].m_dNumber);
  EXPECT_TRUE(a->m_Items[2].m_bBool);
  EXPECT_EQ(DYRJsonValue::kNull, a->m_Items[4].m_eType);
  // Above \u00ff: UTF-8, a surrogate pair joined.
  EXPECT_EQ("x\xe4\xb8\xad\xf0\x9f\x98\x80", a->m_Items[5].m_strText);
  ASSERT_TRUE(v.Get("n")->GetInt(n));
  EXPECT_EQ(1796822350, n);
  EXPECT_EQ(nullptr, v.Get("missing"));
  EXPECT_EQ(nullptr, a->Get("a")) << "an array has no members";
}

TEST(DyrJson, HostileInputGetsADefinedNo) {
  const std::string bad[] = {
      "",
      "   ",
      "{",
      "{\"a\":1",
      "{\"a\" 1}",
      "{a:1}",
      "{\"a\":1,}",
      "[1,]",
      "[1 2]",
      "\"open",
      "\"bad \\q escape\"",
      "\"short \\u12\"",
      "\"raw \n line\"",
      "01",
      "-",
      "1.",
      "1e",
      "+1",
      "1e999",  // not finite
      "nul",
      "truex",
      "{} {}",
      std::string("{\"a\":1}\0", 8),
      std::string(kDyrJsonMaxDepth + 1, '[') + std::string(kDyrJsonMaxDepth + 1, ']'),
      std::string(100000, '['),
  };
  for (const std::string& text : bad) {
    DYRJsonValue v;
    v.m_eType = DYRJsonValue::kArray;
    EXPECT_EQ(-1, DyrJsonParse(text.data(), text.size(), v)) << text.substr(0, 40);
    EXPECT_EQ(DYRJsonValue::kNull, v.m_eType) << "left empty: " << text.substr(0, 40);
  }
  // The deepest nesting taken, and a lone surrogate kept as "?".
  const std::string deep = std::string(kDyrJsonMaxDepth, '[') + std::string(kDyrJsonMaxDepth, ']');
  DYRJsonValue v;
  EXPECT_EQ(0, DyrJsonParse(deep.data(), deep.size(), v));
  const std::string lone = "\"\\ud800x\"";
  ASSERT_EQ(0, DyrJsonParse(lone.data(), lone.size(), v));
  EXPECT_EQ("?x", v.m_strText);
  EXPECT_EQ(-1, DyrJsonParse(nullptr, 3, v));
}

}  // namespace
