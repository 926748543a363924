#include "cmd/cmdframe.h"

#include <cstring>

#include "log/zeplog.h"

const unsigned char kCmdDefaultKey[8] = {0x5E, 0x0B, 0xD2, 0x71, 0xA4, 0x39, 0xC6, 0x1F};

namespace {

void Put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
void Put32(unsigned char* p, uint32_t v) {
  Put16(p, static_cast<uint16_t>(v >> 16));
  Put16(p + 2, static_cast<uint16_t>(v));
}
uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Get32(const unsigned char* p) {
  return (static_cast<uint32_t>(Get16(p)) << 16) | Get16(p + 2);
}
int RoundToBlock(int n) { return (n + 7) & ~7; }

}  // namespace

uint16_t ZEPCmdChecksum(const void* data, int len) {
  const unsigned char* b = static_cast<const unsigned char*>(data);
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < len; i += 2) {
    uint16_t w;
    std::memcpy(&w, b + i, 2);
    sum += w;
  }
  if (i < len) {
    uint16_t w = 0;
    std::memcpy(&w, b + i, 1);
    sum += w;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// --- Encoder ---------------------------------------------------------------

ZEPCmdEncoder::ZEPCmdEncoder() {
  SetKey(kCmdDefaultKey);
  ResetStream();
}

ZEPCmdEncoder::~ZEPCmdEncoder() { EndStream(); }

void ZEPCmdEncoder::SetKey(const unsigned char key[8]) { m_Des.deskey(key, ZEPd3des::EN0); }

void ZEPCmdEncoder::ResetStream() {
  EndStream();
  std::memset(&m_Zip, 0, sizeof(m_Zip));
  m_bZip = deflateInit(&m_Zip, Z_DEFAULT_COMPRESSION) == Z_OK;
}

void ZEPCmdEncoder::EndStream() {
  if (m_bZip) deflateEnd(&m_Zip);
  m_bZip = false;
}

int ZEPCmdEncoder::Deflate(const char* data, uint16_t len, unsigned char* out, int room) {
  if (!m_bZip) return -1;
  // The record: its length low byte first, then the data, in one sync-flushed
  // piece so the peer can inflate it without the frames after it.
  m_ZipIn[0] = static_cast<unsigned char>(len);
  m_ZipIn[1] = static_cast<unsigned char>(len >> 8);
  std::memcpy(m_ZipIn + 2, data, len);
  m_Zip.next_in = m_ZipIn;
  m_Zip.avail_in = 2u + len;
  m_Zip.next_out = m_ZipOut;
  m_Zip.avail_out = sizeof(m_ZipOut);
  int rc = deflate(&m_Zip, Z_SYNC_FLUSH);
  if (rc != Z_OK || m_Zip.avail_in != 0 || m_Zip.avail_out == 0) {
    // The context no longer matches what the peer will see: start over, so
    // both ends fail the same way rather than drift apart silently.
    ResetStream();
    return -1;
  }
  int k = static_cast<int>(sizeof(m_ZipOut) - m_Zip.avail_out);
  if (k > room) {
    ResetStream();
    return -1;
  }
  std::memcpy(out, m_ZipOut, static_cast<size_t>(k));
  return k;
}

int ZEPCmdEncoder::Encode(uint32_t seq, uint16_t code, const char* data, uint16_t len, int encoding,
                          char* outChars) {
  if (len > kCmdMaxData || (len > 0 && data == nullptr)) return -1;
  if (encoding == CTT_BAD_ZIP) {
    ZEP_LOG_LINE(LOG_ERRR, "CTT_BAD_ZIP not use anymore!");
    return -1;
  }
  if (encoding < CTT_PLAIN || encoding > CTT_ZIP_DES) {
    ZEP_LOG_LINE(LOG_ERRR, "Unknown cmd encoding: " << encoding);
    return -1;
  }
  unsigned char* out = reinterpret_cast<unsigned char*>(outChars);
  unsigned char* payload = out + kCmdHeaderSize;
  int wire = len;
  uint16_t inner = len;
  if (len > 0) {
    int k = 0;
    switch (encoding) {
      case CTT_PLAIN:
        std::memcpy(payload, data, len);
        break;
      case CTT_ZIP:
      case CTT_ZIP_DES:
        // Room for the padding of encoding 4 is kept back.
        k = Deflate(data, len, payload, kCmdMaxPayload & ~7);
        if (k < 0) {
          ZEP_LOG_LINE(LOG_ERRR, "Cannot compress cmd!");
          return -1;
        }
        wire = k;
        if (encoding == CTT_ZIP) break;
        inner = static_cast<uint16_t>(k);
        [[fallthrough]];
      case CTT_DES:
        if (encoding == CTT_DES) std::memcpy(payload, data, len);
        wire = RoundToBlock(inner);
        std::memset(payload + inner, 0, static_cast<size_t>(wire - inner));
        for (int i = 0; i < wire; i += 8) m_Des.des(payload + i, payload + i);
        break;
    }
  }
  Put16(out, static_cast<uint16_t>(kCmdHeaderSize + wire));
  Put16(out + 2, code);
  out[4] = out[5] = 0;
  Put16(out + 6, static_cast<uint16_t>(wire));
  Put32(out + 8, seq);
  out[12] = static_cast<unsigned char>(encoding);
  out[13] = 0;
  Put16(out + 14, inner);
  const uint16_t sum = ZEPCmdChecksum(out, kCmdHeaderSize + wire);
  std::memcpy(out + 4, &sum, 2);
  return kCmdHeaderSize + wire;
}

// --- Decoder ---------------------------------------------------------------

ZEPCmdDecoder::ZEPCmdDecoder() {
  SetKey(kCmdDefaultKey);
  ResetStream();
}

ZEPCmdDecoder::~ZEPCmdDecoder() { EndStream(); }

void ZEPCmdDecoder::SetKey(const unsigned char key[8]) { m_Des.deskey(key, ZEPd3des::DE1); }

void ZEPCmdDecoder::ResetStream() {
  EndStream();
  std::memset(&m_Unzip, 0, sizeof(m_Unzip));
  m_bUnzip = inflateInit(&m_Unzip) == Z_OK;
}

void ZEPCmdDecoder::EndStream() {
  if (m_bUnzip) inflateEnd(&m_Unzip);
  m_bUnzip = false;
}

void ZEPCmdDecoder::Reset() {
  m_nMissing = 0;
  m_nStored = 0;
  m_bPending = false;
}

int ZEPCmdDecoder::Feed(const char* pc, int n, int* used) {
  *used = 0;
  if (pc == nullptr || n <= 0) return kNeedMore;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pc);
  unsigned char* buf = reinterpret_cast<unsigned char*>(&m_Buf[m_nCur]);
  int i = 0;
  if (m_nMissing == 0) {
    if (m_bPending) {
      buf[0] = m_nPendingByte;
      buf[1] = p[0];
      m_bPending = false;
      i = 1;
    } else if (n == 1) {
      m_nPendingByte = p[0];
      m_bPending = true;
      *used = 1;
      return kNeedMore;
    } else {
      buf[0] = p[0];
      buf[1] = p[1];
      i = 2;
    }
    const int length = Get16(buf);
    if (length < kCmdHeaderSize || length > kGeneralCmdSize) {
      // Nothing tells where the next frame starts: the stream is lost.
      Reset();
      *used = n;
      ZEP_LOG_LINE(LOG_WARN, "Bad cmd frame length, received bytes dropped: " << length);
      return kBroken;
    }
    m_nStored = 2;
    m_nMissing = static_cast<uint16_t>(length - 2);
  }
  const int take = (n - i < m_nMissing) ? n - i : m_nMissing;
  std::memcpy(buf + m_nStored, p + i, static_cast<size_t>(take));
  m_nStored = static_cast<uint16_t>(m_nStored + take);
  m_nMissing = static_cast<uint16_t>(m_nMissing - take);
  *used = i + take;
  if (m_nMissing > 0) return kNeedMore;
  GeneralCmd_* done = &m_Buf[m_nCur];
  const int rc = Finish(done);
  m_nCur ^= 1;
  m_nStored = 0;
  if (rc == kFrame) m_pLast = done;
  return rc;
}

