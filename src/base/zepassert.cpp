#include "base/zepassert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zep {

void AssertFail(const char* expr, const char* file, int line) {
  // The unit is the file name without directory, extension and topic
  // ("zepframe" for zepframe_timer.cpp).
  const char* base = std::strrchr(file, '/');
  base = base ? base + 1 : file;
  const int len = static_cast<int>(std::strcspn(base, "._"));
  // One fprintf so the line is not interleaved with other threads' output.
  std::fprintf(stderr, "Assertion failed: %s, unit %.*s, line %d\n", expr, len, base, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace zep
