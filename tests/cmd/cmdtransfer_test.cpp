#include "cmd/cmdtransfer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/zepstring_text.h"

namespace {

using zeptest::Str;

TEST(AddCmdPropTest, BuildsTheDocumentedBytes) {
  ZEPString msg;
  EXPECT_EQ(0, CmdTransfer::AddCmdProp(msg, "C", "1"));
  EXPECT_EQ(Str(msg),
            "\x01"
            "C=1\x01");
  EXPECT_EQ(0, CmdTransfer::AddCmdProp(msg, "K", "7"));
  EXPECT_EQ(Str(msg),
            "\x01"
            "C=1\x01K=7\x01");
  ZEPString fresh("");
  CmdTransfer::AddCmdProp(fresh, "C", "1");
  CmdTransfer::AddCmdProp(fresh, "K", "42");
  EXPECT_EQ(Str(fresh), std::string("\x01\x43\x3D\x31\x01\x4B\x3D\x34\x32\x01"));
}

TEST(AddCmdPropTest, NullKeyOrValueLeavesMessageAlone) {
  ZEPString empty;
  EXPECT_EQ(-1, CmdTransfer::AddCmdProp(empty, nullptr, "v"));
  EXPECT_EQ(-1, CmdTransfer::AddCmdProp(empty, "k", static_cast<const char*>(nullptr)));
  EXPECT_EQ(-1, CmdTransfer::AddCmdProp(empty, "k", ZEPString()));
  EXPECT_TRUE(empty.IsNull());
  ZEPString msg;
  CmdTransfer::AddCmdProp(msg, "C", "5");
  CmdTransfer::AddCmdProp(msg, "K", ZEPString());  // client id never assigned
  EXPECT_EQ(Str(msg),
            "\x01"
            "C=5\x01");
}

TEST(AddCmdPropTest, EmptyValueIsWrittenAndValueMayHoldEquals) {
  ZEPString msg;
  CmdTransfer::AddCmdProp(msg, "OK", "");
  CmdTransfer::AddCmdProp(msg, "URL", "http://h/?a=b");
  EXPECT_EQ(Str(msg), "\x01OK=\x01URL=http://h/?a=b\x01");
  EXPECT_EQ(Str(CmdTransfer::GetCmdProp(msg, "URL")), "http://h/?a=b");
}

TEST(AddCmdPropTest, RefusesWhatTheFormatCannotCarry) {
  ZEPString msg;
  CmdTransfer::AddCmdProp(msg, "C", "1");
  const std::string before = Str(msg);
  // A value with the separator would smuggle in a property of its own.
  EXPECT_EQ(-1, CmdTransfer::AddCmdProp(msg, "UserName", "x\x01OK=Y"));
  EXPECT_EQ(-1, CmdTransfer::AddCmdProp(msg, "K\x01", "1"));
  EXPECT_EQ(-1, CmdTransfer::AddCmdProp(msg, "A=B", "1"));
  EXPECT_EQ(-1, CmdTransfer::AddCmdProp(msg, "K", ZEPString::FromBytes("ab\0cd", 5)));
  EXPECT_EQ(Str(msg), before);
  EXPECT_TRUE(CmdTransfer::GetCmdProp(msg, "OK").IsNull());
}

TEST(GetCmdPropTest, FindsWholeKeysOnly) {
  ZEPString msg;
  CmdTransfer::AddCmdProp(msg, "OK", "Y");
  CmdTransfer::AddCmdProp(msg, "K", "9");
  CmdTransfer::AddCmdProp(msg, "Domain0", "a.example.net;");
  EXPECT_EQ(Str(CmdTransfer::GetCmdProp(msg, "K")), "9");
  EXPECT_EQ(Str(CmdTransfer::GetCmdProp(msg, "OK")), "Y");
  EXPECT_TRUE(CmdTransfer::GetCmdProp(msg, "Domain").IsNull());
  EXPECT_TRUE(CmdTransfer::GetCmdProp(msg, "k").IsNull());  // case-sensitive
  EXPECT_TRUE(CmdTransfer::GetCmdProp(msg, nullptr).IsNull());
}

TEST(GetCmdPropTest, FirstOccurrenceEmptyValueAndMissingLastSeparator) {
  ZEPString msg(
      "\x01K=1\x01K=2\x01"
      "E=\x01Last=tail");
  EXPECT_EQ(Str(CmdTransfer::GetCmdProp(msg, "K")), "1");
  ZEPString e = CmdTransfer::GetCmdProp(msg, "E");
  EXPECT_FALSE(e.IsNull());
  EXPECT_EQ(e.GetLength(), 0u);
  EXPECT_EQ(Str(CmdTransfer::GetCmdProp(msg, "Last")), "tail");
}

TEST(GetCmdPropTest, EmptyNullAndUnframedMessages) {
  EXPECT_TRUE(CmdTransfer::GetCmdProp(ZEPString(), "C").IsNull());
  EXPECT_TRUE(CmdTransfer::GetCmdProp(ZEPString(""), "C").IsNull());
  // Without the leading separator the first property cannot be found.
  ZEPString unframed("C=2\x01K=3\x01");
  EXPECT_TRUE(CmdTransfer::GetCmdProp(unframed, "C").IsNull());
  EXPECT_EQ(Str(CmdTransfer::GetCmdProp(unframed, "K")), "3");
}

TEST(GetCmdPropTest, SearchStopsAtZeroByte) {
  const char raw[] =
      "\x01"
      "C=2\x01\0\x01K=3\x01";
  ZEPString msg = ZEPString::FromBytes(raw, sizeof(raw) - 1);
  EXPECT_EQ(Str(CmdTransfer::GetCmdProp(msg, "C")), "2");
  EXPECT_TRUE(CmdTransfer::GetCmdProp(msg, "K").IsNull());
  const char cut[] =
      "\x01"
      "C=2\0tail";
  EXPECT_EQ(Str(CmdTransfer::GetCmdProp(cut, sizeof(cut) - 1, "C")), "2");
}

TEST(GetCmdPropTest, TruncatedMessageAtEveryLength) {
  ZEPString msg;
  CmdTransfer::AddCmdProp(msg, "C", "2");
  CmdTransfer::AddCmdProp(msg, "Data", "abcdefghijk");
  const std::string full = Str(msg);
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    std::vector<char> buf(full.begin(), full.begin() + cut);  // no terminator
    ZEPString data = CmdTransfer::GetCmdProp(buf.data(), static_cast<uint32_t>(cut), "Data");
    // Either absent or a prefix of the real value.
    if (!data.IsNull()) {
      EXPECT_EQ(std::string("abcdefghijk").find(Str(data)), 0u) << cut;
    }
  }
}

