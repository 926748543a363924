#include "cmd/cmdframe.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/logcapture.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Encode(ZEPCmdEncoder& enc, uint32_t seq, uint16_t code, const std::string& data,
             int encoding) {
  char out[kGeneralCmdSize];
  int n = enc.Encode(seq, code, data.data(), static_cast<uint16_t>(data.size()), encoding, out);
  if (n < 0) return Bytes();
  return Bytes(out, out + n);
}

std::string Data(const GeneralCmd_* c) { return std::string(c->m_Data, c->m_nPayload); }

// Feeds `b` whole and returns what the decoder made of it.
int FeedAll(ZEPCmdDecoder& dec, const Bytes& b, int* used = nullptr) {
  int u = 0;
  int rc = dec.Feed(reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()), &u);
  if (used) *used = u;
  return rc;
}

// A hand-edited frame gets a valid checksum again, so only the edit is judged.
void Reseal(Bytes& f) {
  f[4] = f[5] = 0;
  uint16_t s = ZEPCmdChecksum(f.data(), static_cast<int>(f.size()));
  std::memcpy(&f[4], &s, 2);
}

std::string Random(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TEST(CmdFrameLayout, AbcPlainIsTheDocumentedNineteenBytes) {
  ZEPCmdEncoder enc;
  Bytes f = Encode(enc, 0x01020304, 0xABCD, "abc", CTT_PLAIN);
  ASSERT_EQ(19u, f.size());
  const Bytes head = {0x00, 0x13, 0xAB, 0xCD};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), f.begin()));
  const Bytes rest = {0x00, 0x03, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x03, 'a', 'b', 'c'};
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), f.begin() + 6));
  // The checksum over the frame including the stored field folds to zero.
  EXPECT_EQ(0, ZEPCmdChecksum(f.data(), 19));
}

TEST(CmdFrameLayout, ChecksumIsTheInternetChecksumInMemoryOrder) {
  // RFC 1071's own example words, laid out big-endian: 00 01 f2 03 f4 f5 f6 f7
  // sum to ddf2, checksum 220d; in memory order the bytes are 22 0d.
  const unsigned char w[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  uint16_t s = ZEPCmdChecksum(w, 8);
  unsigned char b[2];
  std::memcpy(b, &s, 2);
  EXPECT_EQ(0x22, b[0]);
  EXPECT_EQ(0x0d, b[1]);
  // An odd last byte counts as its word with a zero after it.
  const unsigned char odd[] = {0x12, 0x34, 0x56};
  const unsigned char even[] = {0x12, 0x34, 0x56, 0x00};
  EXPECT_EQ(ZEPCmdChecksum(even, 4), ZEPCmdChecksum(odd, 3));
}

TEST(CmdFrameLayout, NineBytesOfDesAreAThirtyTwoByteFrame) {
  ZEPCmdEncoder enc;
  ZEPCmdDecoder dec;
  const std::string nine = "123456789";
  Bytes f = Encode(enc, 7, 100, nine, CTT_DES);
  ASSERT_EQ(32u, f.size());
  EXPECT_EQ(0x00, f[0]);
  EXPECT_EQ(32, f[1]);
  EXPECT_EQ(16, f[7]);  // wire payload length
  EXPECT_EQ(9, f[15]);  // inner length
  // The first block is plain DES-ECB under the default key.
  ZEPd3des des;
  des.deskey(kCmdDefaultKey, ZEPd3des::EN0);
  unsigned char block[8];
  des.des(reinterpret_cast<const unsigned char*>(nine.data()), block);
  EXPECT_EQ(0, std::memcmp(block, &f[16], 8));
  ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, f));
  EXPECT_EQ(nine, Data(dec.Frame()));
  EXPECT_EQ(25, dec.Frame()->m_nLength);
  EXPECT_EQ(7u, dec.Frame()->m_nSeq);
  EXPECT_EQ('\0', dec.Frame()->m_Data[9]);
}

TEST(CmdFrameCodec, EveryEncodingRoundTripsAcrossManyFramesOnOneStream) {
  std::mt19937 rng(12);
  for (int encoding : {CTT_PLAIN, CTT_ZIP, CTT_DES, CTT_ZIP_DES}) {
    ZEPCmdEncoder enc;
    ZEPCmdDecoder dec;
    const size_t sizes[] = {0, 1, 7, 8, 9, 100, 1000, 4095, 4096};
    for (int round = 0; round < 40; ++round) {
      const size_t n = sizes[round % 9];
      // Half text that compresses, half random bytes that do not.
      std::string data = (round % 2) ? Random(rng, n) : std::string(n, 'a' + round % 26);
      Bytes f = Encode(enc, static_cast<uint32_t>(round), 300, data, encoding);
      ASSERT_FALSE(f.empty()) << encoding << " " << n;
      ASSERT_LE(f.size(), static_cast<size_t>(kGeneralCmdSize));
      int used = 0;
      ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, f, &used)) << encoding << " " << round;
      EXPECT_EQ(static_cast<int>(f.size()), used);
      EXPECT_EQ(data, Data(dec.Frame()));
      EXPECT_EQ(encoding, dec.Frame()->m_nEncoding);
      EXPECT_EQ(static_cast<uint32_t>(round), dec.Frame()->m_nSeq);
    }
  }
}

