// fuzz_targets.h — the table of fuzz entry points that the corpus replay test
// walks. The table is generated at configure time, one row per
// tests/fuzz/fuzz_<name>.cpp; each row's corpus is tests/fuzz/corpus/<name>/.
//
// Threads: read-only data. Locks: none.
#ifndef ZEP_TESTS_FUZZ_FUZZ_TARGETS_H
#define ZEP_TESTS_FUZZ_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>

struct FuzzTarget {
  const char* name;
  int (*entry)(const uint8_t* data, size_t size);
};

extern const FuzzTarget kFuzzTargets[];
extern const size_t kFuzzTargetCount;

#endif  // ZEP_TESTS_FUZZ_FUZZ_TARGETS_H
