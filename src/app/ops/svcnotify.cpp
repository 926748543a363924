#include "app/ops/svcnotify.h"

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/zepdecimal.h"

namespace {

// A decimal number of at most 64 bits and nothing else; false otherwise.
bool ReadNumber(const char* text, uint64_t& value) {
  return text != nullptr && ZEPParseDecimal(text, std::strlen(text), 0, UINT64_MAX, value) == 0;
}

}  // namespace

int DyrParseNotifySocket(const char* text, sockaddr_un& addr, socklen_t& len, ZEPString& why) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  len = 0;
  why = "";
  if (text == nullptr || *text == '\0') {
    why << "is empty";
    return -1;
  }
  const size_t n = std::strlen(text);
  const size_t room = sizeof(addr.sun_path) - 1;
  if (text[0] != '/' && text[0] != '@') {
    why << "is neither an absolute path nor @name of the abstract namespace";
    return -1;
  }
  if (text[0] == '@' && n == 1) {
    why << "names no socket after the @";
    return -1;
  }
  // A path needs its terminating zero; an abstract name has the leading one.
  if (n > room) {
    why << "is longer than a socket address holds (" << static_cast<unsigned long>(room)
        << " bytes)";
    return -1;
  }
  std::memcpy(addr.sun_path, text, n);
  if (text[0] == '@') addr.sun_path[0] = '\0';
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (text[0] == '/' ? 1 : 0));
  return 0;
}

int DyrParseWatchdog(const char* usecText, const char* pidText, long ownPid, uint64_t& usec,
                     ZEPString& why) {
  usec = 0;
  why = "";
  if (usecText == nullptr) return 0;
  uint64_t value = 0;
  if (!ReadNumber(usecText, value) || value == 0) {
    why << "WATCHDOG_USEC \"" << usecText << "\" is not a positive number of microseconds";
    return -1;
  }
  if (pidText != nullptr) {
    uint64_t pid = 0;
    if (!ReadNumber(pidText, pid) || pid == 0 || pid > 0x7fffffffULL) {
      why << "WATCHDOG_PID \"" << pidText << "\" is not a process id";
      return -1;
    }
    if (static_cast<long>(pid) != ownPid) {
      why << "WATCHDOG_PID " << pidText << " is another process";
      return 0;
    }
  }
  usec = value;
  return 1;
}

DYRNotifyConf_tag DyrReadNotifyConf(const char* notifySocket, const char* watchdogUsec,
                                    const char* watchdogPid, long ownPid) {
  DYRNotifyConf_tag conf;
  if (notifySocket == nullptr) return conf;  // no manager listens: nothing changes
  conf.m_strSocket = notifySocket;
  ZEPString why;
  if (DyrParseNotifySocket(notifySocket, conf.m_Addr, conf.m_nAddrLen, why) != 0) {
    ZEPString bad;
    bad << "NOTIFY_SOCKET \"" << notifySocket << "\" " << why;
    conf.m_Bad.push_back(bad);
    return conf;
  }
  conf.m_bNotify = true;
  const int rc = DyrParseWatchdog(watchdogUsec, watchdogPid, ownPid, conf.m_nWatchdogUsec, why);
  if (rc < 0) conf.m_Bad.push_back(why);
  if (rc == 0 && !why.IsEmpty()) conf.m_strWatchdogOther = why;
  return conf;
}

DYRNotifyConf_tag DyrTakeNotifyEnvironment() {
  DYRNotifyConf_tag conf =
      DyrReadNotifyConf(std::getenv("NOTIFY_SOCKET"), std::getenv("WATCHDOG_USEC"),
                        std::getenv("WATCHDOG_PID"), static_cast<long>(getpid()));
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
  return conf;
}

ZEPString DyrStatusMessage(const DYRStateCounts_tag& counts) {
  const int total = counts.Total();
  ZEPString text;
  text << "STATUS=" << total << (total == 1 ? " account: " : " accounts: ") << counts.m_nLoggingIn
       << " logging in, " << counts.m_nWatching << " watching, " << counts.m_nReporting
       << " reporting";
  return text;
}

ZEPString DyrReloadingMessage(uint64_t monotonicUsec) {
  ZEPString text;
  text << "RELOADING=1\nMONOTONIC_USEC=" << static_cast<unsigned long long>(monotonicUsec);
  return text;
}

unsigned long DyrWatchdogPeriodMs(uint64_t usec) {
  const uint64_t ms = usec / 2000;
  if (ms < 1) return 1;
  return ms > DYR_WATCHDOG_MAX_PERIOD_MS ? DYR_WATCHDOG_MAX_PERIOD_MS
                                         : static_cast<unsigned long>(ms);
}
