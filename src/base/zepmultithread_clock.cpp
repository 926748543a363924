#include "base/zepmultithread_clock.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

// ---------------------------------------------------------------------------
// Clocks and wake-ups

int64_t ZEPMonoMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t ZEPMonoUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t ZEPMonoSec() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

ZEPWakeFd::ZEPWakeFd() : m_nFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ZEPWakeFd::~ZEPWakeFd() {
  if (m_nFd >= 0) close(m_nFd);
}

void ZEPWakeFd::Notify() {
  if (m_nFd < 0) return;
  uint64_t one = 1;
  // Only write(2): this runs in signal handlers. A full counter (never in
  // practice) still leaves the descriptor readable, which is all we need.
  ssize_t n = write(m_nFd, &one, sizeof(one));
  (void)n;
}

void ZEPWakeFd::Drain() {
  if (m_nFd < 0) return;
  uint64_t count;
  while (read(m_nFd, &count, sizeof(count)) < 0 && errno == EINTR) {
  }
}

int ZEPWaitReadable(int fd, int64_t timeoutMs) {
  pollfd pfd;
  pfd.fd = fd;
  pfd.events = POLLIN;
  pfd.revents = 0;
  int ms = timeoutMs < 0 ? -1 : (timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs));
  int rc = poll(&pfd, 1, ms);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  return rc > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// ZEPSleep

timeval ZEPSleepTimeval(unsigned long ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return tv;
}

// Threads are cancelled while they sit in this sleep. The cancellation unwind
// leaves the frame's AddressSanitizer redzones poisoned, and the runtime then
// reports its own bookkeeping writes there as overflows, so this frame
// (which has nothing to check) is kept uninstrumented.
__attribute__((no_sanitize_address)) void ZEPSleep(unsigned long ms) {
  timeval tv = ZEPSleepTimeval(ms);
  select(0, nullptr, nullptr, nullptr, &tv);
}

// ---------------------------------------------------------------------------
// Wall-clock text

char* ZEPLocalTimeText(time_t when, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return buf;
  struct tm t {};
  localtime_r(&when, &t);
  std::snprintf(buf, size, "%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}
