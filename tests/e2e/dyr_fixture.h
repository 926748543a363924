// Fixture of the client end-to-end tests: a scratch work directory with a
// dyrclient.ini pointing at a scripted server on loopback (support/
// scriptedserver.h), the real dyrclient binary, and helpers to read its log.
#ifndef ZEP_TESTS_E2E_DYR_FIXTURE_H
#define ZEP_TESTS_E2E_DYR_FIXTURE_H

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/proto/scramble.h"
#include "cmd/cmdtransfer.h"
#include "e2e_util.h"
#include "support/scriptedserver.h"

namespace e2e {

// Lines of a process's output that tell of a fault: a failed ZEP_ASSERT and
// sanitizer reports always, log lines tagged ERRR unless `errorsExpected`.
inline std::vector<std::string> TroubleLines(const std::string& text, bool errorsExpected) {
  static const char* const kAlways[] = {"Assertion failed", "ERROR: AddressSanitizer",
                                        "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                                        "runtime error:"};
  std::vector<std::string> found;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    bool bad = !errorsExpected && line.find(":ERRR:") != std::string::npos;
    for (const char* marker : kAlways) bad = bad || line.find(marker) != std::string::npos;
    if (bad) found.push_back(line);
  }
  return found;
}

struct Account {
  FakeServer* server;
  std::string user = "alice";
  std::string password = "pw";
  std::vector<std::string> domains = {"a.example.net;off.example.net", "b.example.net"};
};

class DyrClientTest : public ::testing::Test {
 protected:
  void SetUp() override { InitDes(g_CredentialKey); }

  // Every process of a test writes into the work directory (the client's log,
  // its captured stdout and stderr, the reference server's output): none of
  // it may tell of a fault, whatever the test itself checked.
  void TearDown() override {
    // A daemon the test left running is ended here; then no daemon of this
    // work directory may be alive, whoever started it (a second instance on
    // a Process of the test's own, or one that escaped its bookkeeping).
    client_.Kill();
    for (const auto& p : ProcessesWith({"-w", dir_.path()})) {
      ADD_FAILURE() << "still running at the end of the test: " << p.first << " " << p.second;
      kill(p.first, SIGKILL);
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path(), ec)) {
      if (!entry.is_regular_file(ec)) continue;
      std::vector<std::string> lines = TroubleLines(ReadFile(entry.path()), errors_expected_);
      if (lines.empty()) continue;
      std::string shown;
      for (size_t i = 0; i < lines.size() && i < 5; ++i) shown += "\n  " + lines[i];
      ADD_FAILURE() << entry.path().filename().string() << " has " << lines.size()
                    << " line(s) telling of a fault:" << shown;
    }
  }
  // For a test whose daemon rightly logs ERRR lines; assertion failures and
  // sanitizer reports still fail it.
  void ExpectErrorLines() { errors_expected_ = true; }

  void WriteIni(const std::vector<Account>& accounts) {
    std::string ini;
    for (const Account& a : accounts) {
      ini += "[DYR_CLIENT]\nHost=127.0.0.1\n";
      ini += "MainPort=" + std::to_string(a.server->main.port()) + "\n";
      ini += "AsstPort=" + std::to_string(a.server->asst.port()) + "\n";
      ini += "UserName=" + Scramble(a.user) + "\nPassword=" + Scramble(a.password) + "\n";
      for (const std::string& d : a.domains) ini += "Domain=" + d + "\n";
    }
    WriteFile(dir_ / "dyrclient.ini", ini);
  }
  void WriteIni() { WriteIni({Account{&server_}}); }

  // The daemon on the work directory, run by `prefix` when given.
  void StartClient(std::vector<std::string> prefix = {}) {
    std::vector<std::string> args = {BinDir() + "/dyrclient", "-w", dir_.path()};
    args.insert(args.begin(), prefix.begin(), prefix.end());
    ASSERT_TRUE(client_.Start(args, dir_ / "stdout.txt"));
  }
  std::string Log() { return ReadFile(dir_ / "dyrclient.log"); }
  // The daemon's nodes besides its accounts and console: the address watch,
  // 1 where it has its route socket (it says so in the log first), else 0.
  int WatchNodes() {
    WaitLog(":INFO:Address events: ", 5000);
    return Log().find(":INFO:Address events: the kernel's route socket") != std::string::npos;
  }
  bool WaitLog(const std::string& text, int ms, size_t count = 1) {
    return WaitFor([&] { return CountOf(Log(), text) >= count; }, ms);
  }
  // SIGTERM, then the exit status within `ms` (-1 when it did not end).
  int Stop(int ms = 5000) {
    client_.Signal(SIGTERM);
    int status = -1;
    return client_.Wait(ms, status) ? status : -1;
  }
  // Logs in with the given reply properties and waits for the success line.
  void LoginWith(const std::vector<std::pair<std::string, std::string>>& reply) {
    std::string inner;
    sockaddr_in from{};
    ASSERT_TRUE(server_.RecvLogin(inner, from, 5000));
    server_.main.SendTo(from, LoginReply(reply));
    ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000)) << Log();
  }

  TempDir dir_;
  FakeServer server_;
  Process client_;
  bool errors_expected_ = false;
};

}  // namespace e2e

#endif  // ZEP_TESTS_E2E_DYR_FIXTURE_H
