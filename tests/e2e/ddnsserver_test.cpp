// The reference server on its own, driven over loopback UDP the way the
// client talks to it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/proto/scramble.h"
#include "cmd/cmdtransfer.h"
#include "e2e_util.h"
#include "support/serverharness.h"

namespace {

using zeptest::Field;
using zeptest::ServerProcess;
using zeptest::UdpLink;

std::string Bytes(const ZEPString& s) { return std::string(s.GetSafeText(), s.GetLength()); }

struct Login {
  std::string outer;
  std::string inner;
};

Login MakeLogin(const char* user, const char* pass, const char* id,
                const std::vector<std::string>& domains) {
  ZEPString inner;
  CmdTransfer::AddCmdProp(inner, "UserName", user);
  CmdTransfer::AddCmdProp(inner, "Password", pass);
  CmdTransfer::AddCmdProp(inner, "OS", "Unix");
  CmdTransfer::AddCmdProp(inner, "BuildNO", "120");
  CmdTransfer::AddCmdProp(inner, "K", id);  // null id: left out
  for (size_t i = 0; i < domains.size(); ++i) {
    CmdTransfer::AddCmdProp(inner, ("Domain" + std::to_string(i)).c_str(), domains[i].c_str());
  }
  ZEPString scrambled;
  EnAString(inner, scrambled);
  ZEPString outer;
  CmdTransfer::AddCmdProp(outer, "C", "1");
  CmdTransfer::AddCmdProp(outer, "Data", scrambled);
  return {Bytes(outer), Bytes(inner)};
}

std::string Prop(const std::string& msg, const char* key) {
  return Bytes(CmdTransfer::GetCmdProp(msg.data(), static_cast<uint32_t>(msg.size()), key));
}

// The reply's inner message, unscrambled as the client does.
std::string InnerOf(const std::string& reply) {
  const std::string data = Prop(reply, "Data");
  if (data.empty()) return reply;
  ZEPString plain;
  DeAString(data.data(), data.size(), plain);
  return Bytes(plain);
}

class DdnsServerTest : public ::testing::Test {
 protected:
  void SetUp() override { InitDes(g_CredentialKey); }

