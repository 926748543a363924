// SIGUSR2 on the real dyrclient: the frame's report and one line per account
// appear in its log, and the daemon keeps running and stops in order.
#include <chrono>
#include <thread>

#include "dyr_fixture.h"

namespace e2e {
namespace {

TEST_F(DyrClientTest, Sigusr2WritesTheFrameReportAndTheAccountLine) {
  WriteIni();
  StartClient();
  LoginWith({{"OK", "Y"}, {"ExitDYR", "203.0.113.9"}, {"K", "rep-1"}, {"ReportIPSpan", "300"}});
  // A report at 300 ms has gone out once the server sees one on the assist link.
  std::string report;
  sockaddr_in from{};
  ASSERT_TRUE(server_.asst.Recv(report, from, 5000)) << Log();
  // The node notes the report when it is back in its loop: give it a moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  // The account's node and the address watch's.
  const std::string nodes = std::to_string(1 + WatchNodes());
  client_.Signal(SIGUSR2);
  ASSERT_TRUE(WaitLog("================Report End=========================", 5000)) << Log();
  const std::string log = Log();
  const size_t at = log.find(":INFO:\r\n====================================");
  ASSERT_NE(std::string::npos, at) << log;
  const std::string text = log.substr(at);
  EXPECT_NE(std::string::npos, text.find("Total Nodes           : " + nodes + "\r\n"));
  EXPECT_NE(std::string::npos, text.find("=============ZEPFrame Report======================="));
  EXPECT_NE(std::string::npos, text.find("\r\nGetTotalThread      Count:5"));
  EXPECT_NE(std::string::npos, text.find("\r\nm_NodeList          Count:" + nodes));
  // The account line follows the report's end.
  const size_t end = text.find("Report End");
  const size_t line = text.find(
      "\r\nAccount Host=127.0.0.1 User=alice State=20 Egress=203.0.113.9 "
      "ClientID=rep-1 LoginReplyAgo=");
  ASSERT_NE(std::string::npos, line) << text;
  EXPECT_GT(line, end);
  EXPECT_NE(std::string::npos, text.find(" ReportAgo=", line));
  EXPECT_EQ(std::string::npos, text.find("ReportAgo=-", line));

  // A second request gives a second report; the daemon still stops in order.
  client_.Signal(SIGUSR2);
  ASSERT_TRUE(WaitLog("================Report End=========================", 5000, 2)) << Log();
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace e2e
