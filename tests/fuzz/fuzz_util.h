// fuzz_util.h — what the fuzz targets share: a property check that stops the
// run (libFuzzer saves the input, the corpus replay test fails), and a reader
// that cuts one fuzz input into the values a target needs.
//
// Threads: each target runs on one thread; the reader is a value. Locks: none.
#ifndef ZEP_TESTS_FUZZ_FUZZ_UTIL_H
#define ZEP_TESTS_FUZZ_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// A broken property is a finding like a crash: print where and stop.
#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace fuzzutil {

// Cuts an input front to back; past the end it yields zeros and empty pieces.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_p(data), m_nLeft(data ? size : 0) {}
  size_t Left() const { return m_nLeft; }
  uint8_t Byte() {
    if (m_nLeft == 0) return 0;
    --m_nLeft;
    return *m_p++;
  }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  // Bytes up to (not including) the next `delim`, which is consumed.
  std::string Piece(uint8_t delim) {
    const void* at = m_nLeft ? std::memchr(m_p, delim, m_nLeft) : nullptr;
    size_t n = at ? static_cast<size_t>(static_cast<const uint8_t*>(at) - m_p) : m_nLeft;
    std::string s(reinterpret_cast<const char*>(m_p), n);
    Skip(at ? n + 1 : n);
    return s;
  }
  std::string Bytes(size_t n) {
    if (n > m_nLeft) n = m_nLeft;
    std::string s(reinterpret_cast<const char*>(m_p), n);
    Skip(n);
    return s;
  }
  std::string Rest() { return Bytes(m_nLeft); }

 private:
  void Skip(size_t n) {
    m_p += n;
    m_nLeft -= n;
  }
  const uint8_t* m_p;
  size_t m_nLeft;
};

// An exact-size heap copy, so that a read one byte past `s` is an ASan report.
inline std::vector<char> Exact(const std::string& s) {
  return std::vector<char>(s.begin(), s.end());
}

}  // namespace fuzzutil

#endif  // ZEP_TESTS_FUZZ_FUZZ_UTIL_H
