#include "base/zepd3des.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace {

using Block = std::array<unsigned char, 8>;

Block FromHex(const char* hex) {
  Block b{};
  for (int i = 0; i < 8; ++i) {
    b[i] = static_cast<unsigned char>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
  }
  return b;
}

Block FromU64(uint64_t v) {
  Block b{};
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
  return b;
}

std::string ToHex(const unsigned char* p, int n) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

unsigned char ReverseBits(unsigned char c) {
  unsigned char r = 0;
  for (int i = 0; i < 8; ++i) r = static_cast<unsigned char>(r | (((c >> i) & 1) << (7 - i)));
  return r;
}

// Published vectors use the standard key bit order; our cipher reads each key
// byte least significant bit first, so a standard key is given to it with
// every byte bit-reversed.
Block OurKey(const Block& standardKey) {
  Block k{};
  for (int i = 0; i < 8; ++i) k[i] = ReverseBits(standardKey[i]);
  return k;
}

Block Transform(const Block& standardKey, const Block& in, int edf) {
  ZEPd3des d;
  d.deskey(OurKey(standardKey).data(), edf);
  Block out{};
  d.des(in.data(), out.data());
  return out;
}

Block Encrypt(const Block& key, const Block& in) { return Transform(key, in, ZEPd3des::EN0); }
Block Decrypt(const Block& key, const Block& in) { return Transform(key, in, ZEPd3des::DE1); }

// NIST SP 800-17 table B.1 (variable plaintext, key 01..01): the ciphertext of
// the block with only bit i set, i = 0 (most significant) .. 63.
const char* const kVarPlain[64] = {
    "95f8a5e5dd31d900", "dd7f121ca5015619", "2e8653104f3834ea", "4bd388ff6cd81d4f",
    "20b9e767b2fb1456", "55579380d77138ef", "6cc5defaaf04512f", "0d9f279ba5d87260",
    "d9031b0271bd5a0a", "424250b37c3dd951", "b8061b7ecd9a21e5", "f15d0f286b65bd28",
    "add0cc8d6e5deba1", "e6d5f82752ad63d1", "ecbfe3bd3f591a5e", "f356834379d165cd",
    "2b9f982f20037fa9", "889de068a16f0be6", "e19e275d846a1298", "329a8ed523d71aec",
    "e7fce22557d23c97", "12a9f5817ff2d65d", "a484c3ad38dc9c19", "fbe00a8a1ef8ad72",
    "750d079407521363", "64feed9c724c2faf", "f02b263b328e2b60", "9d64555a9a10b852",
    "d106ff0bed5255d7", "e1652c6b138c64a5", "e428581186ec8f46", "aeb5f5ede22d1a36",
    "e943d7568aec0c5c", "df98c8276f54b04b", "b160e4680f6c696f", "fa0752b07d9c4ab8",
    "ca3a2b036dbc8502", "5e0905517bb59bcf", "814eeb3b91d90726", "4d49db1532919c9f",
    "25eb5fc3f8cf0621", "ab6a20c0620d1c6f", "79e90dbc98f92cca", "866ecedd8072bb0e",
    "8b54536f2f3e64a8", "ea51d3975595b86b", "caffc6ac4542de31", "8dd45a2ddf90796c",
    "1029d55e880ec2d0", "5d86cb23639dbea9", "1d1ca853ae7c0c5f", "ce332329248f3228",
    "8405d1abe24fb942", "e643d78090ca4207", "48221b9937748a23", "dd7c0bbd61fafd54",
    "2fbc291a570db5c4", "e07c30d7e4e26e12", "0953e2258e8e90a1", "5b711bc4ceebf2ee",
    "cc083f1e6d9e85f6", "d2fd8867d50d2dfe", "06e7ea22ce92708f", "166b40b44aba4bd6"};

// NIST SP 800-17 table B.2 (variable key, plaintext zero): the ciphertext
// under the key 01..01 with one more non-parity bit set, in key bit order
// (byte 0 bit 0x80 first, parity bits skipped).
const char* const kVarKey[56] = {
    "95a8d72813daa94d", "0eec1487dd8c26d5", "7ad16ffb79c45926", "d3746294ca6a6cf3",
    "809f5f873c1fd761", "c02faffec989d1fc", "4615aa1d33e72f10", "2055123350c00858",
    "df3b99d6577397c8", "31fe17369b5288c9", "dfdd3cc64dae1642", "178c83ce2b399d94",
    "50f636324a9b7f80", "a8468ee3bc18f06d", "a2dc9e92fd3cde92", "cac09f797d031287",
    "90ba680b22aeb525", "ce7a24f350e280b6", "882bff0aa01a0b87", "25610288924511c2",
    "c71516c29c75d170", "5199c29a52c9f059", "c22f0a294a71f29f", "ee371483714c02ea",
    "a81fbd448f9e522f", "4f644c92e192dfed", "1afa9a66a6df92ae", "b3c1cc715cb879d8",
    "19d032e64ab0bd8b", "3cfaa7a7dc8720dc", "b7265f7f447ac6f3", "9db73b3c0d163f54",
    "8181b65babf4a975", "93c9b64042eaa240", "5570530829705592", "8638809e878787a0",
    "41b9a79af79ac208", "7a9be42f2009a892", "29038d56ba6d2745", "5495c6abf1e5df51",
    "ae13dbd561488933", "024d1ffa8904e389", "d1399712f99bf02e", "14c1d7c1cffec79e",
    "1de5279dae3bed6f", "e941a33f85501303", "da99dbbc9a03f379", "b7fc92f91d8e92e9",
    "ae8e5caa3ca04e85", "9cc62df43b6eed74", "d863dbb5c59a91a0", "a1ab2190545b91d7",
    "0875041e64c570f7", "5a594528bebef1cc", "fcdb3291de21f0c0", "869efd7f9f265a09"};

