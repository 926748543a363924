// The frame's report: a short count, the full report of its lists, pools,
// threads and flood counts, and a per-socket throughput sample written to
// the log.
//
// Every count is read under the lock that guards it, one lock at a time, so
// a report may run on any thread while nodes come and go and sockets close:
// its numbers may be a moment old, never read from freed records.
//
// Sampling: the socket side (EnqueueTCP, on socket threads or the polling
// service loop) adds the bytes of every data read while m_bSampling is set,
// under m_SampleTreeLock only. The sampler holds m_SampleLock for the whole
// sample, with no frame lock, and takes m_SampleTreeLock inside it to set and
// clear the tree, so two samples run one after the other.
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "events/threadpool.h"
#include "frame/zepframe.h"
#include "log/zeplog.h"
#include "net/zepmttcp.h"

namespace {
const char kEquals51[] = "===================================================";
const char kEquals43[] = "===========================================";
// PrintSample's window.
constexpr unsigned kSampleSeconds = 3;

template <class P>
unsigned PoolCount(P* pool) {
  ZEPLockGuard lock(pool->GetMutex());
  return pool->GetCount();
}

// The report's lines about the message queues: the flood counts of every
// queue, and `wakes`, their receivers' wake-ups.
void PrintQueueCounts(const CMessageQueue::WakeStats& wakes, ZEPString& out) {
  const CMessageQueue::FloodTotals flood = CMessageQueue::GetFloodTotals();
  out << "\r\nFlood Pauses        Count:" << static_cast<unsigned long>(flood.nPauses);
  out << "\r\nFlood Episodes      Count:" << static_cast<unsigned long>(flood.nEpisodes) << " ("
      << static_cast<unsigned long>(flood.nOpen) << " open)";
  out << "\r\nFlood Events        Count:" << static_cast<unsigned long>(flood.nEvents);
  // Node workers woken through the system, against the events they received.
  out << "\r\nQueue Wake-ups      Count:" << static_cast<unsigned long>(wakes.nWakeCalls) << " ("
      << static_cast<unsigned long>(wakes.nReceived) << " events)";
}

// Sleeps until `ms` have passed on the monotonic clock: a signal that cuts
// one sleep short does not shorten the sample.
void SleepFully(int64_t ms) {
  const int64_t end = ZEPMonoMs() + ms;
  for (int64_t left = ms; left > 0; left = end - ZEPMonoMs())
    ZEPSleep(static_cast<unsigned long>(left));
}
}  // namespace

ZEPString& ZEPFrame::PrintCount(ZEPString& out) {
  const int sockets = m_pTCP->GetSocketCount();
  out << "\r\n" << kEquals51 << "\r\n";
  out << "Total Nodes           : " << GetNodeCount() << "\r\n";
  out << "Total Sockets         : " << sockets << "\r\n";
  out << "Total Sockets in event: " << GetTCP2NodeCount() << "\r\n";
  out << "\r\n";
  return out;
}

ZEPString& ZEPFrame::PrintBTree(ZEPString& out) {
  unsigned treeKeys, socketSlots, dataPool;
  {
    ZEPLockGuard lock(m_NodeListLock);
    treeKeys = m_NodeListTree.GetKeyCount();
  }
  {
    ZEPLockGuard lock(m_SocketMapLock);
    socketSlots = m_SocketPool.GetCount();
  }
  dataPool = m_pTCP->GetTCPDataPoolCount();
  out << "\r\n\r\n"
      << "=============ZEPFrame Report=======================";
  out << "\r\n--------------------------------------------------";
  out << "\r\nm_NodeList          Count:" << GetNodeCount();
  out << "\r\nm_NodeListTree      Count:" << treeKeys;
  out << "\r\nm_TickerList        Count:" << GetTickerCount();
  out << "\r\nm_QuitList          Count:" << GetQuitCount();
  out << "\r\nm_pTCPEventPool     Count:" << PoolCount(m_pTCPEventPool);
  out << "\r\nm_pTimerEventPool   Count:" << PoolCount(m_pTimerEventPool);
  out << "\r\nm_pUserEventPool    Count:" << PoolCount(m_pUserEventPool);
  out << "\r\nm_pQuitEventPool    Count:" << PoolCount(m_pQuitEventPool);
  out << "\r\nm_pCCmdEventPool    Count:" << PoolCount(m_pCCmdEventPool);
  out << "\r\nm_TCPDataPool       Count:" << dataPool;
  out << "\r\nm_TCPSocketDataPool Count:" << m_pTCP->GetTCPSocketDataPoolCount();
  out << "\r\nm_SocketPool        Count:" << socketSlots;
  if (m_pThreadPool != nullptr) {
    out << "\r\nGetTotalThread      Count:" << m_pThreadPool->GetTotalThread();
    out << "\r\nGetUsedThread       Count:" << m_pThreadPool->GetUsedThread();
  }
  if (m_bMultiThreadSocket) {
    out << "\r\nGetTotalSockThread  Count:" << m_pTCP->GetTotalThread();
    out << "\r\nGetUsedSockThread   Count:" << m_pTCP->GetUsedThread();
  }
  char when[32];
  out << "\r\nStart Service        Time:"
      << ZEPLocalTimeText(m_nStartTime.load(), when, sizeof(when));
  // High-water pauses of every node's sockets and the flood episodes they
  // made, as they stand: a report changes nothing (an episode gone quiet is
  // closed by its queue's next receive or pause, or the queue's end).
  CMessageQueue::WakeStats wakes = CMessageQueue::GetEndedWakeStats();
  {
    CAppNodeCursor cursor(this);
    for (CAppNode* node = GetFirstNode(cursor); node != nullptr; node = GetNextNode(cursor)) {
      const CMessageQueue::WakeStats w = node->Queue().GetWakeStats();
      wakes.nReceived += w.nReceived;
      wakes.nWakeCalls += w.nWakeCalls;
    }
  }
  PrintQueueCounts(wakes, out);
  // Socket threads and the polling loop woken through their descriptors
  // (a flag they would not have seen on their own: a resume, a close).
  out << "\r\nSocket Wake-ups     Count:" << static_cast<unsigned long>(GetSocketWakeups());
  out << "\r\n================Report End========================="
      << "\r\n\r\n";
  return out;
}