TEST(GetCmdPropTest, RandomAndOversizedInputIsHarmless) {
  std::mt19937 rng(99);
  const char* keys[] = {"C", "Data", "OK", "", "K"};
  for (int round = 0; round < 500; ++round) {
    size_t len = (round < 5) ? 4096 + 1000 * round : rng() % 200;
    std::vector<char> buf(len);
    // Few distinct bytes so separators, "=" and key letters collide often.
    const char pool[] = {'\x01', '=', 'C', 'K', 'O', '2', '\0', 'D', 'a', 't'};
    for (auto& c : buf) c = pool[rng() % sizeof(pool)];
    for (const char* key : keys) {
      ZEPString v = CmdTransfer::GetCmdProp(buf.data(), static_cast<uint32_t>(len), key);
      EXPECT_LE(v.GetLength(), len);
      EXPECT_EQ(Str(v).find('\x01'), std::string::npos);
    }
  }
}

TEST(PropertyRoundTrip, EverythingAddedReadsBack) {
  std::mt19937 rng(5);
  for (int round = 0; round < 100; ++round) {
    ZEPString msg;
    std::vector<std::pair<std::string, std::string>> props;
    for (int i = 0; i < 6; ++i) {
      std::string key = "P" + std::to_string(i);
      std::string value;
      for (size_t n = rng() % 20; n > 0; --n) value += static_cast<char>(2 + rng() % 254);
      ASSERT_EQ(0, CmdTransfer::AddCmdProp(msg, key.c_str(), value.c_str()));
      props.emplace_back(key, value);
    }
    for (const auto& kv : props) {
      EXPECT_EQ(Str(CmdTransfer::GetCmdProp(msg, kv.first.c_str())), kv.second);
    }
  }
}

}  // namespace
