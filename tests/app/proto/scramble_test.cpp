#include "app/proto/scramble.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/zepstring_text.h"

namespace {

class GlobalTest : public ::testing::Test {
 protected:
  void SetUp() override { InitDes(g_CredentialKey); }
};

using zeptest::Str;

bool AllInAlphabet(const ZEPString& s) {
  for (uint32_t i = 0; i < s.GetLength(); ++i) {
    if (std::strchr(ReadableChar, s.GetText()[i]) == nullptr || s.GetText()[i] == '\0')
      return false;
  }
  return true;
}

std::string Decode(const std::string& text) {
  std::vector<char> out(OriginalLength(text.size()) + 1, 'x');
  size_t count = 99;
  EXPECT_EQ(0, ToOriginal(text.data(), text.size(), out.data(), count));
  EXPECT_EQ(count, OriginalLength(text.size()));
  EXPECT_EQ(out[count], '\0');
  return std::string(out.data(), count);
}

// ---------------------------------------------------------------- encoding

TEST(ReadableEncoding, KnownTextsBothWays) {
  const struct {
    std::string bytes;
    const char* text;
  } kCases[] = {
      {std::string("\x00\x10\x83", 3), "abcd"},
      {"\xff", "_W"},
      {"", ""},
  };
  for (const auto& c : kCases) {
    char out[8];
    ASSERT_EQ(0, ToReadable(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                            static_cast<int>(c.bytes.size()), out))
        << c.text;
    EXPECT_STREQ(out, c.text);
    EXPECT_EQ(Decode(c.text), c.bytes) << c.text;
  }
  char out[8];
  EXPECT_EQ(-1, ToReadable(nullptr, 1, out));
  EXPECT_EQ(Decode("abcde").size(), 4u);
  // A lone last character fills the top six bits of one more byte.
  EXPECT_EQ(Decode("_"), std::string("\xfc", 1));
}

TEST(ReadableEncoding, ZeroTerminatedFormAndNullArguments) {
  char out[8] = "zzzzzzz";
  int count = 42;
  EXPECT_EQ(-1, ToOriginal(nullptr, out, count));
  EXPECT_EQ(-1, ToOriginal("abcd", nullptr, count));
  EXPECT_EQ(count, 42);
  EXPECT_STREQ(out, "zzzzzzz");
  ASSERT_EQ(0, ToOriginal("abcd", out, count));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(0, std::memcmp(out, "\x00\x10\x83\x00", 4));
}

TEST(ReadableEncoding, LengthsAndRoundTripForEveryLength) {
  std::mt19937 rng(7);
  for (int len = 0; len <= 70; ++len) {
    std::vector<unsigned char> data(len);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    std::vector<char> text(ReadableLength(len) + 1);
    ASSERT_EQ(0, ToReadable(data.data(), len, text.data()));
    ASSERT_EQ(std::strlen(text.data()), static_cast<size_t>((len * 8 + 5) / 6)) << len;
    EXPECT_EQ(Decode(text.data()), std::string(data.begin(), data.end())) << len;
  }
}

TEST(ReadableEncoding, OutsideAlphabetCountsAsZero) {
  const std::string hostile("\xff\x80=\x01\x00 ", 6);
  EXPECT_EQ(Decode(hostile), Decode("aaaaaa"));
  EXPECT_EQ(Decode(hostile), std::string(4, '\0'));
}

// Each character of the alphabet alone stands for its own place: a wrong
// entry of the decoding table shows here for certain, not only when a random
// text happens to hold it.
TEST(ReadableEncoding, EveryAlphabetCharacterDecodesToItsPlace) {
  for (int k = 0; k < 64; ++k) {
    const std::string text(1, ReadableChar[k]);
    EXPECT_EQ(Decode(text), std::string(1, static_cast<char>(k << 2))) << text;
    EXPECT_EQ(Decode(text + text), std::string(1, static_cast<char>(k << 2 | k >> 4))) << text;
  }
  EXPECT_TRUE(g_bInitOriginalChar.load());
}

TEST(GetBitsTest, ReadsAcrossBytesAndStopsAtEnd) {
  const char data[2] = {static_cast<char>(0xA5), static_cast<char>(0x3C)};  // 10100101 00111100
  int pos = 0;
  int bit = 0;
  unsigned char v = 0;
  ASSERT_EQ(0, GetBits(data, 2, pos, bit, 6, v));
  EXPECT_EQ(v, 0x29);  // 101001
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(bit, 6);
  ASSERT_EQ(0, GetBits(data, 2, pos, bit, 6, v));
  EXPECT_EQ(v, 0x13);  // 01 0011
  EXPECT_EQ(pos, 1);
  EXPECT_EQ(bit, 4);
  ASSERT_EQ(0, GetBits(data, 2, pos, bit, 6, v));
  EXPECT_EQ(v, 0x30);  // 1100 + two missing zero bits
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(bit, 2);
  EXPECT_EQ(-1, GetBits(data, 2, pos, bit, 6, v));
  pos = 0;
  bit = 0;
  EXPECT_EQ(-1, GetBits(data, 2, pos, bit, 9, v));
  bit = 8;
  EXPECT_EQ(-1, GetBits(data, 2, pos, bit, 1, v));
  pos = -1;
  bit = 0;
  EXPECT_EQ(-1, GetBits(data, 2, pos, bit, 1, v));
  pos = 0;
  ASSERT_EQ(0, GetBits(data, 2, pos, bit, 8, v));
  EXPECT_EQ(v, 0xA5);
  EXPECT_EQ(pos, 1);
  EXPECT_EQ(bit, 0);
}

// ------------------------------------------------------------- scrambling

// Computed independently (a standard DES with the key bytes bit-reversed,
// then base64 with our alphabet): pins the key, the cipher and the encoding.
TEST_F(GlobalTest, ScramblesKnownCredentials) {
  ZEPString out;
  EnAString(ZEPString("user"), out);
  EXPECT_EQ(Str(out), "6Vb0O7HoVGi");
  EnAString(ZEPString("pass"), out);
  EXPECT_EQ(Str(out), "jTBTYARDaBi");
  ZEPString in("6Vb0O7HoVGi");
  DeAString(in, in);  // in place
  EXPECT_EQ(Str(in), "user");
}

TEST_F(GlobalTest, EmptyInAndOut) {
  ZEPString out("junk");
  EXPECT_EQ(0, EnAString(ZEPString(""), out));
  EXPECT_TRUE(out == "");
  out = "junk";
  EXPECT_EQ(0, DeAString(ZEPString(""), out));
  EXPECT_TRUE(out == "");
  out = "junk";
  EXPECT_EQ(0, DeAString(ZEPString(), out));
  EXPECT_TRUE(out == "");
}

TEST_F(GlobalTest, OutputLengthPerBlockCountAndRoundTrip) {
  std::mt19937 rng(3);
  for (int len = 1; len <= 40; ++len) {
    std::string plain;
    for (int i = 0; i < len; ++i) plain += static_cast<char>('!' + rng() % 90);
    ZEPString s(plain.c_str());
    ASSERT_EQ(0, EnAString(s, s));  // in place
    const size_t blocks = (len + 7) / 8;
    EXPECT_EQ(s.GetLength(), ReadableLength(blocks * 8)) << len;
    const uint32_t documented[] = {0, 11, 22, 32};
    if (blocks <= 3) {
      EXPECT_EQ(s.GetLength(), documented[blocks]) << len;
    }
    EXPECT_TRUE(AllInAlphabet(s));
    ASSERT_EQ(0, DeAString(s, s));
    EXPECT_EQ(Str(s), plain) << len;
  }
}

TEST_F(GlobalTest, PlainTextIsCutAtItsFirstZeroByte) {
  ZEPString scrambled;
  EnAString("ab\0cdefghij", 11, scrambled);
  ZEPString out;
  DeAString(scrambled, out);
  EXPECT_EQ(Str(out), "ab");
}

TEST_F(GlobalTest, LongTextRoundTripsWithoutLimit) {
  std::string plain;
  for (int i = 0; i < 9000; ++i) plain += static_cast<char>('a' + i % 26);
  ZEPString s(plain.c_str());
  EnAString(s, s);
  EXPECT_EQ(s.GetLength(), 12000u);
  DeAString(s, s);
  EXPECT_EQ(Str(s), plain);
}

TEST_F(GlobalTest, TruncatedTextYieldsTheWholeBlocksItStillHolds) {
  const std::string plain = "0123456789abcdefGHIJKLMN";  // three blocks
  ZEPString s(plain.c_str());
  EnAString(s, s);
  ASSERT_EQ(s.GetLength(), 32u);
  for (uint32_t cut = 0; cut <= s.GetLength(); ++cut) {
    ZEPString out;
    ASSERT_EQ(0, DeAString(s.GetText(), cut, out)) << cut;
    EXPECT_LE(out.GetLength(), (OriginalLength(cut) + 7) / 8 * 8);
    const size_t whole = OriginalLength(cut) / 8 * 8;
    // Decrypting the trailing partial block may yield anything, but the
    // complete blocks before it come back exactly.
    EXPECT_EQ(Str(out).substr(0, whole), plain.substr(0, whole)) << cut;
  }
}

TEST_F(GlobalTest, AnyBytesUnscrambleToADefinedResult) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 300; ++round) {
    size_t len = (round < 10) ? 4096 + round * 997 : rng() % 300;
    // Exactly sized heap buffer, no terminator: an over-read trips ASan.
    std::vector<char> text(len);
    for (auto& c : text) c = static_cast<char>(rng());
    ZEPString out;
    ASSERT_EQ(0, DeAString(text.data(), text.size(), out));
    EXPECT_LE(out.GetLength(), (OriginalLength(len) + 7) / 8 * 8);
    EXPECT_EQ(std::memchr(out.GetSafeText(), 0, out.GetLength()), nullptr);
    ZEPString again;
    DeAString(text.data(), text.size(), again);
    EXPECT_TRUE(again == out);  // deterministic
  }
}