TEST(CmdFrameCodec, CompressedFramesNeedTheirConnectionsContext) {
  for (int encoding : {CTT_ZIP, CTT_ZIP_DES}) {
    ZEPCmdEncoder enc;
    ZEPCmdDecoder dec;
    const std::string text(500, 'q');
    ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, Encode(enc, 0, 5, text, encoding)));
    Bytes second = Encode(enc, 1, 5, text, encoding);
    // A decoder that did not see the first frame cannot read the second...
    ZEPCmdDecoder late;
    EXPECT_EQ(ZEPCmdDecoder::kDiscarded, FeedAll(late, second));
    EXPECT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, second));
    // Without a context nothing compressed goes either way...
    enc.EndStream();
    EXPECT_TRUE(Encode(enc, 2, 5, text, encoding).empty());
    dec.EndStream();
    EXPECT_EQ(ZEPCmdDecoder::kDiscarded, FeedAll(dec, second));
    // ...and a new connection starts both ends afresh.
    enc.ResetStream();
    late.ResetStream();
    ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(late, Encode(enc, 2, 5, text, encoding)));
    EXPECT_EQ(text, Data(late.Frame()));
  }
}

TEST(CmdFrameCodec, KeysMustMatch) {
  const unsigned char other[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ZEPCmdEncoder enc;
  ZEPCmdDecoder dec;
  enc.SetKey(other);
  ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, Encode(enc, 0, 1, "secret!!", CTT_DES)));
  EXPECT_NE("secret!!", Data(dec.Frame()));
  dec.SetKey(other);
  ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, Encode(enc, 0, 1, "secret!!", CTT_DES)));
  EXPECT_EQ("secret!!", Data(dec.Frame()));
}

TEST(CmdFrameCodec, EncoderRefusesWhatItCannotFrame) {
  zeptest::LogCapture log;
  ZEPCmdEncoder enc;
  char out[kGeneralCmdSize];
  std::string big(4097, 'x');
  EXPECT_EQ(-1, enc.Encode(0, 1, big.data(), 4097, CTT_PLAIN, out));
  EXPECT_EQ(-1, enc.Encode(0, 1, "abc", 3, CTT_BAD_ZIP, out));
  EXPECT_EQ(-1, enc.Encode(0, 1, "abc", 3, 5, out));
  EXPECT_EQ(-1, enc.Encode(0, 1, "abc", 3, -1, out));
  EXPECT_EQ(-1, enc.Encode(0, 1, nullptr, 3, CTT_PLAIN, out));
  EXPECT_EQ(16, enc.Encode(0, 1, nullptr, 0, CTT_ZIP_DES, out));
  EXPECT_EQ(1, log.Count("ERRR", "CTT_BAD_ZIP not use anymore!"));
}

TEST(CmdFrameReassembly, FrameSplitAtEveryPointIncludingTheLengthBytes) {
  ZEPCmdEncoder enc;
  for (int encoding : {CTT_PLAIN, CTT_ZIP_DES}) {
    ZEPCmdDecoder dec;
    for (size_t cut = 1; cut < 60; ++cut) {
      Bytes f = Encode(enc, static_cast<uint32_t>(cut), 9, std::string(40, 'k'), encoding);
      ASSERT_LT(cut, f.size() + 1);
      if (cut >= f.size()) break;
      int used = 0;
      EXPECT_EQ(ZEPCmdDecoder::kNeedMore,
                dec.Feed(reinterpret_cast<const char*>(f.data()), static_cast<int>(cut), &used));
      EXPECT_EQ(static_cast<int>(cut), used);
      ASSERT_EQ(ZEPCmdDecoder::kFrame, dec.Feed(reinterpret_cast<const char*>(f.data() + cut),
                                                static_cast<int>(f.size() - cut), &used))
          << cut;
      EXPECT_EQ(std::string(40, 'k'), Data(dec.Frame()));
      EXPECT_TRUE(dec.IsIdle());
    }
    // Byte by byte.
    Bytes f = Encode(enc, 1, 9, "one at a time", encoding);
    for (size_t i = 0; i < f.size(); ++i) {
      int used = 0;
      int rc = dec.Feed(reinterpret_cast<const char*>(&f[i]), 1, &used);
      EXPECT_EQ(1, used);
      EXPECT_EQ(i + 1 == f.size() ? ZEPCmdDecoder::kFrame : ZEPCmdDecoder::kNeedMore, rc);
    }
    EXPECT_EQ("one at a time", Data(dec.Frame()));
  }
}

