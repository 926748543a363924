// withserver.h — the client end-to-end fixture with the reference server
// (tools/ddnsserver) running on free loopback ports, and a reader of the
// server's counters.
#ifndef ZEP_TESTS_E2E_WITHSERVER_H
#define ZEP_TESTS_E2E_WITHSERVER_H

#include <string>
#include <vector>

#include "dyr_fixture.h"

namespace e2e {

class WithServer : public DyrClientTest {
 protected:
  // Starts ddnsserver on free ports with `extra` options (a later --bind
  // wins), run by `prefix` when given (e.g. nsenter and its options); false
  // when it did not report its ports in time.
  bool StartServer(std::vector<std::string> extra, std::vector<std::string> prefix = {}) {
    std::vector<std::string> args = {BinDir() + "/ddnsserver",
                                     "--bind",
                                     "127.0.0.1",
                                     "--main-port",
                                     "0",
                                     "--assist-port",
                                     "0",
                                     "--state",
                                     dir_ / "server-state.txt"};
    args.insert(args.begin(), prefix.begin(), prefix.end());
    args.insert(args.end(), extra.begin(), extra.end());
    if (!server_proc_.Start(args, dir_ / "server.out")) return false;
    return WaitFor(
        [&] {
          std::string out = ReadFile(dir_ / "server.out");
          size_t m = out.find("main_port="), a = out.find("assist_port=");
          if (m == std::string::npos || a == std::string::npos ||
              out.find('\n', a) == std::string::npos)
            return false;
          main_port_ = std::atoi(out.c_str() + m + 10);
          asst_port_ = std::atoi(out.c_str() + a + 12);
          return main_port_ > 0 && asst_port_ > 0;
        },
        5000);
  }
  void WriteIniFor(const std::string& user, const std::string& pass,
                   const std::vector<std::string>& domains, const std::string& tail = "",
                   const std::string& host = "localhost") {
    std::string ini = "[DYR_CLIENT]\nHost=" + host + "\nMainPort=" + std::to_string(main_port_) +
                      "\nAsstPort=" + std::to_string(asst_port_) + "\nUserName=" + Scramble(user) +
                      "\nPassword=" + Scramble(pass) + "\n";
    for (const std::string& d : domains) ini += "Domain=" + d + "\n";
    WriteFile(dir_ / "dyrclient.ini", ini + tail);
  }
  std::string State() { return ReadFile(dir_ / "server-state.txt"); }
  // Runs `dyrclient ARGS` beside the daemon to its end: its exit status (-1
  // when it still ran after 10 s), its output in `out` when given. The
  // output passes through run.txt in the work directory, removed again.
  int RunDyr(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<std::string> argv = {BinDir() + "/dyrclient"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p;
    EXPECT_TRUE(p.Start(argv, dir_ / "run.txt"));
    int status = -1;
    if (!p.Wait(10000, status)) return -1;
    if (out != nullptr) *out = ReadFile(dir_ / "run.txt");
    std::remove((dir_ / "run.txt").c_str());
    return status;
  }

  Process server_proc_;
  int main_port_ = 0;
  int asst_port_ = 0;
};

// "counters logins=N reports=M ...": the server's totals.
inline int Counter(const std::string& state, const std::string& name) {
  size_t at = state.find("counters ");
  if (at == std::string::npos) return -1;
  at = state.find(" " + name + "=", at);
  return at == std::string::npos ? -1 : std::atoi(state.c_str() + at + name.size() + 2);
}

}  // namespace e2e

#endif  // ZEP_TESTS_E2E_WITHSERVER_H
