// Login, offline and reply messages of one account, checked byte for byte.
#include "app/proto/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "app/proto/scramble.h"
#include "cmd/cmdtransfer.h"
#include "support/zepstring_text.h"

namespace {

class DyrProto : public ::testing::Test {
 protected:
  void SetUp() override { InitDes(g_CredentialKey); }
};

using zeptest::Str;

DYRAccount_tag OneDomainAccount() {
  DYRAccount_tag a;
  a.m_strUserName = "u";
  a.m_strPassword = "p";
  a.m_Domains.push_back({ZEPString("x.example.net"), ZEPString("")});
  return a;
}

// Scrambles a reply the way a server does.
std::string Reply(const std::string& inner, const char* code = "2") {
  ZEPString in = ZEPString::FromBytes(inner.data(), static_cast<uint32_t>(inner.size()));
  ZEPString data;
  EnAString(in, data);
  ZEPString msg;
  CmdTransfer::AddCmdProp(msg, "C", code);
  CmdTransfer::AddCmdProp(msg, "Data", data.GetText());
  return Str(msg);
}

// The datagram in a heap block of exactly its size, with no zero byte after
// it (a std::string always has one): a read up to the first zero past the
// end is caught by AddressSanitizer.
std::unique_ptr<char[]> Exact(const std::string& wire) {
  std::unique_ptr<char[]> block(new char[wire.size()]);
  std::memcpy(block.get(), wire.data(), wire.size());
  return block;
}

int Parse(const std::string& wire, DYRLoginReply_tag& r) {
  return ParseLoginReply(Exact(wire).get(), static_cast<int>(wire.size()), r);
}

int Code(const std::string& wire) {
  return ReadCmdCode(Exact(wire).get(), static_cast<int>(wire.size()));
}

TEST_F(DyrProto, LoginMessageOfTheSmallestAccountIsByteExact) {
  DYRAccount_tag a = OneDomainAccount();
  ZEPString inner;
  MakeLoginInner(a, ZEPString(), inner);
  EXPECT_EQ(Str(inner),
            "\x01UserName=u\x01Password=p\x01OS=Unix\x01"
            "BuildNO=120\x01"
            "Domain0=x.example.net;\x01");
  EXPECT_EQ(inner.GetLength(), 66u);

  ZEPString msg;
  MakeLoginMsg(a, ZEPString(), msg);
  std::string wire = Str(msg);
  ASSERT_EQ(wire.substr(0, 10), std::string("\x01"
                                            "C=1\x01"
                                            "Data=",
                                            10));
  ASSERT_EQ(wire.back(), '\x01');
  std::string data = wire.substr(10, wire.size() - 11);
  EXPECT_EQ(data.size(), 96u);  // 72 bytes after padding, 6 bits per character
  EXPECT_EQ(data.find_first_not_of(ReadableChar), std::string::npos);
  ZEPString back;
  DeAString(ZEPString(data.c_str()), back);
  EXPECT_EQ(Str(back), Str(inner));
}

TEST_F(DyrProto, LoginCarriesClientIdAndDomainsInOrder) {
  DYRAccount_tag a = OneDomainAccount();
  a.m_Domains.push_back({ZEPString("b.example.net"), ZEPString("192.0.2.10")});
  ZEPString inner;
  MakeLoginInner(a, ZEPString("k77"), inner);
  EXPECT_EQ(Str(inner),
            "\x01UserName=u\x01Password=p\x01OS=Unix\x01"
            "BuildNO=120\x01K=k77\x01"
            "Domain0=x.example.net;\x01"
            "Domain1=b.example.net;192.0.2.10\x01");
  // An empty but assigned id is written with nothing after "=".
  MakeLoginInner(a, ZEPString(""), inner);
  EXPECT_NE(Str(inner).find("\x01K=\x01"), std::string::npos);
  // Unconfigured credentials are left out entirely.
  DYRAccount_tag bare;
  MakeLoginInner(bare, ZEPString(), inner);
  EXPECT_EQ(Str(inner),
            "\x01OS=Unix\x01"
            "BuildNO=120\x01");
}

TEST_F(DyrProto, OfflineRequest) {
  ZEPString msg;
  MakeOfflineMsg(ZEPString(), msg);
  EXPECT_EQ(Str(msg),
            "\x01"
            "C=5\x01");
  MakeOfflineMsg(ZEPString("42"), msg);
  EXPECT_EQ(Str(msg),
            "\x01"
            "C=5\x01K=42\x01");
}

TEST_F(DyrProto, ReplyKinds) {
  DYRLoginReply_tag r;
  EXPECT_EQ(Parse(Reply("\x01OK=Y\x01K=9\x01"
                        "ExitDYR=203.0.113.7\x01",
                        "1"),
                  r),
            DYR_REPLY_IGNORED);
  EXPECT_EQ(Parse("", r), DYR_REPLY_IGNORED);
  // Without "OK" the reply is invalid even with every other key.
  EXPECT_EQ(Parse(Reply("\x01K=9\x01"
                        "ExitDYR=203.0.113.7\x01HasTop=Y\x01"),
                  r),
            DYR_REPLY_INVALID);
  EXPECT_EQ(Parse(Reply("\x01OK=\x01K=9\x01"), r), DYR_REPLY_INVALID);
  EXPECT_EQ(Parse(Reply("\x01OK=N\x01MSG=bad password\x01"), r), DYR_REPLY_REFUSED);
  EXPECT_EQ(Str(r.m_strMsg), "bad password");

  ASSERT_EQ(Parse(Reply("\x01OK=Y\x01MSG=hi\x01"
                        "ExitDYR=203.0.113.7\x01K=k1\x01HasTop=y\x01"
                        "ReportIPSpan=30000\x01Version=2.02\x01"
                        "DownLoadURL=http://d/x\x01"),
                  r),
            DYR_REPLY_ACCEPTED);
  EXPECT_EQ(Str(r.m_strExitDYR), "203.0.113.7");
  EXPECT_EQ(Str(r.m_strK), "k1");
  EXPECT_EQ(Str(r.m_strHasTop), "y");
  EXPECT_EQ(Str(r.m_strReportIPSpan), "30000");
  EXPECT_EQ(Str(r.m_strVersion), "2.02");
  EXPECT_EQ(Str(r.m_strDownLoadURL), "http://d/x");
  EXPECT_EQ(Str(r.m_strMsg), "hi");  // the hook's DYR_MESSAGE of a login
}

TEST_F(DyrProto, ReplyWithoutDataIsReadFromTheOuterMessage) {
  DYRLoginReply_tag r;
  std::string plain =
      "\x01"
      "C=2\x01OK=Y\x01K=7\x01"
      "ExitDYR=198.51.100.1\x01";
  ASSERT_EQ(Parse(plain, r), DYR_REPLY_ACCEPTED);
  EXPECT_EQ(Str(r.m_strK), "7");
  // The datagram's text ends at its first zero byte.
  std::string cut = std::string(
                        "\x01"
                        "C=2\x01OK=Y\x01",
                        10) +
                    std::string(1, '\0') + "K=7\x01";
  ASSERT_EQ(Parse(cut, r), DYR_REPLY_ACCEPTED);
  EXPECT_TRUE(r.m_strK.IsEmpty());
  // Empty "Data" means the outer message is read.
  EXPECT_EQ(Parse("\x01"
                  "C=2\x01"
                  "Data=\x01OK=N\x01",
                  r),
            DYR_REPLY_REFUSED);
}

TEST_F(DyrProto, CommandCode) {
  std::string m =
      "\x01"
      "C=4\x01";
  EXPECT_EQ(Code(m), 4);
  m = "\x01"
      "C=x\x01";
  EXPECT_EQ(Code(m), 0);
  m = "\x01"
      "C=99999999999999999999\x01";
  EXPECT_NE(Code(m), 4);
  EXPECT_EQ(ReadCmdCode(nullptr, 10), 0);
  EXPECT_EQ(ReadCmdCode("C=4", -1), 0);
}

TEST_F(DyrProto, ReportSpanNeverFloodsTheServer) {
  EXPECT_EQ(ReadReportSpan(ZEPString()), -1);
  EXPECT_EQ(ReadReportSpan(ZEPString("")), -1);
  EXPECT_EQ(ReadReportSpan(ZEPString("30000")), 30000);
  EXPECT_EQ(ReadReportSpan(ZEPString("250ms")), 250);
  EXPECT_EQ(ReadReportSpan(ZEPString("abc")), -1);
  EXPECT_EQ(ReadReportSpan(ZEPString("0")), -1);
  EXPECT_EQ(ReadReportSpan(ZEPString("-5")), -1);
  EXPECT_EQ(ReadReportSpan(ZEPString("1")), kMinReportSpan);
  EXPECT_EQ(ReadReportSpan(ZEPString("99999999999999")), INT32_MAX);
  // Blanks, a sign and trailing text are read as the C library reads them.
  const struct {
    const char* in;
    int32_t span;
  } cases[] = {
      {" \t\n+250", 250},
      {"\v\f\r300 s", 300},
      {"+", -1},
      {"- 5", -1},
      {"-0", -1},
      {"2147483648", INT32_MAX},
      {"-99999999999999999999", -1},
      {"1000\x01", 1000},
      {"0x40", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadReportSpan(ZEPString(c.in)), c.span) << c.in;
}

// The client takes login replies on the main link while it logs in and the
// re-login request on the assist link while it reports; anything else, on
// any link and in any state, is dropped unread.
TEST_F(DyrProto, ClientReadsDatagramsOnlyWhereItExpectsThem) {
  const std::string accepted = Reply(
      "\x01OK=Y\x01K=k1\x01"
      "ExitDYR=203.0.113.7\x01");
  const std::string relogin =
      "\x01"
      "C=4\x01";
  DYRLoginReply_tag r;
  auto read = [&r](bool loggingIn, bool reporting, int link, const std::string& wire) {
    return ReadClientDatagram(loggingIn, reporting, link, Exact(wire).get(),
                              static_cast<int>(wire.size()), r);
  };
  ASSERT_EQ(read(true, false, DYR_LINK_MAIN, accepted), DYR_DATAGRAM_LOGIN_REPLY);
  EXPECT_EQ(r.m_Kind, DYR_REPLY_ACCEPTED);
  EXPECT_TRUE(IsUsableLogin(r));
  EXPECT_EQ(Str(r.m_strK), "k1");
  // A re-login request while logging in is just not a login reply.
  EXPECT_EQ(read(true, false, DYR_LINK_MAIN, relogin), DYR_DATAGRAM_LOGIN_REPLY);
  EXPECT_EQ(r.m_Kind, DYR_REPLY_IGNORED);
  EXPECT_EQ(read(false, true, DYR_LINK_ASST, relogin), DYR_DATAGRAM_RELOGIN);
  // Wrong link or state: dropped, and the previous reply does not linger.
  EXPECT_EQ(read(true, false, DYR_LINK_ASST, accepted), DYR_DATAGRAM_DROP);
  EXPECT_EQ(r.m_Kind, DYR_REPLY_IGNORED);
  EXPECT_TRUE(r.m_strK.IsNull());
  EXPECT_EQ(read(false, true, DYR_LINK_MAIN, relogin), DYR_DATAGRAM_DROP);
  EXPECT_EQ(read(false, false, DYR_LINK_ASST, relogin), DYR_DATAGRAM_DROP);
  EXPECT_EQ(read(false, true, DYR_LINK_OTHER, relogin), DYR_DATAGRAM_DROP);
  EXPECT_EQ(read(false, true, DYR_LINK_ASST, accepted), DYR_DATAGRAM_DROP);
  EXPECT_EQ(read(false, true, DYR_LINK_ASST, ""), DYR_DATAGRAM_DROP);
  // Accepted but without an egress address or an id: not usable.
  ASSERT_EQ(read(true, false, DYR_LINK_MAIN, Reply("\x01OK=Y\x01K=k1\x01")),
            DYR_DATAGRAM_LOGIN_REPLY);
  EXPECT_EQ(r.m_Kind, DYR_REPLY_ACCEPTED);
  EXPECT_FALSE(IsUsableLogin(r));
}

// Hostile datagrams: random bytes, truncations and bit flips of a valid
// reply, huge "Data". None may crash or over-read (run under ASan).
TEST_F(DyrProto, AnyDatagramGivesADefinedResult) {
  std::mt19937 rng(12345);
  std::string valid = Reply(
      "\x01OK=Y\x01K=k1\x01"
      "ExitDYR=203.0.113.7\x01");
  DYRLoginReply_tag r;
  ASSERT_EQ(Parse(valid, r), DYR_REPLY_ACCEPTED);
  for (int round = 0; round < 2000; ++round) {
    std::string wire;
    switch (round % 4) {
      case 0: {
        wire.resize(rng() % 4097);
        for (char& c : wire) c = static_cast<char>(rng());
        break;
      }
      case 1:
        wire = valid.substr(0, rng() % (valid.size() + 1));
        break;
      case 2:
        wire = valid;
        wire[rng() % wire.size()] ^= static_cast<char>(1u << (rng() % 8));
        break;
      default: {
        std::string data(rng() % 4090, 'A');
        for (char& c : data) c = static_cast<char>(rng() % 2 ? ReadableChar[rng() % 64] : rng());
        wire =
            "\x01"
            "C=2\x01"
            "Data=" +
            data;
      }
    }
    int kind = Parse(wire, r);
    ASSERT_TRUE(kind >= DYR_REPLY_IGNORED && kind <= DYR_REPLY_ACCEPTED) << "round " << round;
  }
}

}  // namespace