  // Sends a login and returns the reply datagram ("" when none came).
  std::string LoginOnce(ServerProcess& server, const Login& login, int ms = 3000) {
    UdpLink link(server.MainPort());
    std::string reply;
    EXPECT_TRUE(link.Send(login.outer));
    if (!link.Recv(reply, ms)) return "";
    return reply;
  }
};

TEST(DdnsServerCli, HelpAndBadOptions) {
  const std::string bin = zeptest::BinDir() + "/ddnsserver";
  std::FILE* p = popen((bin + " --help").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[256] = "";
  ASSERT_NE(std::fgets(line, sizeof(line), p), nullptr);
  EXPECT_EQ(std::string(line).find("usage: ddnsserver"), 0u);
  while (std::fgets(line, sizeof(line), p) != nullptr) {
  }
  EXPECT_EQ(0, WEXITSTATUS(pclose(p)));
  for (const char* bad : {" --nonsense 1", " --main-port 70000", " --reply maybe",
                          " --account nocolon", " --accounts /nonexistent/file", " --bind"}) {
    int status = std::system((bin + bad + " 2>/dev/null").c_str());
    EXPECT_EQ(2, WEXITSTATUS(status)) << bad;
  }
}

TEST_F(DdnsServerTest, AcceptsLoginAndRecordsItByteForByte) {
  ServerProcess server({"--account", "u:p"});
  ASSERT_TRUE(server.Start());
  Login login = MakeLogin("u", "p", nullptr, {"a.example.net;", "b.example.net;http://away/"});
  const std::string reply = LoginOnce(server, login);
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(Prop(reply, "C"), "2");
  const std::string inner = InnerOf(reply);
  EXPECT_EQ(Prop(inner, "OK"), "Y");
  EXPECT_EQ(Prop(inner, "MSG"), "welcome");
  EXPECT_EQ(Prop(inner, "ExitDYR"), "127.0.0.1");
  EXPECT_EQ(Prop(inner, "K"), "10001");
  EXPECT_TRUE(CmdTransfer::GetCmdProp(ZEPString(inner.c_str()), "HasTop").IsNull());

  ASSERT_TRUE(
      zeptest::WaitFor([&] { return server.Log().find("login seq=1") != std::string::npos; }));
  const std::string log = server.Log();
  EXPECT_EQ(Field(log, "login", "inner_hex"), zeptest::Hex(login.inner));
  EXPECT_EQ(Field(log, "recv", "hex"), zeptest::Hex(login.outer));
  EXPECT_EQ(Field(log, "login", "result"), "accepted");
  EXPECT_EQ(Field(log, "login", "domains"), "a.example.net,b.example.net");
  const std::string state = server.State();
  EXPECT_EQ(Field(state, "client 10001", "user"), "u");
  EXPECT_EQ(Field(state, "client 10001", "inner_hex"), zeptest::Hex(login.inner));
  EXPECT_EQ(Field(state, "domain a.example.net", "address"), "127.0.0.1");
  EXPECT_EQ(Field(state, "domain b.example.net", "offline_target"), "http://away/");
  EXPECT_EQ(Field(state, "domain b.example.net", "state"), "online");
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(DdnsServerTest, RefusesWrongPasswordAndUnknownUser) {
  ServerProcess server({"--account", "u:p"});
  ASSERT_TRUE(server.Start());
  for (auto creds : {std::make_pair("u", "wrong"), std::make_pair("nobody", "p")}) {
    const std::string inner =
        InnerOf(LoginOnce(server, MakeLogin(creds.first, creds.second, nullptr, {"x;"})));
    EXPECT_EQ(Prop(inner, "OK"), "N");
    EXPECT_EQ(Prop(inner, "MSG"), "bad user name or password");
  }
  EXPECT_EQ(Field(server.State(), "domain", "state"), "");  // nothing registered
}

TEST_F(DdnsServerTest, AccountsFileAndOptionalReplyKeys) {
  zeptest::TempDir dir;
  std::ofstream((dir / "accounts")) << "# accounts\n\nalice s3cret\r\nbob pw\n";
  ServerProcess server({"--accounts", dir / "accounts", "--hastop", "Y", "--report-span", "1500",
                        "--version", "2.02", "--download-url", "http://dl/x", "--exit-addr",
                        "203.0.113.7", "--msg", "hi"});
  ASSERT_TRUE(server.Start());
  const std::string inner =
      InnerOf(LoginOnce(server, MakeLogin("alice", "s3cret", nullptr, {"a;"})));
  EXPECT_EQ(Prop(inner, "OK"), "Y");
  EXPECT_EQ(Prop(inner, "MSG"), "hi");
  EXPECT_EQ(Prop(inner, "HasTop"), "Y");
  EXPECT_EQ(Prop(inner, "ReportIPSpan"), "1500");
  EXPECT_EQ(Prop(inner, "Version"), "2.02");
  EXPECT_EQ(Prop(inner, "DownLoadURL"), "http://dl/x");
  EXPECT_EQ(Prop(inner, "ExitDYR"), "203.0.113.7");
  EXPECT_EQ(Prop(InnerOf(LoginOnce(server, MakeLogin("bob", "pw", nullptr, {}))), "OK"), "Y");
}

TEST_F(DdnsServerTest, KeepsPresentedIdsPerUser) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(Prop(InnerOf(LoginOnce(server, MakeLogin("a", "x", nullptr, {}))), "K"), "10001");
  // An id the server never issued is adopted (a restarted server).
  EXPECT_EQ(Prop(InnerOf(LoginOnce(server, MakeLogin("a", "x", "777", {}))), "K"), "777");
  EXPECT_EQ(Prop(InnerOf(LoginOnce(server, MakeLogin("a", "x", "777", {}))), "K"), "777");
  // Another user may not take it over.
  EXPECT_EQ(Prop(InnerOf(LoginOnce(server, MakeLogin("b", "x", "777", {}))), "K"), "10002");
}

TEST_F(DdnsServerTest, ReportsMoveDomainsAndReloginGoesToLastReporter) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  ASSERT_EQ(Prop(InnerOf(LoginOnce(server, MakeLogin("u", "p", nullptr, {"d.example;"}))), "K"),
            "10001");
  UdpLink first(server.AssistPort());
  ASSERT_TRUE(first.Send("10001"));
  UdpLink second(server.AssistPort());  // a fresh socket for every report
  ASSERT_TRUE(second.Send("10001"));
  const std::string from = "127.0.0.1:" + std::to_string(second.LocalPort());
  ASSERT_TRUE(zeptest::WaitFor(
      [&] { return Field(server.State(), "client 10001", "report_from") == from; }));
  std::string state = server.State();
  EXPECT_EQ(Field(state, "client 10001", "reports"), "2");
  EXPECT_NE(Field(state, "domain d.example", "last_report_ms"), "0");
  EXPECT_EQ(Field(state, "domain d.example", "address"), "127.0.0.1");

  server.Signal(SIGUSR1);
  std::string msg;
  ASSERT_TRUE(second.Recv(msg));
  EXPECT_EQ(msg,
            "\x01"
            "C=4\x01");
  EXPECT_FALSE(first.Recv(msg, 200));  // only the latest report address is asked

  server.Control("relogin 10001\n");
  ASSERT_TRUE(second.Recv(msg));
  EXPECT_EQ(msg,
            "\x01"
            "C=4\x01");

  UdpLink stranger(server.AssistPort());
  stranger.Send("99999");
  ASSERT_TRUE(
      zeptest::WaitFor([&] { return server.Log().find("id=99999 known=0") != std::string::npos; }));
}

TEST_F(DdnsServerTest, OfflineRequestSwitchesToOfflineTargets) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  LoginOnce(server, MakeLogin("u", "p", nullptr, {"a.example;http://away/", "b.example;"}));
  UdpLink main(server.MainPort());
  ZEPString off;
  CmdTransfer::AddCmdProp(off, "C", "5");
  CmdTransfer::AddCmdProp(off, "K", "10001");
  ASSERT_TRUE(main.Send(Bytes(off)));
  ASSERT_TRUE(zeptest::WaitFor(
      [&] { return Field(server.State(), "domain a.example", "state") == "offline"; }));
  const std::string state = server.State();
  EXPECT_EQ(Field(state, "domain a.example", "address"), "http://away/");
  EXPECT_EQ(Field(state, "domain b.example", "state"), "offline");
  EXPECT_EQ(Field(state, "counters", "offlines"), "1");
  // The bare request of a client without id is logged, changes nothing.
  ASSERT_TRUE(
      main.Send("\x01"
                "C=5\x01"));
  ASSERT_TRUE(
      zeptest::WaitFor([&] { return Field(server.State(), "counters", "offlines") == "2"; }));
}