TEST(CmdFrameReassembly, TwoFramesInOneBufferAndTheAlternatingBuffers) {
  ZEPCmdEncoder enc;
  ZEPCmdDecoder dec;
  Bytes a = Encode(enc, 1, 1, "first", CTT_ZIP);
  Bytes b = Encode(enc, 2, 2, "second", CTT_ZIP);
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  int used = 0;
  ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, both, &used));
  EXPECT_EQ(static_cast<int>(a.size()), used);
  GeneralCmd_* first = dec.Frame();
  ASSERT_EQ(ZEPCmdDecoder::kFrame, dec.Feed(reinterpret_cast<const char*>(both.data() + used),
                                            static_cast<int>(both.size()) - used, &used));
  EXPECT_EQ("second", Data(dec.Frame()));
  // The first frame is still intact while the second is being used.
  EXPECT_EQ("first", Data(first));
  EXPECT_NE(first, dec.Frame());
}

TEST(CmdFrameBadInput, FlippedBitIsDiscardedUnlessCheckingIsOff) {
  ZEPCmdEncoder enc;
  ZEPCmdDecoder dec;
  Bytes f = Encode(enc, 1, 1, "payload", CTT_PLAIN);
  f[18] ^= 0x04;
  EXPECT_EQ(ZEPCmdDecoder::kDiscarded, FeedAll(dec, f));
  EXPECT_TRUE(dec.IsIdle());
  dec.SetCheckSum(false);
  ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, f));
  EXPECT_EQ("pa}load", Data(dec.Frame()));  // y ^ 4
}

TEST(CmdFrameBadInput, UnsyncableLengthsDropTheBytesAndRecover) {
  zeptest::LogCapture log;
  ZEPCmdEncoder enc;
  for (int length : {0, 1, 15, 4241, 65535}) {
    ZEPCmdDecoder dec;
    Bytes junk = {static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length), 1, 2,
                  3};
    int used = 0;
    EXPECT_EQ(ZEPCmdDecoder::kBroken, FeedAll(dec, junk, &used)) << length;
    EXPECT_EQ(5, used);
    EXPECT_TRUE(dec.IsIdle());
    // Split between the two length bytes, too.
    EXPECT_EQ(ZEPCmdDecoder::kNeedMore,
              dec.Feed(reinterpret_cast<const char*>(&junk[0]), 1, &used));
    EXPECT_EQ(ZEPCmdDecoder::kBroken, dec.Feed(reinterpret_cast<const char*>(&junk[1]), 1, &used));
    EXPECT_TRUE(dec.IsIdle());
    ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, Encode(enc, 0, 3, "after", CTT_PLAIN)));
    EXPECT_EQ("after", Data(dec.Frame()));
  }
  EXPECT_EQ(10, log.Count("WARN", "Bad cmd frame length"));
}

TEST(CmdFrameBadInput, InconsistentFramesAreDiscarded) {
  zeptest::LogCapture log;
  ZEPCmdEncoder enc;
  ZEPCmdDecoder dec;
  auto expectDiscard = [&](Bytes f, const char* what) {
    Reseal(f);
    EXPECT_EQ(ZEPCmdDecoder::kDiscarded, FeedAll(dec, f)) << what;
    EXPECT_TRUE(dec.IsIdle()) << what;
  };
  Bytes plain = Encode(enc, 0, 1, "abcdefgh", CTT_PLAIN);
  Bytes f = plain;
  f[7] = 7;  // wire payload length one short
  expectDiscard(f, "wire length");
  f = plain;
  f[15] = 9;  // inner length beyond the payload
  expectDiscard(f, "inner length");
  f = plain;
  f[12] = 5;
  expectDiscard(f, "encoding 5");
  f = plain;
  f[12] = CTT_BAD_ZIP;
  expectDiscard(f, "encoding 1");
  f = plain;
  f[12] = CTT_DES;  // eight bytes, but with an inner length beyond them
  f[15] = 12;
  expectDiscard(f, "DES inner length");
  // A DES payload that is not whole blocks.
  Bytes des = Encode(enc, 0, 1, "123456789", CTT_DES);
  des.pop_back();
  des[1] = static_cast<unsigned char>(des.size());
  des[7] = static_cast<unsigned char>(des.size() - 16);
  expectDiscard(des, "partial block");
  // More plain data than a record may carry (the buffer holds 4224).
  Bytes big = Encode(enc, 0, 1, std::string(4096, 'z'), CTT_PLAIN);
  big.insert(big.end(), 128, 'z');
  big[0] = static_cast<unsigned char>(big.size() >> 8);
  big[1] = static_cast<unsigned char>(big.size());
  big[6] = static_cast<unsigned char>((big.size() - 16) >> 8);
  big[7] = static_cast<unsigned char>(big.size() - 16);
  expectDiscard(big, "4224 bytes of data");
  // Nothing of the above disturbed the stream.
  ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, plain));
  const std::string refused = "CTT_BAD_ZIP not use anymore";
  EXPECT_EQ(1, log.Count("ERRR", refused));
  EXPECT_EQ(0, log.Count("ERRR", refused + "!"));  // the receiving side's text has no "!"
}