TEST(ZepDesKnownAnswer, Fips81EcbExample) {
  const Block key = FromHex("0123456789abcdef");
  const char* plain = "Now is the time for all ";
  const char* expected[3] = {"3fa40e8a984d4815", "6a271787ab8883f9", "893d51ec4b563b53"};
  for (int b = 0; b < 3; ++b) {
    Block in{};
    std::memcpy(in.data(), plain + 8 * b, 8);
    Block out = Encrypt(key, in);
    EXPECT_EQ(ToHex(out.data(), 8), expected[b]) << "block " << b;
    EXPECT_EQ(Decrypt(key, out), in) << "block " << b;
  }
}

TEST(ZepDesKnownAnswer, SampleRoundKeyVector) {
  EXPECT_EQ(ToHex(Encrypt(FromHex("10316e028c8f3b4a"), Block{}).data(), 8), "82dcbafbdeab6602");
}

TEST(ZepDesKnownAnswer, VariablePlaintextTable) {
  const Block key = FromHex("0101010101010101");
  for (int i = 0; i < 64; ++i) {
    Block in = FromU64(uint64_t{1} << (63 - i));
    Block out = Encrypt(key, in);
    EXPECT_EQ(ToHex(out.data(), 8), kVarPlain[i]) << "plaintext bit " << i;
    EXPECT_EQ(Decrypt(key, out), in) << "plaintext bit " << i;
  }
}

TEST(ZepDesKnownAnswer, VariableKeyTable) {
  int row = 0;
  for (int bit = 0; bit < 64; ++bit) {
    if (bit % 8 == 7) continue;  // parity bit
    Block key = FromHex("0101010101010101");
    key[bit / 8] = static_cast<unsigned char>(key[bit / 8] | (0x80 >> (bit % 8)));
    Block out = Encrypt(key, Block{});
    EXPECT_EQ(ToHex(out.data(), 8), kVarKey[row]) << "key bit " << bit;
    EXPECT_EQ(Decrypt(key, out), Block{}) << "key bit " << bit;
    ++row;
  }
  EXPECT_EQ(row, 56);
}

// Alternating encryption and decryption, each under a key equal to the
// current block, catches any single fault in the tables or the schedule.
TEST(ZepDesKnownAnswer, AlternatingChainReachesPublishedValue) {
  Block x = FromHex("9474b8e8c73bca7d");
  for (int i = 0; i < 16; ++i) x = (i % 2 == 0) ? Encrypt(x, x) : Decrypt(x, x);
  EXPECT_EQ(ToHex(x.data(), 8), "1b1a2ddb4c642438");
}

TEST(ZepDesKeyConvention, ParityPositionIsTheMostSignificantBit) {
  // In our order the standard parity bits sit in the top bit of each byte,
  // so flipping them must not change the result; flipping a low bit must.
  ZEPd3des a;
  ZEPd3des b;
  ZEPd3des c;
  const unsigned char k1[8] = {0x3A, 0xC1, 0x77, 0x05, 0xE9, 0x12, 0x8D, 0x64};
  unsigned char k2[8];
  unsigned char k3[8];
  for (int i = 0; i < 8; ++i) {
    k2[i] = static_cast<unsigned char>(k1[i] ^ 0x80);
    k3[i] = k1[i];
  }
  k3[0] ^= 0x01;
  a.deskey(k1, ZEPd3des::EN0);
  b.deskey(k2, ZEPd3des::EN0);
  c.deskey(k3, ZEPd3des::EN0);
  const unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  unsigned char oa[8], ob[8], oc[8];
  a.des(in, oa);
  b.des(in, ob);
  c.des(in, oc);
  EXPECT_EQ(0, std::memcmp(oa, ob, 8));
  EXPECT_NE(0, std::memcmp(oa, oc, 8));
}

TEST(ZepDesRoundTrip, RandomKeysAndBlocksInPlace) {
  std::mt19937_64 rng(12345);
  for (int n = 0; n < 500; ++n) {
    Block key = FromU64(rng());
    Block plain = FromU64(rng());
    ZEPd3des en;
    ZEPd3des de;
    en.deskey(key.data(), ZEPd3des::EN0);
    de.deskey(key.data(), ZEPd3des::DE1);
    Block buf = plain;
    en.des(buf.data(), buf.data());  // in and out may be the same buffer
    ASSERT_NE(buf, plain);
    de.des(buf.data(), buf.data());
    ASSERT_EQ(buf, plain) << "key " << ToHex(key.data(), 8);
  }
}

TEST(ZepDesSchedule, CopyAndLoadCarryTheKey) {
  ZEPd3des a;
  ZEPd3des b;
  const unsigned char key[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  a.deskey(key, ZEPd3des::EN0);
  uint32_t sched[32];
  a.cpkey(sched);
  b.usekey(sched);
  const unsigned char in[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  unsigned char oa[8], ob[8];
  a.des(in, oa);
  b.des(in, ob);
  EXPECT_EQ(0, std::memcmp(oa, ob, 8));
}

}  // namespace