int ZEPCmdDecoder::Inflate(const unsigned char* in, int n, char* data) {
  if (!m_bUnzip) return -1;
  m_Unzip.next_in = const_cast<unsigned char*>(in);
  m_Unzip.avail_in = static_cast<unsigned>(n);
  m_Unzip.next_out = m_UnzipOut;
  m_Unzip.avail_out = sizeof(m_UnzipOut);
  const int rc = inflate(&m_Unzip, Z_SYNC_FLUSH);
  // One spare byte in the output tells a record that would not fit from one
  // that just fits.
  if (rc != Z_OK || m_Unzip.avail_in != 0 || m_Unzip.avail_out == 0) return -1;
  const int got = static_cast<int>(sizeof(m_UnzipOut) - m_Unzip.avail_out);
  if (got < 2) return -1;
  const int len = m_UnzipOut[0] | (m_UnzipOut[1] << 8);
  if (len != got - 2 || len > kCmdMaxData) return -1;
  std::memcpy(data, m_UnzipOut + 2, static_cast<size_t>(len));
  return len;
}

int ZEPCmdDecoder::Finish(GeneralCmd_* cmd) {
  unsigned char* b = reinterpret_cast<unsigned char*>(cmd);
  uint16_t sum;
  std::memcpy(&sum, b + 4, 2);
  b[4] = b[5] = 0;
  const int length = Get16(b);
  if (m_bCheckSum && ZEPCmdChecksum(b, length) != sum) return kDiscarded;
  const int wire = Get16(b + 6);
  const int inner = Get16(b + 14);
  const int encoding = b[12];
  if (length - wire != kCmdHeaderSize || encoding > CTT_ZIP_DES) return kDiscarded;
  unsigned char* payload = b + kCmdHeaderSize;
  int data = 0;
  if (wire > 0) {
    switch (encoding) {
      case CTT_PLAIN:
        if (inner > wire) return kDiscarded;
        data = wire;
        break;
      case CTT_BAD_ZIP:
        ZEP_LOG_LINE(LOG_ERRR, "CTT_BAD_ZIP not use anymore");
        return kDiscarded;
      case CTT_ZIP:
        data = Inflate(payload, wire, cmd->m_Data);
        if (data < 0) {
          ZEP_LOG_LINE(LOG_ERRR, "Cannot uncompress cmd!");
          return kDiscarded;
        }
        break;
      case CTT_DES:
      case CTT_ZIP_DES:
        if (wire % 8 != 0 || inner > wire) return kDiscarded;
        for (int i = 0; i < wire; i += 8) m_Des.des(payload + i, payload + i);
        data = inner;
        if (encoding == CTT_DES) break;
        data = Inflate(payload, inner, cmd->m_Data);
        if (data < 0) {
          ZEP_LOG_LINE(LOG_ERRR, "Cannot uncompress cmd!");
          return kDiscarded;
        }
        break;
    }
  }
  // The zero after the data needs a byte of its own; a peer keeping to the
  // 4096-byte limit never comes near the end of the buffer.
  if (data > kCmdMaxData) return kDiscarded;
  const uint16_t code = Get16(b + 2);
  const uint32_t seq = Get32(b + 8);
  const uint8_t reserved = b[13];
  cmd->m_nLength = static_cast<uint16_t>(kCmdHeaderSize + data);
  cmd->m_nCode = code;
  cmd->m_nCheckSum = sum;
  cmd->m_nPayload = static_cast<uint16_t>(data);
  cmd->m_nSeq = seq;
  cmd->m_nEncoding = static_cast<uint8_t>(encoding);
  cmd->m_nReserved = reserved;
  cmd->m_nInnerLen = static_cast<uint16_t>(inner);
  cmd->m_Data[data] = '\0';
  return kFrame;
}
