// cmdtransfer.h — CmdTransfer, the base of nodes that exchange command frames
// (cmdframe.h) with TCP peers, and its class-level property-message helpers.
//
// Owns: one encoder (deflate context, DES schedule, send buffer) and one
// decoder (inflate context, schedule, two receive buffers), the per-object
// byte budget of the current second, and the process-wide one (statics).
//
// Threads: SendCmd and CheckOverload may be called from any thread. GetCmd,
// InitGetCmd, InitZlibStream, SetDesKey and SetShouldCheckSum belong to the
// node's own thread (or run before the node starts): the decoder is not
// locked. Locks, outermost first: send mutex -> bandwidth mutex -> total
// bandwidth mutex -> g_LogMutex. SendCmd holds the send mutex across the
// encoding, the throttle and the write; the write (ZEPFrame::SendData) takes
// no lock, so no frame or engine lock is ever taken under these. GetCmd
// holds none of them when it puts an event back through the frame.
// CheckOverload may block its caller until the next second begins, holding
// the send mutex when SendCmd called it.
//
// A property message is 0x01 followed by key "=" value 0x01 for every
// property, in the order added; readers take the first occurrence of a key.
// Keys and values travel unescaped, so AddCmdProp refuses what the format
// cannot carry (see below) instead of writing a message that would read back
// differently.
//
// Threads: the static operations touch only their arguments; any thread may
// call them on strings it owns. Locks: none.
#ifndef ZEP_CMD_CMDTRANSFER_H
#define ZEP_CMD_CMDTRANSFER_H

#include <atomic>
#include <cstdint>

#include "base/zepbytebudget.h"
#include "base/zepmultithread.h"
#include "base/zepstring.h"
#include "base/zepthreadsafety.h"
#include "cmd/cmdframe.h"
#include "events/appnode.h"

class ZEPFrame;

class CmdTransfer : public CAppNode {
 public:
  // No limit on the process-wide byte rate.
  static constexpr unsigned kNoTotalLimit = 10485760;

  CmdTransfer();
  explicit CmdTransfer(ZEPFrame* frame);
  ~CmdTransfer() override;

  // A new incarnation: receive state idle, fresh compression contexts, the
  // default key, checksum checking on, 10485760 bytes per second.
  void Init(bool reset, ZEPFrame* frame);
  void Fini(bool reset);

  // Builds one frame and sends it on `fd` through the frame. A non-null
  // `data` with len 0 is taken as a zero-terminated text. 0 when the whole
  // frame was written; -1 when nothing was sent (len above 4096, encoding 1
  // or unknown, compression failure) or the write failed.
  int SendCmd(int fd, unsigned long seq, unsigned short code, const char* data, unsigned short len,
              int encoding);
  // Consumes the data of a TCP event. Returns the next decoded frame, valid
  // until two more frames completed, or null. When bytes of another frame
  // follow in the event, the event goes back to the head of this node's queue
  // with its offset moved past the frame. A length that cannot be a frame
  // makes IsRecvBroken() true: the connection's byte stream is lost.
  GeneralCmd_* GetCmd(CTCPEvent* ev);
  bool IsRecvBroken() const { return m_bRecvBroken; }

  void InitGetCmd();
  // Fresh compression contexts on both sides (a new connection).
  void InitZlibStream();
  // Releases them; compressed frames fail until InitZlibStream.
  void FIniZlibStream();

  void SetDesKey(const unsigned char* key);
  void SetShouldCheckSum(bool on) { m_Decoder.SetCheckSum(on); }
  // Stored only: the streams run at zlib's default level.
  void SetZipLevel(int level) { m_nZipLevel.store(level); }
  int GetZipLevel() const { return m_nZipLevel.load(); }
  void SetBandwidth(unsigned bytesPerSecond);
  static void SetTotalBandwidth(unsigned bytesPerSecond);

  // Counts `bytes` in this second's budgets (the object's, and the
  // process-wide one when a total limit is set); when either is spent,
  // sleeps until the next second begins and counts them there. 1 when it
  // waited, else 0.
  int CheckOverload(unsigned bytes) EXCLUDES(m_BandwidthMutex, m_nTotalBandwidthMutex);

  static unsigned short checksum(const unsigned short* p, int len) {
    return ZEPCmdChecksum(p, len);
  }

  static const char kPropSep = '\x01';

  // Appends key=value. Nothing is written, and -1 returned, when key or value
  // is null, when the key contains "=" or 0x01, or when the value contains
  // 0x01: such a property would corrupt the message or smuggle in another
  // property (a user name "x\x01OK=Y" must not become a second key). A value
  // is read up to its first zero byte, as every const char* is. Returns 0
  // when the property was added. An empty value is written as key "=".
  static int AddCmdProp(ZEPString& msg, const char* key, const char* value);
  // The same for a ZEPString value: a null string adds nothing (returns -1)
  // and a value holding a zero byte is refused like one holding 0x01.
  static int AddCmdProp(ZEPString& msg, const char* key, const ZEPString& value);

  // Value of the first property named `key`: a null string when the key is
  // null, the message empty, or the property absent; "" for an empty value.
  // The search stops at the first zero byte of the message.
  static ZEPString GetCmdProp(const ZEPString& msg, const char* key);
  // The same over raw bytes, for callers holding a received buffer.
  static ZEPString GetCmdProp(const char* msg, uint32_t len, const char* key);

 private:
  void ResetState();
  // Counts `bytes` in the process-wide budget; true when its second is spent.
  static bool ChargeTotal(unsigned bytes, unsigned limit, int64_t nowSec)
      EXCLUDES(m_nTotalBandwidthMutex);

  Mutex m_SendMutex ACQUIRED_BEFORE(m_BandwidthMutex);  // whole frames
  ZEPCmdEncoder m_Encoder GUARDED_BY(m_SendMutex);
  alignas(8) char m_SendBuf[kGeneralCmdSize] GUARDED_BY(m_SendMutex);
  ZEPCmdDecoder m_Decoder;  // node thread only
  bool m_bRecvBroken = false;
  std::atomic<int> m_nZipLevel{6};

  Mutex m_BandwidthMutex ACQUIRED_BEFORE(m_nTotalBandwidthMutex);
  ZEPByteBudget m_TxBudget GUARDED_BY(m_BandwidthMutex);
  std::atomic<unsigned> m_nBandwidth{10485760};

  static std::atomic<unsigned> m_nTotalBandwidth;
  static Mutex m_nTotalBandwidthMutex;
  // The bytes of every object in the current second.
  static ZEPByteBudget m_nTotalTxSize GUARDED_BY(m_nTotalBandwidthMutex);
};

#endif  // ZEP_CMD_CMDTRANSFER_H
