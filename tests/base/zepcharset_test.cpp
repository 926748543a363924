// The GB2312-to-UTF-8 converter: what becomes of bad and cut-off bytes and of
// zero bytes, errno, long texts, threads converting at once, and a thread
// that converts after its own converter was closed.
#include "base/zepcharset.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace {

// "登录成功" and "登" in GB2312 and in UTF-8.
const std::string kGbLogin = "\xb5\xc7\xc2\xbc\xb3\xc9\xb9\xa6";
const std::string kUtf8Login = "\xe7\x99\xbb\xe5\xbd\x95\xe6\x88\x90\xe5\x8a\x9f";
const std::string kGbDeng = "\xb5\xc7";
const std::string kUtf8Deng = "\xe7\x99\xbb";

std::string Utf8Of(const std::string& gb) {
  std::string out;
  EXPECT_EQ(0, ZEPGbToUtf8(gb.data(), gb.size(), out));
  return out;
}

TEST(ZEPCharsetTest, BadAndCutOffBytesBecomeOneQuestionMarkAndZeroBytesStay) {
  const std::string z(1, '\0');
  const struct {
    std::string gb, utf8;
  } cases[] = {
      {"", ""},
      {"plain ASCII\r\n", "plain ASCII\r\n"},
      {"a " + kGbLogin + "! z", "a " + kUtf8Login + "! z"},
      // A byte that starts no character; a lead byte cut off by the end.
      {"x\xff", "x?"},
      {"x\xff" + std::string("y\xb5"), "x?y?"},
      {"\xb5", "?"},
      // A lead byte before one that cannot follow it: the second is kept.
      {"x\xb5 y", "x? y"},
      // A four-byte character, whole and cut short.
      {"\x81\x30\x81\x30", "\xc2\x80"},
      {"\x81\x30\x81", "?0?"},
      // Zero bytes: kept, and the text after them converted too.
      {z, z},
      {kGbDeng + z + kGbDeng, kUtf8Deng + z + kUtf8Deng},
      {"\xb5" + z + "x", "?" + z + "x"},
      {z + z + "\xff", z + z + "?"},
  };
  for (const auto& c : cases) {
    std::string out = "kept|";
    errno = EBADF;  // as before the call, even after a bad byte
    EXPECT_EQ(0, ZEPGbToUtf8(c.gb.data(), c.gb.size(), out)) << c.gb;
    EXPECT_EQ("kept|" + c.utf8, out) << c.gb;
    EXPECT_EQ(EBADF, errno) << c.gb;
  }
  std::string out = "kept";
  EXPECT_EQ(0, ZEPGbToUtf8(nullptr, 0, out));
  EXPECT_EQ(-1, ZEPGbToUtf8(nullptr, 5, out));
  // Only the length counts: what follows it is not read.
  EXPECT_EQ(0, ZEPGbToUtf8("\xb5\xc7\xc2", 2, out));
  EXPECT_EQ("kept" + kUtf8Deng, out);
  EXPECT_TRUE(ZEPGbToUtf8Available());
}

TEST(ZEPCharsetTest, LongTextsGrowTheOutputWithNothingLostAtTheSeams) {
  // Characters, bad bytes and zero bytes in turn, far past any first guess
  // of the output's size; and the densest text, all two-byte characters.
  std::string gb, want;
  for (int i = 0; i < 5000; ++i) {
    gb += kGbLogin + "\xff" + std::string(1, '\0') + "ab";
    want += kUtf8Login + "?" + std::string(1, '\0') + "ab";
  }
  std::string dense, denseWant;
  for (int i = 0; i < 20000; ++i) {
    dense += kGbDeng;
    denseWant += kUtf8Deng;
  }
  EXPECT_EQ(want, Utf8Of(gb));
  EXPECT_EQ(denseWant, Utf8Of(dense));
  // Appended after what the buffer holds, with a cut-off lead at the end.
  std::string out(1000, 'p');
  dense += "\xb5";
  ASSERT_EQ(0, ZEPGbToUtf8(dense.data(), dense.size(), out));
  EXPECT_EQ(std::string(1000, 'p') + denseWant + "?", out);
}

TEST(ZEPCharsetTest, ThreadsConvertAtOnceThroughTheOneConverter) {
  const std::string texts[] = {"a " + kGbLogin + "\xff", kGbDeng + std::string(1, '\0') + "\xb5",
                               "\x81\x30\x81\x30 ascii", std::string(300, 'x') + kGbLogin};
  std::vector<std::string> wants;
  for (const std::string& t : texts) wants.push_back(Utf8Of(t));
  const int kThreads = 4;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string out;
      for (int i = 0; i < 2000; ++i) {
        const size_t k = static_cast<size_t>(t + i) % 4;
        out.clear();
        if (ZEPGbToUtf8(texts[k].data(), texts[k].size(), out) != 0 || out != wants[k])
          ++wrong[static_cast<size_t>(t)];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, wrong[static_cast<size_t>(t)]) << t;
}

// Converts in its destructor, at the thread's very end (as a node's last
// log line may).
struct LateConverter {
  std::string* m_pOut = nullptr;
  ~LateConverter() {
    if (m_pOut != nullptr) ZEPGbToUtf8(kGbLogin.data(), kGbLogin.size(), *m_pOut);
  }
};

TEST(ZEPCharsetTest, AThreadStillConvertsAtItsVeryEnd) {
  std::string late;
  std::thread([&late] {
    thread_local LateConverter t_Late;
    t_Late.m_pOut = &late;
    std::string out;
    ZEPGbToUtf8(kGbDeng.data(), kGbDeng.size(), out);
    EXPECT_EQ(kUtf8Deng, out);
  }).join();
  EXPECT_EQ(kUtf8Login, late);
}

TEST(ZEPCharsetTest, MaskLeavesAsciiAndZeroBytesAndQuestionsTheRest) {
  std::string out = "kept|";
  ZEPMaskNonAscii("ok \xb5\xc7\x7f\x80\0!", 9, out);
  ZEPMaskNonAscii(nullptr, 3, out);
  EXPECT_EQ(std::string("kept|ok \?\?\x7f?\0!", 14), out);
}

}  // namespace
