// ddnsserver — reference DDNS server for tests and the demo. One thread: a
// poll loop over the main and assist UDP sockets; signal handlers only set
// flags that the loop acts on.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/proto/scramble.h"
#include "ddnsserver.h"
#include "net/zepaddr.h"

namespace {

const char kUsage[] =
    "usage: ddnsserver [options]\n"
    "Reference DDNS server: answers logins (C=1) on the main port, takes reports (the bare\n"
    "client id) on the assist port and offline requests (C=5) on the main port.\n"
    "\n"
    "  --bind ADDR          address to listen on (default 127.0.0.1)\n"
    "  --main-port N        main port (default 9994; 0 = any free port)\n"
    "  --assist-port N      assist port (default 9993; 0 = any free port)\n"
    "  --account USER:PASS  accept this account (repeatable)\n"
    "  --accounts FILE      accounts, one \"user password\" per line, # comments\n"
    "                       (no account at all: every login is accepted)\n"
    "  --state FILE         rewrite the state here after every change: ports, counters,\n"
    "                       clients and domains (address or offline target, last report)\n"
    "  --log FILE           append the datagram log here too (it always goes to stdout)\n"
    "  --control FILE       poll this file every 100 ms; when it appears, run its lines and\n"
    "                       delete it (write it elsewhere and rename it into place):\n"
    "                         relogin [ID]     send C=4 to the client's last report address\n"
    "                         reply PLAN       answer the next logins by PLAN (see --reply)\n"
    "                         hastop V|-       span MS|-      exit ADDR|-\n"
    "                         version V URL|-\n"
    "  --reply PLAN         modes for successive logins, comma-separated, the last repeats:\n"
    "                       ok refuse no-ok empty-exit empty-k plain broken-data huge-data\n"
    "                       random wrong-c silent (default ok)\n"
    "  --msg TEXT           MSG of an accepted reply (default welcome)\n"
    "  --refuse-msg TEXT    MSG of a refusal (default refused)\n"
    "  --exit-addr ADDR     ExitDYR to send instead of the login's source address\n"
    "  --hastop V           send HasTop=V\n"
    "  --report-span MS     send ReportIPSpan=MS\n"
    "  --version V          send Version=V (with DownLoadURL)\n"
    "  --download-url URL   DownLoadURL sent with --version\n"
    "  --client-id K        give every login this id\n"
    "  --first-id N         first id handed out (default 10001)\n"
    "  --help               this text\n"
    "\n"
    "SIGUSR1 sends C=4 to every client that has reported; SIGTERM or SIGINT stop the\n"
    "server. The chosen ports are printed as \"ddnsserver main_port=N assist_port=N\".\n";

volatile std::sig_atomic_t g_Stop = 0;
volatile std::sig_atomic_t g_Relogin = 0;

void OnStopSignal(int) { g_Stop = 1; }
void OnReloginSignal(int) { g_Relogin = 1; }

struct Config {
  std::string bind = "127.0.0.1";
  int mainPort = 9994;
  int assistPort = 9993;
  std::string statePath;
  std::string logPath;
  std::string controlPath;
  ddns::Options options;
};

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return true;
}

bool ParsePort(const char* text, int& port) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 65535) return false;
  port = static_cast<int>(v);
  return true;
}

// The option table: name, and what its argument does to the configuration.
struct Flag {
  const char* name;
  bool (*apply)(Config& c, const char* arg, std::string& error);
};

