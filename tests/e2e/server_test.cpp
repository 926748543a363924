// dyrclient against the reference server (tools/ddnsserver): what the server
// records about a client that logs in, reports and goes offline.
#include "withserver.h"

namespace e2e {
namespace {

TEST_F(WithServer, LoginReportsAndOfflineAreRecorded) {
  ASSERT_TRUE(StartServer(
      {"--account", "carol:secret", "--report-span", "200", "--exit-addr", "203.0.113.44"}));
  WriteIniFor("carol", "secret", {"home.example.net;backup.example.net", "cam.example.net"});
  StartClient();
  ASSERT_TRUE(WaitLog(T_LOGIN_OK T_EGRESS "203.0.113.44", 5000)) << Log();
  std::string id = ReadFile(dir_ / "clientid.txt");
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(WaitFor(
      [&] {
        return CountOf(State(), "state=online") == 2 &&
               State().find(" reports=0 ") == std::string::npos;
      },
      5000))
      << State();
  EXPECT_NE(State().find("client " + id + " user=carol"), std::string::npos) << State();
  EXPECT_EQ(Stop(), 0);
  ASSERT_TRUE(WaitFor([&] { return CountOf(State(), "state=offline") == 2; }, 3000)) << State();
  EXPECT_NE(State().find("domain home.example.net client=" + id), std::string::npos) << State();
  EXPECT_NE(State().find("offline_target=backup.example.net"), std::string::npos) << State();
}

TEST_F(WithServer, WrongPasswordIsRefusedAndRetried) {
  ASSERT_TRUE(StartServer({"--account", "dave:right"}));
  WriteIniFor("dave", "wrong", {"d.example.net"});
  StartClient();
  ASSERT_TRUE(WaitLog(T_LOGIN_FAILED, 5000)) << Log();
  EXPECT_EQ(CountOf(Log(), T_LOGIN_OK), 0u);
  EXPECT_FALSE(FileExists(dir_ / "clientid.txt"));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(WithServer, ServerRequestedReloginGoesThroughTheAssistLink) {
  ASSERT_TRUE(StartServer({"--report-span", "2000", "--exit-addr", "203.0.113.45"}));
  WriteIniFor("erin", "pw", {"e.example.net"});
  StartClient();
  ASSERT_TRUE(WaitLog(T_REPORTING, 5000)) << Log();
  ASSERT_TRUE(WaitFor([&] { return State().find(" reports=0 ") == std::string::npos; }, 3000));
  // SIGUSR1: the server sends "C"=4 to every client that has reported.
  server_proc_.Signal(SIGUSR1);
  ASSERT_TRUE(WaitLog(T_RELOGIN, 5000)) << Log() << ReadFile(dir_ / "server.out");
  ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000, 2)) << Log();
  EXPECT_EQ(Stop(), 0);
}

TEST_F(WithServer, SignalsActNowAndReloadAsTheServerSeesIt) {
  ASSERT_TRUE(StartServer({"--report-span", "60000", "--exit-addr", "203.0.113.46"}));
  WriteIniFor("fay", "pw", {"f1.example.net", "f2.example.net"});
  StartClient();
  ASSERT_TRUE(WaitFor([&] { return CountOf(State(), "state=online") == 2; }, 5000)) << State();
  // The server records the login before the client has read its reply: a
  // SIGUSR1 in between would find the client still logging in.
  ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000)) << Log();
  EXPECT_EQ(Counter(State(), "logins"), 1);
  EXPECT_EQ(Counter(State(), "reports"), 0);

  // SIGUSR1 while reporting once a minute: a report within a second.
  client_.Signal(SIGUSR1);
  EXPECT_TRUE(WaitFor([&] { return Counter(State(), "reports") == 1; }, 1000)) << State();

  // SIGHUP with the file unchanged: no new login, the domains stay online.
  client_.Signal(SIGHUP);
  ASSERT_TRUE(WaitLog("Reload of ", 3000)) << Log();
  EXPECT_FALSE(WaitFor([&] { return Counter(State(), "logins") != 1; }, 500)) << State();
  EXPECT_EQ(CountOf(State(), "state=online"), 2u);

  // A domain dropped from the section: the old login goes offline, the new
  // one brings back only the domain still listed.
  WriteIniFor("fay", "pw", {"f1.example.net"});
  client_.Signal(SIGHUP);
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string st = State();
        return Counter(st, "logins") == 2 && CountOf(st, "state=online") == 1;
      },
      5000))
      << State();
  EXPECT_NE(State().find("domain f2.example.net client="), std::string::npos);
  EXPECT_EQ(CountOf(State(), "state=offline"), 1u) << State();
  EXPECT_EQ(Counter(State(), "offlines"), 1) << State();
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace e2e