TEST_F(DdnsServerTest, ReplyPlanCoversEveryBranch) {
  ServerProcess server({"--reply",
                        "refuse,no-ok,empty-exit,empty-k,plain,wrong-c,broken-data,"
                        "huge-data,random,silent,ok",
                        "--refuse-msg", "go away"});
  ASSERT_TRUE(server.Start());
  auto next = [&](int ms = 3000) {
    return LoginOnce(server, MakeLogin("u", "p", nullptr, {"a;"}), ms);
  };
  std::string r = next();
  EXPECT_EQ(Prop(InnerOf(r), "OK"), "N");
  EXPECT_EQ(Prop(InnerOf(r), "MSG"), "go away");
  r = next();
  EXPECT_TRUE(CmdTransfer::GetCmdProp(ZEPString(InnerOf(r).c_str()), "OK").IsNull());
  EXPECT_FALSE(Prop(InnerOf(r), "K").empty());
  r = next();
  EXPECT_EQ(Prop(InnerOf(r), "OK"), "Y");
  EXPECT_EQ(Prop(InnerOf(r), "ExitDYR"), "");
  r = next();
  EXPECT_EQ(Prop(InnerOf(r), "K"), "");
  r = next();  // plain: no Data, the keys are in the outer message
  EXPECT_TRUE(Prop(r, "Data").empty());
  EXPECT_EQ(Prop(r, "C"), "2");
  EXPECT_EQ(Prop(r, "OK"), "Y");
  EXPECT_EQ(Prop(r, "ExitDYR"), "127.0.0.1");
  r = next();
  EXPECT_EQ(Prop(r, "C"), "3");
  EXPECT_EQ(Prop(InnerOf(r), "OK"), "Y");
  r = next();  // broken: Data holds no alphabet character
  EXPECT_EQ(Prop(r, "C"), "2");
  EXPECT_GT(Prop(r, "Data").size(), 100u);
  EXPECT_EQ(Prop(r, "Data").find_first_of(ReadableChar), std::string::npos);
  r = next();
  EXPECT_EQ(r.size(), 4096u);
  EXPECT_EQ(Prop(r, "C"), "2");
  r = next();  // random bytes
  EXPECT_FALSE(r.empty());
  EXPECT_LE(r.size(), 4096u);
  EXPECT_EQ(next(300), "");  // silent
  EXPECT_EQ(Prop(InnerOf(next()), "OK"), "Y");

  server.Control("reply refuse\nhastop y\nspan 250\nexit 198.51.100.1\n");
  ASSERT_TRUE(
      zeptest::WaitFor([&] { return server.Log().find("control exit") != std::string::npos; }));
  EXPECT_EQ(Prop(InnerOf(next()), "OK"), "N");
  server.Control("reply ok\n");
  ASSERT_TRUE(zeptest::WaitFor(
      [&] { return server.Log().find("control reply%20ok") != std::string::npos; }));
  const std::string inner = InnerOf(next());
  EXPECT_EQ(Prop(inner, "HasTop"), "y");
  EXPECT_EQ(Prop(inner, "ReportIPSpan"), "250");
  EXPECT_EQ(Prop(inner, "ExitDYR"), "198.51.100.1");
}

