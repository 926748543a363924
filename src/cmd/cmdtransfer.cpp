#include "cmd/cmdtransfer.h"

#include <cstring>
#include <string>

#include "base/lockguard.h"
#include "frame/zepframe.h"

namespace {

int AddProp(ZEPString& msg, const char* key, const char* value, size_t vlen) {
  if (key == nullptr || value == nullptr) return -1;
  const size_t klen = std::strlen(key);
  if (std::memchr(key, '=', klen) != nullptr ||
      std::memchr(key, CmdTransfer::kPropSep, klen) != nullptr ||
      std::memchr(value, CmdTransfer::kPropSep, vlen) != nullptr ||
      std::memchr(value, '\0', vlen) != nullptr) {
    return -1;
  }
  const char sep = CmdTransfer::kPropSep;
  if (msg.IsEmpty()) msg.Assign(&sep, 1);
  msg.Append(key, static_cast<uint32_t>(klen));
  msg.Append("=", 1);
  msg.Append(value, static_cast<uint32_t>(vlen));
  msg.Append(&sep, 1);
  return 0;
}

}  // namespace

int CmdTransfer::AddCmdProp(ZEPString& msg, const char* key, const char* value) {
  return AddProp(msg, key, value, value ? std::strlen(value) : 0);
}

int CmdTransfer::AddCmdProp(ZEPString& msg, const char* key, const ZEPString& value) {
  return AddProp(msg, key, value.GetText(), value.GetLength());
}

ZEPString CmdTransfer::GetCmdProp(const char* msg, uint32_t len, const char* key) {
  if (key == nullptr || msg == nullptr || len == 0) return ZEPString();
  // A message is text: bytes after a zero byte are not part of it.
  const void* zero = std::memchr(msg, '\0', len);
  const size_t end = zero ? static_cast<size_t>(static_cast<const char*>(zero) - msg) : len;
  // The pattern carries the leading separator and the "=", so "K" never
  // matches inside "OK" and "Domain" never matches "Domain0".
  std::string pattern(1, kPropSep);
  pattern += key;
  pattern += '=';
  const std::string text(msg, end);
  const size_t at = text.find(pattern);
  if (at == std::string::npos) return ZEPString();
  const size_t start = at + pattern.size();
  size_t stop = text.find(kPropSep, start);
  if (stop == std::string::npos) stop = end;  // last property without its final separator
  return ZEPString::FromBytes(text.data() + start, static_cast<uint32_t>(stop - start));
}

ZEPString CmdTransfer::GetCmdProp(const ZEPString& msg, const char* key) {
  return GetCmdProp(msg.GetText(), msg.GetLength(), key);
}

// --- Framing node ------------------------------------------------------------

std::atomic<unsigned> CmdTransfer::m_nTotalBandwidth{CmdTransfer::kNoTotalLimit};
Mutex CmdTransfer::m_nTotalBandwidthMutex;
ZEPByteBudget CmdTransfer::m_nTotalTxSize;

CmdTransfer::CmdTransfer() { ResetState(); }

CmdTransfer::CmdTransfer(ZEPFrame* frame) : CAppNode(frame) { ResetState(); }

CmdTransfer::~CmdTransfer() {}

void CmdTransfer::Init(bool reset, ZEPFrame* frame) {
  CAppNode::Init(reset, frame);
  ResetState();
}

void CmdTransfer::Fini(bool reset) {
  FIniZlibStream();
  CAppNode::Fini(reset);
}

void CmdTransfer::ResetState() {
  InitGetCmd();
  InitZlibStream();
  SetDesKey(kCmdDefaultKey);
  m_Decoder.SetCheckSum(true);
  m_nZipLevel.store(6);
  SetBandwidth(10485760);
}

void CmdTransfer::InitGetCmd() {
  m_Decoder.Reset();
  m_bRecvBroken = false;
}

void CmdTransfer::InitZlibStream() {
  {
    ZEPLockGuard lock(m_SendMutex);
    m_Encoder.ResetStream();
  }
  m_Decoder.ResetStream();
}

void CmdTransfer::FIniZlibStream() {
  {
    ZEPLockGuard lock(m_SendMutex);
    m_Encoder.EndStream();
  }
  m_Decoder.EndStream();
}

void CmdTransfer::SetDesKey(const unsigned char* key) {
  if (key == nullptr) return;
  {
    ZEPLockGuard lock(m_SendMutex);
    m_Encoder.SetKey(key);
  }
  m_Decoder.SetKey(key);
}