void ZEPFrame::AddSample(int sock, int bytes) {
  ZEPLockGuard lock(m_SampleTreeLock);
  if (m_pSampleTree == nullptr) return;  // the sample ended after the flag test
  SampleNode key;
  key.m_nSocket = sock;
  SampleNode* p = m_pSampleTree->SearchKey(key);
  if (p != nullptr) {
    // A count that would pass 4 GiB stays at its ceiling instead of wrapping.
    const uint32_t room = UINT32_MAX - p->m_nBytes;
    p->m_nBytes = static_cast<uint32_t>(bytes) > room ? UINT32_MAX
                                                      : p->m_nBytes + static_cast<uint32_t>(bytes);
    return;
  }
  key.m_nBytes = static_cast<uint32_t>(bytes);
  m_pSampleTree->InsertKey(key);  // out of memory: this read goes uncounted
}

void ZEPFrame::StartSample(ZEPBTree<SampleNode>& tree, unsigned seconds) {
  ZEPLockGuard sampling(m_SampleLock);
  {
    ZEPLockGuard lock(m_SampleTreeLock);
    tree.DestroyTree();
    if (seconds == 0) return;
    m_pSampleTree = &tree;
  }
  m_bSampling.store(true);
  SleepFully(static_cast<int64_t>(seconds) * 1000);
  m_bSampling.store(false);
  ZEPLockGuard lock(m_SampleTreeLock);
  m_pSampleTree = nullptr;
}

ZEPString& ZEPFrameSampleTable(ZEPBTree<SampleNode>& tree, unsigned seconds, ZEPString& out) {
  if (seconds == 0) seconds = 1;
  char line[96];
  out << "\r\n" << kEquals43 << "\r\n";
  std::snprintf(line, sizeof(line), "%8s   %s", "Socket", "Byte/Second");
  out << line << "\r\n";
  // The sum is 64-bit: many busy sockets may pass 4 GiB in a long sample.
  uint64_t total = 0;
  GET_KEY_tag cursor;
  for (SampleNode* p = tree.GetFirstKey(&cursor); p != nullptr;
       p = tree.GetNextKey(&cursor, false)) {
    std::snprintf(line, sizeof(line), "%8d     %6u", static_cast<int>(p->m_nSocket),
                  p->m_nBytes / seconds);
    out << line << "\r\n";
    total += p->m_nBytes;
  }
  std::snprintf(line, sizeof(line), "%8s     %6llu",
                "Total:", static_cast<unsigned long long>(total / seconds));
  out << line << "\r\n" << kEquals43 << "\r\n";
  return out;
}

void ZEPFrame::PrintSample(ZEPString* copy) {
  ZEPBTree<SampleNode> tree;
  StartSample(tree, kSampleSeconds);
  ZEPString table;
  ZEPFrameSampleTable(tree, kSampleSeconds, table);
  if (copy != nullptr) *copy << table;
  ZEP_LOG_LINE(LOG_INFO, table);
}

void ZEPFrame::RequestReport() {
  m_bReportWanted.store(true);
  m_Wake.Notify();  // a write(2): async-signal-safe
}

void ZEPFrame::WriteRequestedReport() {
  m_bReportWanted.store(false);
  ZEPString text;
  PrintCount(text);
  PrintBTree(text);
  if (ReportHookFn hook = m_pReportHook.load()) hook(this, text);
  ZEP_LOG_LINE(LOG_INFO, text);
}
