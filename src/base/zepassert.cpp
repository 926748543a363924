#include "base/zepassert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zep {

void AssertFail(const char* expr, const char* file, int line) {
  // The unit is the file name without directory and extension ("zepframe").
  const char* base = std::strrchr(file, '/');
  base = base ? base + 1 : file;
  const char* dot = std::strrchr(base, '.');
  int len = dot ? static_cast<int>(dot - base) : static_cast<int>(std::strlen(base));
  // One fprintf so the line is not interleaved with other threads' output.
  std::fprintf(stderr, "Assertion failed: %s, unit %.*s, line %d\n", expr, len, base, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace zep