const Flag kFlags[] = {
    {"--bind",
     [](Config& c, const char* a, std::string&) {
       c.bind = a;
       return true;
     }},
    {"--main-port",
     [](Config& c, const char* a, std::string&) { return ParsePort(a, c.mainPort); }},
    {"--assist-port",
     [](Config& c, const char* a, std::string&) { return ParsePort(a, c.assistPort); }},
    {"--account",
     [](Config& c, const char* a, std::string& e) {
       const char* colon = std::strchr(a, ':');
       if (colon == nullptr || colon == a) {
         e = "--account needs USER:PASS";
         return false;
       }
       c.options.accounts[std::string(a, colon)] = colon + 1;
       return true;
     }},
    {"--accounts",
     [](Config& c, const char* a, std::string& e) {
       std::string text;
       if (!ReadFile(a, text)) {
         e = std::string("cannot read ") + a;
         return false;
       }
       return ddns::ParseAccounts(text, c.options.accounts, e) >= 0;
     }},
    {"--state",
     [](Config& c, const char* a, std::string&) {
       c.statePath = a;
       return true;
     }},
    {"--log",
     [](Config& c, const char* a, std::string&) {
       c.logPath = a;
       return true;
     }},
    {"--control",
     [](Config& c, const char* a, std::string&) {
       c.controlPath = a;
       return true;
     }},
    {"--reply", [](Config& c, const char* a,
                   std::string&) { return ddns::ParseReplyPlan(a, c.options.plan); }},
    {"--msg",
     [](Config& c, const char* a, std::string&) {
       c.options.message = a;
       return true;
     }},
    {"--refuse-msg",
     [](Config& c, const char* a, std::string&) {
       c.options.refuseMessage = a;
       return true;
     }},
    {"--exit-addr",
     [](Config& c, const char* a, std::string&) {
       c.options.exitAddr = a;
       return true;
     }},
    {"--hastop",
     [](Config& c, const char* a, std::string&) {
       c.options.hasTopSet = true;
       c.options.hasTop = a;
       return true;
     }},
    {"--report-span",
     [](Config& c, const char* a, std::string&) {
       c.options.reportSpanSet = true;
       c.options.reportSpan = a;
       return true;
     }},
    {"--version",
     [](Config& c, const char* a, std::string&) {
       c.options.version = a;
       return true;
     }},
    {"--download-url",
     [](Config& c, const char* a, std::string&) {
       c.options.downloadUrl = a;
       return true;
     }},
    {"--client-id",
     [](Config& c, const char* a, std::string&) {
       c.options.forcedId = a;
       return true;
     }},
    {"--first-id",
     [](Config& c, const char* a, std::string&) {
       char* end = nullptr;
       c.options.firstId = std::strtoul(a, &end, 10);
       return end != a && *end == '\0';
     }},
};

// 0 ok, 1 help printed, -1 error printed.
int ParseArgs(int argc, char** argv, Config& config) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 1;
    }
    const Flag* flag = nullptr;
    for (const auto& f : kFlags) {
      if (arg == f.name) flag = &f;
    }
    if (flag == nullptr || i + 1 >= argc) {
      std::fprintf(stderr, "ddnsserver: %s: %s\n%s", arg.c_str(),
                   flag ? "missing value" : "unknown option", kUsage);
      return -1;
    }
    std::string error;
    if (!flag->apply(config, argv[++i], error)) {
      std::fprintf(stderr, "ddnsserver: bad value for %s: %s %s\n", arg.c_str(), argv[i],
                   error.c_str());
      return -1;
    }
  }
  return 0;
}