TEST_F(DdnsServerTest, SurvivesGarbageAndStillServes) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  std::mt19937 rng(77);
  UdpLink main(server.MainPort());
  UdpLink assist(server.AssistPort());
  const std::string hostile[] = {"",
                                 std::string(1, '\0'),
                                 "\x01",
                                 "\x01"
                                 "C=1\x01",
                                 "\x01"
                                 "C=1\x01"
                                 "Data=\x01",
                                 "\x01"
                                 "C=1\x01"
                                 "Data=!!!!%%%%\x01",
                                 "\x01"
                                 "C=1\x01"
                                 "Data=" +
                                     std::string(4000, '_') + "\x01",
                                 "\x01"
                                 "C=1\x01"
                                 "Data=abc",
                                 "\x01"
                                 "C=5\x01K=\x01",
                                 "\x01"
                                 "C=99999999999999999999\x01",
                                 "\x01"
                                 "C=1\x01UserName=u\x01"
                                 "Domain0=;;;\x01"
                                 "Domain1=\x01"};
  for (const auto& h : hostile) {
    main.Send(h);
    assist.Send(h);
  }
  for (int i = 0; i < 200; ++i) {
    if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string junk(rng() % 4097, '\0');
    for (auto& c : junk) c = static_cast<char>(rng());
    if (i % 3 == 0 && junk.size() > 8)
      junk.replace(0, 5,
                   "\x01"
                   "C=1\x01");
    (i % 2 ? main : assist).Send(junk);
  }
  // Loopback may drop some of a burst; wait until the server has read what
  // got through (so the login below is not dropped too) and its log settles.
  ASSERT_TRUE(zeptest::WaitFor(
      [&] {
        return e2e::UdpBytesQueued(server.MainPort()) == 0 &&
               e2e::UdpBytesQueued(server.AssistPort()) == 0;
      },
      30000));
  size_t last = 0;
  zeptest::WaitFor(
      [&] {
        size_t now = server.Log().size();
        bool settled = now == last && now > 0;
        last = now;
        return settled;
      },
      10000);
  size_t received = 0;
  const std::string log = server.Log();  // read once: it holds every datagram in hex
  for (size_t at = 0; (at = log.find("recv seq=", at)) != std::string::npos; ++at) ++received;
  EXPECT_GT(received, 50u);
  ASSERT_TRUE(server.Alive());
  const std::string inner =
      InnerOf(LoginOnce(server, MakeLogin("u", "p", nullptr, {"ok.example;"})));
  EXPECT_EQ(Prop(inner, "OK"), "Y");
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
