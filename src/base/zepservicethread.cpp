#include "base/zepservicethread.h"

#include <cerrno>
#include <climits>
#include <utility>

#include "base/zepassert.h"

short ZEPServiceTurn::Ready(int fd) const {
  for (const pollfd& p : m_Seen) {
    if (p.fd == fd) return p.revents;
  }
  return 0;
}

void ZEPServiceTurn::WakeAt(int64_t monoMs) {
  if (m_nWakeAtMs < 0 || monoMs < m_nWakeAtMs) m_nWakeAtMs = monoMs < 0 ? 0 : monoMs;
}

void ZEPServiceTurn::Watch(int fd, short events) {
  if (fd >= 0) m_Watch.push_back(pollfd{fd, events, 0});
}

ZEPServiceThread::~ZEPServiceThread() { Stop(); }

int ZEPServiceThread::Start(Callback fn) {
  if (IsRunning()) {
    errno = EBUSY;
    return -1;
  }
  if (m_Wake.Fd() < 0) {
    errno = EMFILE;
    return -1;
  }
  m_fnRun = std::move(fn);
  m_bStop.store(false);
  if (!m_Thread.Create(&ZEPServiceThread::Proc, this)) {
    m_fnRun = nullptr;
    errno = EAGAIN;
    return -1;
  }
  return 0;
}

void ZEPServiceThread::Post() {
  // The flag first: a thread woken by the write always finds it.
  m_bPosted.store(true);
  m_Wake.Notify();
}

void ZEPServiceThread::Stop() {
  pthread_t* handle = m_Thread.GetThreadHandle();
  if (handle == nullptr) return;
  // It would wait for itself for ever.
  ZEP_ASSERT(!pthread_equal(*handle, pthread_self()));
  m_bStop.store(true);
  m_Wake.Notify();
  m_Thread.Wait();
  m_fnRun = nullptr;  // what it holds goes now, not at the next Start
}

void* ZEPServiceThread::Proc(void* self) {
  static_cast<ZEPServiceThread*>(self)->Loop();
  return nullptr;
}

void ZEPServiceThread::Loop() {
  ZEPServiceTurn turn;
  int64_t lastEnd = -1;
  for (;;) {
    if (m_nGapMs > 0 && lastEnd >= 0 && !WaitGap(lastEnd + m_nGapMs)) return;
    if (!WaitWork(turn)) return;
    m_fnRun(turn);
    lastEnd = ZEPMonoMs();
  }
}

bool ZEPServiceThread::WaitGap(int64_t untilMs) {
  for (;;) {
    if (m_bStop.load()) return false;
    const int64_t left = untilMs - ZEPMonoMs();
    if (left <= 0) return true;
    // Posts wake it too: drained, they stay marked for the turn after the gap.
    if (ZEPWaitReadable(m_Wake.Fd(), left) > 0) m_Wake.Drain();
  }
}

bool ZEPServiceThread::WaitWork(ZEPServiceTurn& turn) {
  std::vector<pollfd> fds;
  for (;;) {
    if (m_bStop.load()) return false;
    fds.assign(1, pollfd{m_Wake.Fd(), POLLIN, 0});
    fds.insert(fds.end(), turn.m_Watch.begin(), turn.m_Watch.end());
    int64_t waitMs = -1;
    if (m_bPosted.load()) {
      waitMs = 0;  // its wake-up was drained already (in the gap)
    } else if (turn.m_nWakeAtMs >= 0) {
      waitMs = turn.m_nWakeAtMs - ZEPMonoMs();
      if (waitMs < 0) waitMs = 0;
    }
    const int rc =
        poll(fds.data(), fds.size(), waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs));
    if (rc < 0 && errno != EINTR) ZEPSleep(10);  // never a busy loop
    if ((fds[0].revents & POLLIN) != 0) m_Wake.Drain();
    if (m_bStop.load()) return false;
    const int64_t now = ZEPMonoMs();
    // After the drain: a post that comes later wakes the next poll again.
    const bool posted = m_bPosted.exchange(false);
    const bool due = turn.m_nWakeAtMs >= 0 && now >= turn.m_nWakeAtMs;
    bool ready = false;
    for (size_t i = 1; i < fds.size(); ++i) ready = ready || fds[i].revents != 0;
    if (!posted && !due && !ready) continue;
    turn.m_bPosted = posted;
    turn.m_bDue = due;
    turn.m_nNowMs = now;
    turn.m_Seen.assign(fds.begin() + 1, fds.end());
    turn.m_Watch.clear();
    turn.m_nWakeAtMs = -1;
    return true;
  }
}