int OpenUdp(const std::string& bind, int port, uint16_t& chosen) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (!ZEPParseIPv4(bind.c_str(), &addr.sin_addr.s_addr)) {
    std::fprintf(stderr, "ddnsserver: bad bind address %s\n", bind.c_str());
    return -1;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Room for a burst of many clients (or a fuzzing test) between two polls.
  int rcvbuf = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    std::fprintf(stderr, "ddnsserver: cannot bind %s:%d: %s\n", bind.c_str(), port,
                 std::strerror(errno));
    close(fd);
    return -1;
  }
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  chosen = ntohs(addr.sin_port);
  return fd;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class Runner {
 public:
  Runner(const Config& config, int mainFd, int assistFd, uint16_t mainPort, uint16_t assistPort)
      : m_Config(config),
        m_Server(config.options),
        m_MainFd(mainFd),
        m_AssistFd(assistFd),
        m_MainPort(mainPort),
        m_AssistPort(assistPort) {}

  void Run() {
    WriteState();
    std::printf("ddnsserver main_port=%u assist_port=%u\n", m_MainPort, m_AssistPort);
    std::fflush(stdout);
    std::vector<char> buf(65536);
    const int kBatch = 256;
    while (!g_Stop) {
      pollfd fds[2] = {{m_MainFd, POLLIN, 0}, {m_AssistFd, POLLIN, 0}};
      int n = poll(fds, 2, 100);
      if (n < 0 && errno != EINTR) {
        std::perror("ddnsserver: poll");
        break;
      }
      bool changed = false;
      for (int i = 0; n > 0 && i < 2; ++i) {
        if ((fds[i].revents & (POLLIN | POLLERR)) == 0) continue;
        // Everything that waits, up to a bound so the other link and the
        // control file get their turn: the state file (its size grows with
        // the clients) is then written once per batch, not once per
        // datagram, so a burst of N logins costs O(N) writes of it, not one
        // each, and no burst overflows the receive buffer while we write.
        for (int k = 0; k < kBatch; ++k) {
          sockaddr_in from{};
          socklen_t flen = sizeof(from);
          ssize_t got = recvfrom(fds[i].fd, buf.data(), buf.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &flen);
          if (got < 0) break;
          if (from.sin_family != AF_INET) continue;
          const std::string ip = ZEPIPv4Text(from.sin_addr.s_addr).GetSafeText();
          const uint16_t port = ntohs(from.sin_port);
          if (i == 0) {
            m_Server.OnMain(buf.data(), static_cast<size_t>(got), ip, port, NowMs(), m_Out, m_Log);
          } else {
            m_Server.OnAssist(buf.data(), static_cast<size_t>(got), ip, port, NowMs(), m_Log);
          }
          changed = true;
        }
      }
      if (g_Relogin) {
        g_Relogin = 0;
        m_Server.RequestRelogin(std::string(), m_Out, m_Log);
        changed = true;
      }
      changed |= RunControlFile();
      // State and log first: a test that got a reply may read both at once.
      if (changed) WriteState();
      Flush();
    }
    WriteState();
    std::printf("ddnsserver stopped\n");
    std::fflush(stdout);
  }

 private:
  bool RunControlFile() {
    if (m_Config.controlPath.empty()) return false;
    std::string text;
    if (!ReadFile(m_Config.controlPath, text)) return false;
    unlink(m_Config.controlPath.c_str());
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) m_Server.Control(line, m_Out, m_Log);
    return true;
  }

  void Flush() {
    WriteLog();
    for (const auto& o : m_Out) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(o.port);
      ZEPParseIPv4(o.addr.c_str(), &to.sin_addr.s_addr);
      if (sendto(o.onAssist ? m_AssistFd : m_MainFd, o.bytes.data(), o.bytes.size(), 0,
                 reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0) {
        m_Log.push_back(std::string("send-failed to=") + o.addr + ":" + std::to_string(o.port) +
                        " error=" + ddns::Escape(std::strerror(errno)));
      }
    }
    m_Out.clear();
    WriteLog();  // the send failures
  }

  void WriteLog() {
    if (m_Log.empty()) return;
    std::FILE* logFile =
        m_Config.logPath.empty() ? nullptr : std::fopen(m_Config.logPath.c_str(), "a");
    for (const auto& line : m_Log) {
      std::printf("%s\n", line.c_str());
      if (logFile) std::fprintf(logFile, "%s\n", line.c_str());
    }
    if (logFile) std::fclose(logFile);
    std::fflush(stdout);
    m_Log.clear();
  }

  // Written aside and renamed so a reader never sees half a file.
  void WriteState() {
    if (m_Config.statePath.empty()) return;
    const std::string tmp = m_Config.statePath + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) return;
    const std::string text = m_Server.StateText(m_MainPort, m_AssistPort);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    std::rename(tmp.c_str(), m_Config.statePath.c_str());
  }

  const Config& m_Config;
  ddns::Server m_Server;
  int m_MainFd;
  int m_AssistFd;
  uint16_t m_MainPort;
  uint16_t m_AssistPort;
  std::vector<ddns::Outgoing> m_Out;
  std::vector<std::string> m_Log;
};

}  // namespace

int main(int argc, char** argv) {
  Config config;
  int rc = ParseArgs(argc, argv, config);
  if (rc != 0) return rc > 0 ? 0 : 2;

  InitDes(g_CredentialKey);

  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = OnReloginSignal;
  sigaction(SIGUSR1, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  uint16_t mainPort = 0;
  uint16_t assistPort = 0;
  int mainFd = OpenUdp(config.bind, config.mainPort, mainPort);
  if (mainFd < 0) return 1;
  int assistFd = OpenUdp(config.bind, config.assistPort, assistPort);
  if (assistFd < 0) {
    close(mainFd);
    return 1;
  }
  Runner(config, mainFd, assistFd, mainPort, assistPort).Run();
  close(mainFd);
  close(assistFd);
  return 0;
}
