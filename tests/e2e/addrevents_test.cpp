// Address events end to end: the real daemon and the reference server in a
// network namespace of their own (loopback only, a TEST-NET address on lo,
// so the host's own addresses are never touched). An address removed while
// the account watches it, and one added while the account waits for its
// 20 s retry, each bring a login to the server within a second, where the
// timers alone would take up to 10 s and 20 s. Needs root and util-linux's
// unshare and nsenter with iproute2's ip; skipped where they are missing.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "withserver.h"

namespace e2e {
namespace {

#define T_NO_CONNECT "\xb4\xed\xce\xf3:\xce\xde\xb7\xa8\xc1\xaa\xbd\xd3:"  // 错误:无法联接:
const char kWatchUp[] = ":INFO:Address events: the kernel's route socket wakes the accounts";
const char kTestNet[] = "192.0.2.1";

std::string FindTool(const char* name) {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
    const std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The server's last_login_ms of its one client (0: none yet).
int64_t LastLoginMs(const std::string& state) {
  const size_t at = state.find(" last_login_ms=");
  return at == std::string::npos ? 0 : std::atoll(state.c_str() + at + 15);
}

class AddressEventsTest : public WithServer {
 protected:
  // A namespace held by a sleeping process of its own: it goes away with
  // the last process in it (holder, server, daemon, all killed by their
  // Process at the end of the test, whatever happens).
  void SetUp() override {
    WithServer::SetUp();
    unshare_ = FindTool("unshare");
    nsenter_ = FindTool("nsenter");
    ip_ = FindTool("ip");
    if (geteuid() != 0 || unshare_.empty() || nsenter_.empty() || ip_.empty())
      GTEST_SKIP() << "needs root, unshare, nsenter and ip to make a network namespace";
    ASSERT_TRUE(
        holder_.Start({unshare_, "--net", "--", FindTool("sleep"), "600"}, dir_ / "holder.out"));
    const std::string mine = NetNs("self");
    const std::string path = "/proc/" + std::to_string(holder_.pid()) + "/ns/net";
    bool made = WaitFor(
        [&] {
          const std::string theirs = NetNs(std::to_string(holder_.pid()));
          return !theirs.empty() && theirs != mine;
        },
        5000);
    if (!made) GTEST_SKIP() << "cannot make a network namespace here (unshare --net failed)";
    prefix_ = {nsenter_, "--net=" + path};
  }

  static std::string NetNs(const std::string& pid) {
    char buf[64] = {0};
    const std::string link = "/proc/" + pid + "/ns/net";
    const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

  // `ip` with these arguments inside the namespace; true when it succeeded.
  bool Ip(const std::string& args) {
    const std::string cmd = nsenter_ + " --net=/proc/" + std::to_string(holder_.pid()) +
                            "/ns/net " + ip_ + " " + args + " >>'" + (dir_ / "ip.out") + "' 2>&1";
    return std::system(cmd.c_str()) == 0;
  }

  // Starts the server (in the namespace, with `extra`) and the daemon on an
  // account at `host`, and waits until the daemon's route socket is up.
  void StartBoth(const std::vector<std::string>& extra, const std::string& host) {
    ASSERT_TRUE(StartServer(extra, prefix_)) << ReadFile(dir_ / "server.out");
    WriteIniFor("alice", "pw", {"a.example.net"}, "", host);
    StartClient(prefix_);
    ASSERT_TRUE(WaitLog(kWatchUp, 5000)) << Log();
  }

  // Runs `ip args` in the namespace and expects the server's login number
  // `logins` within a second of it (the timers alone take seconds); prints
  // the time it took.
  void ExpectLoginAfter(const std::string& args, int logins, const char* what) {
    const int64_t before = WallMs();
    ASSERT_TRUE(Ip(args));
    ASSERT_TRUE(WaitFor([&] { return Counter(State(), "logins") >= logins; }, 5000)) << Log();
    const int64_t ms = LastLoginMs(State()) - before;
    std::printf("%s -> login at the server: %lld ms\n", what, static_cast<long long>(ms));
    EXPECT_LT(ms, 1000) << Log();
  }

  std::string unshare_, nsenter_, ip_;
  std::vector<std::string> prefix_;
  Process holder_;
};

TEST_F(AddressEventsTest, AddressRemovedWhileWatchingLogsInAtOnce) {
  ASSERT_TRUE(Ip("link set lo up"));
  ASSERT_TRUE(Ip(std::string("addr add ") + kTestNet + "/32 dev lo"));
  // The server names the TEST-NET address as the egress: local, so the
  // account watches it (state 10) with its 10 s check.
  StartBoth({"--exit-addr", kTestNet}, "127.0.0.1");
  ASSERT_TRUE(WaitLog(std::string(":INFO:") + kTestNet + "  10", 5000)) << Log();
  ASSERT_EQ(1, Counter(State(), "logins"));

  ExpectLoginAfter(std::string("addr del ") + kTestNet + "/32 dev lo", 2, "address removed");
  EXPECT_NE(std::string::npos,
            Log().find(":INFO:Address event: " + std::string(kTestNet) + " removed on interface "))
      << Log();
  EXPECT_TRUE(WaitLog(T_RELOGIN, 5000)) << Log();
  EXPECT_EQ(Stop(), 0);
}

TEST_F(AddressEventsTest, AddressAddedWhileWaitingForTheRetryLogsInAtOnce) {
  // The server listens on every address; the account's server is the
  // TEST-NET address, which does not exist yet: its login cannot be sent
  // and waits for the 20 s retry.
  ASSERT_TRUE(Ip("link set lo up"));
  StartBoth({"--bind", "0.0.0.0"}, kTestNet);
  ASSERT_TRUE(WaitLog(T_NO_CONNECT + std::string(kTestNet) + ":", 5000)) << Log();
  ASSERT_EQ(0, Counter(State(), "logins"));

  ExpectLoginAfter(std::string("addr add ") + kTestNet + "/32 dev lo", 1, "address added");
  // The login came from the new address, which is local: watching.
  EXPECT_TRUE(WaitLog(std::string(":INFO:") + kTestNet + "  10", 5000)) << Log();
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace e2e
