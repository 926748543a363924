// The account view: the two status lines of an account (the console's and
// the frame report's), and the list of a frame's client nodes.
#include "app/account/accountview.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/proto/scramble.h"
#include "frame/zepframe.h"
#include "support/scriptedserver.h"

namespace {

TEST(AccountStatusLine, EveryStyleKnownUnknownAndEscapedFields) {
  DYRAccount_tag account;
  account.m_strHost = "ddns.example.net";
  account.m_strUserName = "alice";
  DYRAccount_tag blank;  // a section without Host or UserName
  DYRStatus_tag fresh;   // logging in, nothing heard yet
  DYRStatus_tag up;
  up.m_nState = 20;
  up.m_strEgress = "203.0.113.7";
  up.m_strClientID = "10001";
  up.m_nLoginReplySec = 900;
  up.m_nReportSec = 990;
  DYRStatus_tag odd = up;  // the server's text with a line end and an escape in it
  odd.m_strEgress = "203.0.113.7\r\n\x1b";
  odd.m_strClientID = "id\x07";
  DYRAccount_tag filed = account;  // as a status file may hold it
  filed.m_strUserName = "al\x1bice";
  const struct {
    AccountLineStyle style;
    int index;
    const DYRAccount_tag& account;
    const DYRStatus_tag& status;
    const char* line;
  } cases[] = {
      {kAccountLineConsole, 1, account, fresh,
       "account 1 host=ddns.example.net user=alice state=0 egress=- id=- login_age=- "
       "report_age=-"},
      {kAccountLineConsole, 12, account, up,
       "account 12 host=ddns.example.net user=alice state=20 egress=203.0.113.7 id=10001 "
       "login_age=100 report_age=10"},
      {kAccountLineConsole, 2, blank, fresh,
       "account 2 host=- user=- state=0 egress=- id=- login_age=- report_age=-"},
      {kAccountLineReport, 1, account, fresh,
       "Account Host=ddns.example.net User=alice State=0 Egress= ClientID= LoginReplyAgo=- "
       "ReportAgo=-"},
      {kAccountLineReport, 12, account, up,
       "Account Host=ddns.example.net User=alice State=20 Egress=203.0.113.7 ClientID=10001 "
       "LoginReplyAgo=100s ReportAgo=10s"},
      {kAccountLineReport, 2, blank, odd,
       "Account Host= User= State=20 Egress=203.0.113.7\\r\\n\\x1b ClientID=id\x07 "
       "LoginReplyAgo=100s ReportAgo=10s"},
      {kAccountLineConsole, 4, filed, odd,
       "account 4 host=ddns.example.net user=al\x1bice state=20 egress=203.0.113.7\\r\\n\\x1b "
       "id=id\\x07 login_age=100 report_age=10"},
      {kAccountLineStatusQuery, 4, filed, odd,
       "account 4 host=ddns.example.net user=al\\x1bice state=20 "
       "egress=203.0.113.7\\r\\n\\x1b id=id\\x07 login_age=100 report_age=10"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.line, AccountStatusLine(c.index, c.account, c.status, 1000, c.style)) << c.line;
  // The default is the console's.
  EXPECT_EQ(AccountStatusLine(3, account, up, 1000, kAccountLineConsole),
            AccountStatusLine(3, account, up, 1000));
}

// Nodes handed to the frame in the order 3, 1, 2 of their sections.
TEST(AccountList, FileOrderFrameOrderAndNoFrame) {
  EXPECT_TRUE(AccountList(nullptr).empty());
  InitDes(g_CredentialKey);
  zeptest::FakeServer server;
  ZEPFrame* frame = new ZEPFrame(true, true);
  frame->Service();
  for (int index : {3, 1, 2}) {
    CDYRClient* node = new CDYRClient(frame, 60000);
    node->SetHost("127.0.0.1");
    node->SetMainPort(std::to_string(server.main.port()).c_str());
    node->SetAsstPort(std::to_string(server.asst.port()).c_str());
    node->SetUserName(std::to_string(index).c_str());
    node->SetIndex(index);
    ASSERT_EQ(frame->AddNode(node, true), 0);
  }
  const auto indexes = [](const std::vector<SmartPtr<CDYRClient>>& list) {
    std::string out;
    for (const SmartPtr<CDYRClient>& c : list) out += std::to_string(c->GetIndex());
    return out;
  };
  EXPECT_EQ("123", indexes(AccountList(frame)));
  EXPECT_EQ("123", indexes(AccountList(frame, kSkipEnded | kSkipQuitting)));
  std::string frameOrder = indexes(AccountList(frame, 0, false));
  EXPECT_EQ(3u, frameOrder.size());
  // The frame's report walks the same nodes, one line each, in the frame's order.
  ZEPString report;
  DyrReportAccounts(frame, report);
  std::string expected;
  for (char c : frameOrder) expected += std::string("\r\nAccount Host=127.0.0.1 User=") + c + " ";
  std::string got(report.GetSafeText(), report.GetLength());
  std::string heads;
  for (size_t at = got.find("\r\n"); at != std::string::npos; at = got.find("\r\n", at + 2))
    heads += got.substr(at, got.find("State=", at) - at);
  EXPECT_EQ(expected, heads) << got;
  frame->ExitFrame();
  frame->WaitServiceStop();
  delete frame;
}

}  // namespace
