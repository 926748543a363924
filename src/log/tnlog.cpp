#include "log/tnlog.h"

#include <cstring>

#include "base/zepcharset.h"

std::atomic<TNLogSendFn> g_pTNLogSend{nullptr};

namespace {

int SocketOf(int64_t slot) { return static_cast<int>(slot & 0xffffffff); }

}  // namespace

ZEPTNLog::ZEPTNLog(ZEPFrame* pFrame) : ZEPLog(), m_pFrame(pFrame), m_nSocket(-1) {
  for (std::atomic<int64_t>& slot : m_nExtra) slot.store(-1);
}

ZEPTNLog::ZEPTNLog(ZEPFrame* pFrame, const char* path)
    : ZEPLog(path), m_pFrame(pFrame), m_nSocket(-1) {
  for (std::atomic<int64_t>& slot : m_nExtra) slot.store(-1);
}

ZEPTNLog::~ZEPTNLog() {}

int ZEPTNLog::AddSocket(int nSocket, bool bUtf8) {
  if (nSocket <= 0) return -1;
  const int64_t want = nSocket | (bUtf8 ? kUtf8Copy : 0);
  for (std::atomic<int64_t>& slot : m_nExtra) {
    int64_t held = slot.load();
    // Already attached: the copy is now sent as asked.
    while (held >= 0 && SocketOf(held) == nSocket) {
      if (slot.compare_exchange_weak(held, want)) return 0;
    }
  }
  if (m_nSocket.load() == nSocket) return 0;
  for (std::atomic<int64_t>& slot : m_nExtra) {
    int64_t empty = -1;
    if (slot.compare_exchange_strong(empty, want)) return 0;
  }
  return -1;
}

void ZEPTNLog::RemoveSocket(int nSocket) {
  if (nSocket <= 0) return;
  int mine = nSocket;
  m_nSocket.compare_exchange_strong(mine, -1);
  for (std::atomic<int64_t>& slot : m_nExtra) {
    int64_t held = slot.load();
    while (held >= 0 && SocketOf(held) == nSocket) {
      if (slot.compare_exchange_weak(held, -1)) break;
    }
  }
}

bool ZEPTNLog::HasSocket(int nSocket) const {
  if (nSocket <= 0) return false;
  if (m_nSocket.load() == nSocket) return true;
  for (const std::atomic<int64_t>& slot : m_nExtra) {
    const int64_t held = slot.load();
    if (held >= 0 && SocketOf(held) == nSocket) return true;
  }
  return false;
}

int ZEPTNLog::GetSocketCount() const {
  int n = m_nSocket.load() > 0 ? 1 : 0;
  for (const std::atomic<int64_t>& slot : m_nExtra) n += slot.load() >= 0 ? 1 : 0;
  return n;
}

int ZEPTNLog::SendLine(int nSocket, const char* line) {
  TNLogSendFn send = g_pTNLogSend.load();
  if (send == nullptr) return 0;  // no sender: nothing is copied, nobody detached
  return send(m_pFrame, nSocket, line);
}

const char* ZEPTNLog::Utf8Line(const char* line) {
  if (!m_bUtf8Done) {
    m_strUtf8.clear();
    m_bUtf8Conv = ZEPGbToUtf8(line, std::strlen(line), m_strUtf8) == 0;
    m_bUtf8Done = true;
  }
  // Without a converter the copy gets the line's bytes.
  return m_bUtf8Conv ? m_strUtf8.c_str() : line;
}

void ZEPTNLog::PostProcess(char* line) {
  if (m_pFrame == nullptr) return;
  std::strcat(line, "\r\n");  // the buffer keeps two spare bytes for this
  m_bUtf8Done = false;
  int own = m_nSocket.load();
  // Detach only the console that failed, not one attached meanwhile.
  if (own > 0 && SendLine(own, line) != 0) m_nSocket.compare_exchange_strong(own, -1);
  for (std::atomic<int64_t>& slot : m_nExtra) {
    int64_t held = slot.load();
    if (held < 0) continue;
    const char* text = (held & kUtf8Copy) != 0 ? Utf8Line(line) : line;
    if (SendLine(SocketOf(held), text) != 0) slot.compare_exchange_strong(held, -1);
  }
}
