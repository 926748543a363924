// The account status line of the console and the status query: every
// field named, "-" for what is not known.
#include "app/account/accountview.h"

#include <gtest/gtest.h>

namespace {

TEST(DyrConsoleStatus, KnownAndUnknownFields) {
  DYRAccount_tag account;
  account.m_strHost = "ddns.example.net";
  account.m_strUserName = "alice";
  DYRStatus_tag fresh;  // logging in, nothing heard yet
  EXPECT_EQ(
      "account 1 host=ddns.example.net user=alice state=0 egress=- id=- login_age=- "
      "report_age=-",
      AccountStatusLine(1, account, fresh, 1000));
  DYRStatus_tag up;
  up.m_nState = 20;
  up.m_strEgress = "203.0.113.7";
  up.m_strClientID = "10001";
  up.m_nLoginReplySec = 900;
  up.m_nReportSec = 990;
  EXPECT_EQ(
      "account 12 host=ddns.example.net user=alice state=20 egress=203.0.113.7 id=10001 "
      "login_age=100 report_age=10",
      AccountStatusLine(12, account, up, 1000));
  DYRAccount_tag blank;  // a section without Host or UserName
  EXPECT_EQ(0u, AccountStatusLine(2, blank, fresh, 0).find("account 2 host=- user=- state=0"));
}

}  // namespace