TEST_F(GlobalTest, ConcurrentFirstDecodesAgree) {
  // Each test runs in its own process, so here the inverse table is built by
  // whichever of these threads comes first (a race would show under TSan).
  ZEPString scrambled;
  EnAString(ZEPString("concurrent"), scrambled);
  const std::string text = Str(scrambled);
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&text, &results, t] {
      ZEPString out;
      DeAString(text.data(), text.size(), out);
      results[t] = Str(out);
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, "concurrent");
}

// ------------------------------------------------------- older password form

std::string AllBytes() {
  std::string s;
  for (int b = 1; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

// The alphabets' shape is checked where they are defined; what matters here
// is that every rotation hides the text, and each in its own way: a rotation
// that is ignored or wraps onto another shows as two equal bodies.
TEST(OlderPasswordForm, EveryRotationHidesThePlainTextDifferently) {
  const std::string plain = AllBytes();
  std::set<std::string> bodies;
  std::vector<char> enc(plain.size() + 2);
  for (long r = 0; r < 255; ++r) {
    ASSERT_EQ(0, EncryptStringRot(plain.c_str(), enc.data(), r));
    const std::string body(enc.data() + 1);
    ASSERT_EQ(body.size(), plain.size()) << r;
    EXPECT_NE(body, plain) << "rotation " << r << " leaves the text in clear";
    EXPECT_TRUE(bodies.insert(body).second) << "rotation " << r << " repeats an earlier one";
  }
}

TEST(OlderPasswordForm, EveryRotationRoundTripsEveryByte) {
  const std::string plain = AllBytes();
  std::vector<char> enc(plain.size() + 2);
  std::vector<char> dec(plain.size() + 2);
  for (long r = 0; r < 255; ++r) {
    ASSERT_EQ(0, EncryptStringRot(plain.c_str(), enc.data(), r));
    EXPECT_EQ(static_cast<unsigned char>(enc[0]), IN_STRING[r]);
    ASSERT_EQ(std::strlen(enc.data()), plain.size() + 1);
    ASSERT_EQ(0, DecryptString(enc.data(), dec.data()));
    ASSERT_EQ(std::string(dec.data()), plain) << r;
  }
}

TEST(OlderPasswordForm, TimeRotatedFormRoundTrips) {
  char enc[16];
  char dec[16];
  ASSERT_EQ(0, EncryptString("secret", enc));
  ASSERT_EQ(0, DecryptString(enc, dec));
  EXPECT_STREQ(dec, "secret");
}

TEST(OlderPasswordForm, EmptyOrUnknownFirstByte) {
  char dec[4] = "zz";
  EXPECT_EQ(-1, DecryptString("", dec));
  EXPECT_STREQ(dec, "");
  EXPECT_EQ(-1, DecryptString(nullptr, dec));
}

TEST(OlderPasswordForm, ScrambledPasswordRoundTrip) {
  const char* pw = "telnet-Passw0rd";
  std::vector<char> text(ReadableLength(std::strlen(pw) + 1) + 1);
  EnryptPasswd(pw, text.data());
  for (const char* p = text.data(); *p; ++p) ASSERT_NE(std::strchr(ReadableChar, *p), nullptr);
  ZEPString back;
  DecryptPasswd(text.data(), back);
  EXPECT_EQ(Str(back), pw);
  std::vector<char> back2(OriginalLength(std::strlen(text.data())) + 1);
  DecryptPasswd(text.data(), back2.data());
  EXPECT_STREQ(back2.data(), pw);
}

TEST(OlderPasswordForm, GarbageDecryptsToSomethingDefined) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    size_t len = (round == 0) ? 5000 : rng() % 64;
    for (size_t i = 0; i < len; ++i) text += static_cast<char>(1 + rng() % 255);
    ZEPString out;
    DecryptPasswd(text.c_str(), out);
    EXPECT_LE(out.GetLength(), OriginalLength(len));
  }
  ZEPString out("x");
  DecryptPasswd("", out);
  EXPECT_TRUE(out == "");
}