// Builds an encoding-2 frame around a record of our own making.
Bytes ZipFrame(const std::string& record) {
  z_stream z{};
  deflateInit(&z, Z_DEFAULT_COMPRESSION);
  std::vector<unsigned char> out(20000);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(record.data()));
  z.avail_in = static_cast<uInt>(record.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_SYNC_FLUSH);
  const size_t k = out.size() - z.avail_out;
  deflateEnd(&z);
  Bytes f(16, 0);
  f[0] = static_cast<unsigned char>((16 + k) >> 8);
  f[1] = static_cast<unsigned char>(16 + k);
  f[6] = static_cast<unsigned char>(k >> 8);
  f[7] = static_cast<unsigned char>(k);
  f[12] = CTT_ZIP;
  f.insert(f.end(), out.begin(), out.begin() + static_cast<long>(k));
  Reseal(f);
  return f;
}

TEST(CmdFrameBadInput, InflatedRecordsMustAgreeWithTheirPrefixAndFit) {
  zeptest::LogCapture log;
  const std::string ok = std::string("\x03\x00", 2) + "abc";
  {
    ZEPCmdDecoder dec;
    ASSERT_EQ(ZEPCmdDecoder::kFrame, FeedAll(dec, ZipFrame(ok)));
    EXPECT_EQ("abc", Data(dec.Frame()));
  }
  const std::string longer = std::string("\x09\x00", 2) + "abc";
  const std::string shorter = std::string("\x01\x00", 2) + "abc";
  // 8000 bytes inflate from a small payload but would overrun the record.
  const std::string bomb = std::string("\x40\x1f", 2) + std::string(8000, 'b');
  for (const std::string& rec : {longer, shorter, bomb, std::string("\x01", 1)}) {
    ZEPCmdDecoder dec;
    Bytes f = ZipFrame(rec);
    if (f.size() > static_cast<size_t>(kGeneralCmdSize)) continue;
    EXPECT_EQ(ZEPCmdDecoder::kDiscarded, FeedAll(dec, f)) << rec.size();
  }
  EXPECT_EQ(4, log.Count("ERRR", "Cannot uncompress cmd!"));
}

// Random streams, mutated valid streams and random chunking: the decoder
// always makes progress, never reports more data than a record holds, and
// never reads outside what it was given (the sanitizer builds watch that).
TEST(CmdFrameFuzz, AnyByteStreamInAnyChunksIsHandled) {
  std::mt19937 rng(2024);
  ZEPCmdEncoder enc;
  for (int round = 0; round < 300; ++round) {
    ZEPCmdDecoder dec;
    dec.SetCheckSum(round % 3 != 0);
    Bytes stream;
    for (int i = 0; i < 4; ++i) {
      Bytes f = Encode(enc, i, 8, Random(rng, rng() % 300), static_cast<int>(rng() % 5));
      stream.insert(stream.end(), f.begin(), f.end());
    }
    if (round % 2) {
      for (int flips = 1 + rng() % 8; flips > 0 && !stream.empty(); --flips)
        stream[rng() % stream.size()] ^= static_cast<unsigned char>(1u << (rng() % 8));
    } else if (round % 4 == 0) {
      Bytes junk(rng() % 6000);
      for (auto& c : junk) c = static_cast<unsigned char>(rng());
      stream = junk;
    }
    size_t pos = 0;
    while (pos < stream.size()) {
      // Copied so that a read past the chunk lands outside its allocation.
      const size_t chunk = std::min<size_t>(1 + rng() % 1500, stream.size() - pos);
      std::vector<char> piece(stream.begin() + static_cast<long>(pos),
                              stream.begin() + static_cast<long>(pos + chunk));
      int used = 0;
      int rc = dec.Feed(piece.data(), static_cast<int>(chunk), &used);
      ASSERT_GT(used, 0);
      ASSERT_LE(used, static_cast<int>(chunk));
      if (rc == ZEPCmdDecoder::kFrame) {
        ASSERT_LE(dec.Frame()->m_nPayload, kCmdMaxData);
        ASSERT_EQ('\0', dec.Frame()->m_Data[dec.Frame()->m_nPayload]);
      }
      pos += static_cast<size_t>(used);
    }
  }
}

}  // namespace
