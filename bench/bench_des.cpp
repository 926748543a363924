// One 8-byte block per iteration through our DES and, as a yardstick, through
// OpenSSL's legacy single-DES ECB call. Each iteration feeds the previous
// output back in so the calls cannot be overlapped or hoisted.
#include <benchmark/benchmark.h>

#include <cstring>

#include "base/zepd3des.h"

#ifdef ZEP_HAVE_OPENSSL
// Single DES lives only in OpenSSL's deprecated API.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/des.h>
#endif

namespace {

const unsigned char kKey[8] = {0x3A, 0xC1, 0x77, 0x05, 0xE9, 0x12, 0x8D, 0x64};

void BM_ZepDes_Block(benchmark::State& state) {
  ZEPd3des des;
  des.deskey(kKey, ZEPd3des::EN0);
  unsigned char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state) {
    des.des(block, block);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8);
}
BENCHMARK(BM_ZepDes_Block);

#ifdef ZEP_HAVE_OPENSSL
void BM_OpenSSLDes_Block(benchmark::State& state) {
  DES_cblock key;
  std::memcpy(key, kKey, 8);
  DES_key_schedule sched;
  DES_set_key_unchecked(&key, &sched);
  DES_cblock block = {1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state) {
    DES_ecb_encrypt(&block, &block, &sched, DES_ENCRYPT);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8);
}
BENCHMARK(BM_OpenSSLDes_Block);
#endif

}  // namespace

BENCHMARK_MAIN();

#ifdef ZEP_HAVE_OPENSSL
#pragma GCC diagnostic pop
#endif