void CmdTransfer::SetBandwidth(unsigned bytesPerSecond) { m_nBandwidth.store(bytesPerSecond); }

void CmdTransfer::SetTotalBandwidth(unsigned bytesPerSecond) {
  m_nTotalBandwidth.store(bytesPerSecond);
}

int CmdTransfer::SendCmd(int fd, unsigned long seq, unsigned short code, const char* data,
                         unsigned short len, int encoding) {
  ZEPLockGuard lock(m_SendMutex);
  return SendCmdLocked(fd, seq, code, data, len, encoding);
}

int CmdTransfer::SendCmdOn(const std::atomic<int>& sock, unsigned long seq, unsigned short code,
                           const char* data, unsigned short len, int encoding) {
  ZEPLockGuard lock(m_SendMutex);
  const int fd = sock.load();
  if (fd <= 0) return -1;
  return SendCmdLocked(fd, seq, code, data, len, encoding);
}

int CmdTransfer::TakeSendSocket(std::atomic<int>& sock) {
  ZEPLockGuard lock(m_SendMutex);
  return sock.exchange(-1);
}

int CmdTransfer::SendCmdLocked(int fd, unsigned long seq, unsigned short code, const char* data,
                               unsigned short len, int encoding) {
  if (data != nullptr && len == 0) {
    const size_t n = strnlen(data, kCmdMaxData + 1);
    if (n > static_cast<size_t>(kCmdMaxData)) return -1;
    len = static_cast<unsigned short>(n);
  }
  const int total =
      m_Encoder.Encode(static_cast<uint32_t>(seq), code, data, len, encoding, m_SendBuf);
  if (total < 0) return -1;
  CheckOverload(static_cast<unsigned>(total - kCmdHeaderSize));
  ZEPFrame* frame = Frame();
  if (frame == nullptr) return -1;
  return frame->SendData(fd, m_SendBuf, total) == 0 ? 0 : -1;
}

GeneralCmd_* CmdTransfer::GetCmd(CTCPEvent* ev) {
  if (ev == nullptr || !ev->IsTcpData()) return nullptr;
  const ZEPReceived_tag in = ev->Received();
  if (in.m_nSize == 0) return nullptr;
  const char* p = in.m_pData;
  const int n = static_cast<int>(in.m_nSize);  // at most the buffer's size
  int used = 0;
  const int rc = m_Decoder.Feed(p, n, &used);
  if (rc == ZEPCmdDecoder::kBroken) {
    m_bRecvBroken = true;
    return nullptr;
  }
  if (rc == ZEPCmdDecoder::kNeedMore) return nullptr;
  const int left = n - used;
  if (left == 1) {
    int one = 0;
    m_Decoder.Feed(p + used, 1, &one);  // kept as the next frame's first length byte
  } else if (left > 1) {
    // Back to the head of the queue: data of this socket that arrived
    // meanwhile must not be decoded before these bytes.
    ev->SetBufferOffset(ev->GetBufferOffset() + used);
    ev->SetRecvSize(left);
    if (Frame() != nullptr) Frame()->Enqueue(this, ev, false, false);
  }
  if (rc != ZEPCmdDecoder::kFrame) return nullptr;
  GeneralCmd_* cmd = m_Decoder.Frame();
  CheckOverload(cmd->m_nPayload);
  return cmd;
}

bool CmdTransfer::ChargeTotal(unsigned bytes, unsigned limit, int64_t nowSec) {
  ZEPLockGuard lock(m_nTotalBandwidthMutex);
  return m_nTotalTxSize.Charge(bytes, limit, nowSec);
}

int CmdTransfer::CheckOverload(unsigned bytes) {
  ZEPLockGuard lock(m_BandwidthMutex);
  const unsigned totalLimit = m_nTotalBandwidth.load();
  const bool total = totalLimit != kNoTotalLimit;
  int64_t now = ZEPByteBudget::Now();
  bool over = m_TxBudget.Charge(bytes, m_nBandwidth.load(), now);
  if (total) over = ChargeTotal(bytes, totalLimit, now) || over;
  if (!over) return 0;
  // Sleep to the start of the next second; a wake-up short of it sleeps
  // again. The process-wide lock is not held meanwhile.
  while ((now = ZEPByteBudget::Now()) == m_TxBudget.Second())
    ZEPSleep(static_cast<unsigned long>(ZEPByteBudget::MsToNextSecond()));
  // The bytes that waited open the new second; in the process-wide budget
  // they add to what other objects counted there already.
  m_TxBudget.Restart(now, bytes);
  if (total) ChargeTotal(bytes, totalLimit, now);
  return 1;
}