TEST(TranslateCharsTest, ReplacesEachByteOnceAndKeepsOthers) {
  char text[] = "abcxa";
  ASSERT_EQ(0, TranslateChars(text, "ab", "bc", 2));
  // a->b and b->c apply to the original bytes only: "a" must not become "c".
  EXPECT_STREQ(text, "bccxb");
  EXPECT_EQ(-1, TranslateChars(nullptr, "a", "b", 1));
}

// ---------------------------------------------------------------- addresses

TEST(AddressHelpers, DottedTextAndBack) {
  unsigned long a = inet_addr("192.168.1.2");
  EXPECT_EQ(Str(ULong2IPAddr(a)), "192.168.1.2");
  EXPECT_EQ(IP2Long("192.168.1.2"), a);
  EXPECT_EQ(Str(ULong2IPAddr(IP2Long("10.0.0.255"))), "10.0.0.255");
  // Only the low 32 bits of a 64-bit long carry the address.
  EXPECT_EQ(Str(ULong2IPAddr(a | 0xABCD000000000000ul)), "192.168.1.2");
  EXPECT_EQ(IP2Long("not an address"), static_cast<unsigned long>(INADDR_NONE));
  EXPECT_EQ(IP2Long(nullptr), static_cast<unsigned long>(INADDR_NONE));
}

}  // namespace
