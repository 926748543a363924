// The command frame decoder fed a byte stream in chunks of any size.
// Properties: Feed never takes more than it was given and always makes
// progress; a decoded frame is consistent (length = header + data, data
// within 4096 bytes and followed by a zero); a broken stream uses everything
// and leaves the decoder idle. And the codec inverts: frames encoded in every
// encoding (plain, deflate stream, DES, both) and cut into arbitrary chunks
// decode to the same codes, sequence numbers and data, in order.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cmd/cmdframe.h"
#include "fuzz_util.h"

namespace {

struct Decoded {
  uint16_t code;
  uint32_t seq;
  std::string data;
};

// Feeds `stream` in chunks whose sizes come from `sizes`; collects frames.
std::vector<Decoded> FeedAll(ZEPCmdDecoder& dec, const std::string& stream, fuzzutil::Reader& sizes,
                             int* broken) {
  std::vector<Decoded> frames;
  size_t pos = 0;
  while (pos < stream.size()) {
    // Once the sizes run out, the rest goes in one piece.
    size_t chunk = sizes.Left() > 0 ? 1 + sizes.Word() % 5000 : stream.size() - pos;
    if (chunk > stream.size() - pos) chunk = stream.size() - pos;
    // Each chunk in a heap block of its own size: a read past it is caught.
    std::vector<char> piece(stream.begin() + static_cast<long>(pos),
                            stream.begin() + static_cast<long>(pos + chunk));
    size_t off = 0;
    while (off < piece.size()) {
      int used = -1;
      const int n = static_cast<int>(piece.size() - off);
      const int rc = dec.Feed(piece.data() + off, n, &used);
      FUZZ_CHECK(used > 0 && used <= n);
      if (rc == ZEPCmdDecoder::kNeedMore) FUZZ_CHECK(used == n);
      if (rc == ZEPCmdDecoder::kBroken) {
        FUZZ_CHECK(used == n && dec.IsIdle());
        ++*broken;
      }
      if (rc == ZEPCmdDecoder::kFrame) {
        const GeneralCmd_* f = dec.Frame();
        FUZZ_CHECK(f != nullptr);
        FUZZ_CHECK(f->m_nPayload <= kCmdMaxData);
        FUZZ_CHECK(f->m_nLength == kCmdHeaderSize + f->m_nPayload);
        FUZZ_CHECK(f->m_Data[f->m_nPayload] == '\0');
        frames.push_back({f->m_nCode, f->m_nSeq, std::string(f->m_Data, f->m_nPayload)});
      }
      off += static_cast<size_t>(used);
    }
    pos += chunk;
  }
  return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Reader in(data, size);
  const uint8_t mode = in.Byte();
  ZEPCmdDecoder dec;
  if (mode & 1) {
    // Any bytes: the first part is the stream, the rest the chunk sizes.
    dec.SetCheckSum((mode & 2) == 0);
    const std::string stream = in.Bytes(in.Word());
    int broken = 0;
    FeedAll(dec, stream, in, &broken);
    return 0;
  }
  ZEPCmdEncoder enc;
  if (mode & 2) {
    unsigned char key[8];
    for (unsigned char& k : key) k = in.Byte();
    enc.SetKey(key);
    dec.SetKey(key);
  }
  std::vector<Decoded> sent;
  std::string stream;
  std::vector<char> out(kGeneralCmdSize);
  for (int i = 0; i < 16 && in.Left() > 0; ++i) {
    const uint8_t head = in.Byte();
    static const int kEncodings[] = {CTT_PLAIN, CTT_ZIP, CTT_DES, CTT_ZIP_DES};
    const int encoding = kEncodings[head & 3];
    const uint16_t code = in.Word();
    const uint32_t seq = static_cast<uint32_t>(in.Word()) << 16 | in.Word();
    std::string payload = in.Bytes(in.Word() % (kCmdMaxData + 1));
    if (head & 4) payload.assign(in.Word() % (kCmdMaxData + 1), static_cast<char>(head));
    std::vector<char> exact = fuzzutil::Exact(payload);
    const int n = enc.Encode(seq, code, exact.empty() ? nullptr : exact.data(),
                             static_cast<uint16_t>(exact.size()), encoding, out.data());
    FUZZ_CHECK(n >= kCmdHeaderSize && n <= kGeneralCmdSize);
    stream.append(out.data(), static_cast<size_t>(n));
    sent.push_back({code, seq, payload});
  }
  int broken = 0;
  const std::vector<Decoded> got = FeedAll(dec, stream, in, &broken);
  FUZZ_CHECK(broken == 0);
  FUZZ_CHECK(dec.IsIdle());
  FUZZ_CHECK(got.size() == sent.size());
  for (size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(got[i].code == sent[i].code && got[i].seq == sent[i].seq);
    FUZZ_CHECK(got[i].data == sent[i].data);
  }
  return 0;
}
