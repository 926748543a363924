// cmdframe.h — the command frame on the wire: the record a decoded frame
// becomes (GeneralCmd_), the checksum, and the two halves of the codec.
//
// Frame: 16-byte header (frame length, code, checksum, wire payload length,
// sequence, encoding, reserved, inner length; big-endian but for the
// checksum, which is stored in memory order) and the wire payload. Encodings:
// 0 plain, 1 refused, 2 one deflate stream per connection with a sync flush
// per frame, 3 DES (ECB, zero padded), 4 deflate then DES.
//
// Owns: ZEPCmdEncoder its deflate context and encrypting key schedule;
// ZEPCmdDecoder its inflate context, decrypting schedule and the two
// alternating receive buffers. Both run over (pointer, length) only, so any
// byte sequence can be fed to them.
//
// Threads: neither half locks; each object is used by one thread at a time
// (CmdTransfer serialises its encoder under its send mutex and decodes on its
// node's thread). Locks: none, but g_LogMutex around a log line.
#ifndef ZEP_CMD_CMDFRAME_H
#define ZEP_CMD_CMDFRAME_H

#include <zlib.h>

#include <cstdint>

#include "base/zepd3des.h"
#include "events/events.h"

constexpr int kCmdHeaderSize = 16;
// Data per frame, both ways: a limit of the frame format that both ends keep
// (a frame spans many reads or shares one), not the size of a socket read.
constexpr int kCmdMaxData = 4096;
constexpr int kCmdMaxPayload = kGeneralCmdSize - kCmdHeaderSize;  // what a buffer holds
enum { CTT_PLAIN = 0, CTT_BAD_ZIP = 1, CTT_ZIP = 2, CTT_DES = 3, CTT_ZIP_DES = 4 };

// A decoded frame: the header in host order, lengths adjusted to the decoded
// data, then the data and a zero byte after it.
struct GeneralCmd_ {
  uint16_t m_nLength;  // 16 + data length
  uint16_t m_nCode;
  uint16_t m_nCheckSum;  // as received (memory order)
  uint16_t m_nPayload;   // data length
  uint32_t m_nSeq;
  uint8_t m_nEncoding;
  uint8_t m_nReserved;
  uint16_t m_nInnerLen;  // as received
  char m_Data[kCmdMaxPayload];
};
static_assert(sizeof(GeneralCmd_) == kGeneralCmdSize, "command record size");

// RFC 1071 over `len` bytes taken as 16-bit words in memory order (an odd last
// byte padded with zero); the result is meant to be stored in memory order.
uint16_t ZEPCmdChecksum(const void* data, int len);

// The default DES key of a command link.
extern const unsigned char kCmdDefaultKey[8];

class ZEPCmdEncoder {
 public:
  ZEPCmdEncoder();
  ~ZEPCmdEncoder();
  ZEPCmdEncoder(const ZEPCmdEncoder&) = delete;
  ZEPCmdEncoder& operator=(const ZEPCmdEncoder&) = delete;

  void SetKey(const unsigned char key[8]);
  // A fresh deflate context, for a new connection.
  void ResetStream();
  // Lets the context go: encodings 2 and 4 fail until ResetStream.
  void EndStream();
  // Writes one frame of `len` bytes of `data` into `out` (kGeneralCmdSize
  // bytes). Returns the frame's length, or -1 (nothing to send) when len is
  // above 4096, data is null with len > 0, the encoding is 1 or outside 0..4,
  // or compression fails; the latter two are logged.
  int Encode(uint32_t seq, uint16_t code, const char* data, uint16_t len, int encoding, char* out);

 private:
  int Deflate(const char* data, uint16_t len, unsigned char* out, int room);

  ZEPd3des m_Des;
  z_stream m_Zip;
  bool m_bZip = false;
  unsigned char m_ZipIn[2 + kCmdMaxData];
  unsigned char m_ZipOut[16384];
};

class ZEPCmdDecoder {
 public:
  // What Feed did with the bytes it used.
  enum { kNeedMore = 0, kFrame = 1, kDiscarded = 2, kBroken = -1 };

  ZEPCmdDecoder();
  ~ZEPCmdDecoder();
  ZEPCmdDecoder(const ZEPCmdDecoder&) = delete;
  ZEPCmdDecoder& operator=(const ZEPCmdDecoder&) = delete;

  void SetKey(const unsigned char key[8]);
  void SetCheckSum(bool on) { m_bCheckSum = on; }
  // A fresh inflate context, for a new connection.
  void ResetStream();
  // Lets the context go: compressed frames are discarded until ResetStream.
  void EndStream();
  // Back to idle: a partial frame and a pending length byte are dropped.
  void Reset();

  // Takes bytes from `p` up to the end of the first frame that completes and
  // sets `*used` to how many. kFrame: Frame() holds it until two further
  // frames have completed. kDiscarded: a complete frame failed its checks.
  // kNeedMore: every byte was used and no frame is complete. kBroken: the
  // frame length is below 16 or above 4240, so the stream cannot be
  // resynchronised; all bytes are used, the state is idle again (logged).
  int Feed(const char* p, int n, int* used);
  GeneralCmd_* Frame() { return m_pLast; }
  bool IsIdle() const { return m_nMissing == 0 && !m_bPending; }

 private:
  int Finish(GeneralCmd_* cmd);
  int Inflate(const unsigned char* in, int n, char* data);

  ZEPd3des m_Des;
  z_stream m_Unzip;
  bool m_bUnzip = false;
  bool m_bCheckSum = true;
  GeneralCmd_ m_Buf[2];
  int m_nCur = 0;
  uint16_t m_nMissing = 0;
  uint16_t m_nStored = 0;
  bool m_bPending = false;
  unsigned char m_nPendingByte = 0;
  GeneralCmd_* m_pLast = nullptr;
  unsigned char m_UnzipOut[2 + kCmdMaxData + 1];
};

#endif  // ZEP_CMD_CMDFRAME_H
