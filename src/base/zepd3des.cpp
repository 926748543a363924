#include "base/zepd3des.h"

#include <cstring>

namespace {

// The eight S-boxes and the P permutation exactly as published in FIPS 46.
// The combined SP tables below are computed from them at compile time, which
// keeps 512 opaque constants out of the source.
constexpr unsigned char kSBox[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

constexpr unsigned char kPerm[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                     2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// A typo in an S-box row would still pass many tests; every row must be a
// permutation of 0..15.
constexpr bool SBoxRowsArePermutations() {
  for (int k = 0; k < 8; ++k) {
    for (int r = 0; r < 4; ++r) {
      unsigned seen = 0;
      for (int c = 0; c < 16; ++c) seen |= 1u << kSBox[k][r][c];
      if (seen != 0xFFFFu) return false;
    }
  }
  return true;
}
static_assert(SBoxRowsArePermutations(), "S-box row is not a permutation");

// Entry v of box k: v is the box's 6-bit input, first bit most significant
// (row = first and last bit, column = the middle four). The 4-bit output is
// put in its place in the 32-bit word, sent through P, and the result is
// rotated left by one bit because desfunc keeps both halves rotated so that
// each 6-bit group can be cut out with one shift and mask.
constexpr std::array<uint32_t, 64> MakeSP(int k) {
  std::array<uint32_t, 64> t{};
  for (unsigned v = 0; v < 64; ++v) {
    unsigned row = ((v >> 4) & 2u) | (v & 1u);
    unsigned col = (v >> 1) & 0xFu;
    uint32_t pre = static_cast<uint32_t>(kSBox[k][row][col]) << (4 * (7 - k));
    uint32_t post = 0;
    for (int i = 0; i < 32; ++i) {
      if (pre & (1u << (32 - kPerm[i]))) post |= 1u << (31 - i);
    }
    t[v] = (post << 1) | (post >> 31);
  }
  return t;
}

}  // namespace

const unsigned short ZEPd3des::bytebit[8] = {01, 02, 04, 010, 020, 040, 0100, 0200};

const uint32_t ZEPd3des::bigbyte[24] = {0x800000, 0x400000, 0x200000, 0x100000, 0x80000, 0x40000,
                                        0x20000,  0x10000,  0x8000,   0x4000,   0x2000,  0x1000,
                                        0x800,    0x400,    0x200,    0x100,    0x80,    0x40,
                                        0x20,     0x10,     0x8,      0x4,      0x2,     0x1};

const unsigned char ZEPd3des::pc1[56] = {56, 48, 40, 32, 24, 16, 8,  0,  57, 49, 41, 33, 25, 17,
                                         9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43, 35,
                                         62, 54, 46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21,
                                         13, 5,  60, 52, 44, 36, 28, 20, 12, 4,  27, 19, 11, 3};

const unsigned char ZEPd3des::totrot[16] = {1,  2,  4,  6,  8,  10, 12, 14,
                                            15, 17, 19, 21, 23, 25, 27, 28};

const unsigned char ZEPd3des::pc2[48] = {
    13, 16, 10, 23, 0,  4,  2,  27, 14, 5,  20, 9,  22, 18, 11, 3,  25, 7,  15, 6,  26, 19, 12, 1,
    40, 51, 30, 36, 46, 54, 29, 39, 50, 44, 32, 47, 43, 48, 38, 55, 33, 52, 45, 41, 49, 35, 28, 31};

// Constant-initialised from constexpr values: ready before any static
// constructor of another unit runs.
const std::array<uint32_t, 64> ZEPd3des::SP1 = MakeSP(0);
const std::array<uint32_t, 64> ZEPd3des::SP2 = MakeSP(1);
const std::array<uint32_t, 64> ZEPd3des::SP3 = MakeSP(2);
const std::array<uint32_t, 64> ZEPd3des::SP4 = MakeSP(3);
const std::array<uint32_t, 64> ZEPd3des::SP5 = MakeSP(4);
const std::array<uint32_t, 64> ZEPd3des::SP6 = MakeSP(5);
const std::array<uint32_t, 64> ZEPd3des::SP7 = MakeSP(6);
const std::array<uint32_t, 64> ZEPd3des::SP8 = MakeSP(7);

void ZEPd3des::deskey(const unsigned char* key, int edf) {
  unsigned char pc1m[56];
  unsigned char pcr[56];
  uint32_t kn[32];

  for (int j = 0; j < 56; ++j) {
    int l = pc1[j];
    pc1m[j] = (key[l >> 3] & bytebit[l & 07]) ? 1 : 0;
  }
  for (int i = 0; i < 16; ++i) {
    int m = (edf == DE1) ? (15 - i) << 1 : i << 1;
    int n = m + 1;
    kn[m] = kn[n] = 0;
    // Both 28-bit halves rotate on their own.
    for (int j = 0; j < 28; ++j) {
      int l = j + totrot[i];
      pcr[j] = pc1m[l < 28 ? l : l - 28];
    }
    for (int j = 28; j < 56; ++j) {
      int l = j + totrot[i];
      pcr[j] = pc1m[l < 56 ? l : l - 28];
    }
    for (int j = 0; j < 24; ++j) {
      if (pcr[pc2[j]]) kn[m] |= bigbyte[j];
      if (pcr[pc2[j + 24]]) kn[n] |= bigbyte[j];
    }
  }
  cookey(kn);
}

// Regroups each round's two 24-bit halves into two words of four 6-bit groups
// at the byte positions where desfunc cuts its S-box indexes.
void ZEPd3des::cookey(const uint32_t* raw1) {
  uint32_t dough[32];
  uint32_t* cook = dough;
  for (int i = 0; i < 16; ++i, ++raw1) {
    const uint32_t* raw0 = raw1++;
    *cook = (*raw0 & 0x00fc0000u) << 6;
    *cook |= (*raw0 & 0x00000fc0u) << 10;
    *cook |= (*raw1 & 0x00fc0000u) >> 10;
    *cook++ |= (*raw1 & 0x00000fc0u) >> 6;
    *cook = (*raw0 & 0x0003f000u) << 12;
    *cook |= (*raw0 & 0x0000003fu) << 16;
    *cook |= (*raw1 & 0x0003f000u) >> 4;
    *cook++ |= (*raw1 & 0x0000003fu);
  }
  usekey(dough);
}

void ZEPd3des::usekey(const uint32_t* from) { std::memcpy(m_KnL, from, sizeof(m_KnL)); }

void ZEPd3des::cpkey(uint32_t* into) const { std::memcpy(into, m_KnL, sizeof(m_KnL)); }

void ZEPd3des::scrunch(const unsigned char* bytes, uint32_t* words) {
  words[0] = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
             uint32_t{bytes[3]};
  words[1] = (uint32_t{bytes[4]} << 24) | (uint32_t{bytes[5]} << 16) | (uint32_t{bytes[6]} << 8) |
             uint32_t{bytes[7]};
}

void ZEPd3des::unscrun(const uint32_t* words, unsigned char* bytes) {
  for (int w = 0; w < 2; ++w) {
    bytes[4 * w] = static_cast<unsigned char>(words[w] >> 24);
    bytes[4 * w + 1] = static_cast<unsigned char>(words[w] >> 16);
    bytes[4 * w + 2] = static_cast<unsigned char>(words[w] >> 8);
    bytes[4 * w + 3] = static_cast<unsigned char>(words[w]);
  }
}

void ZEPd3des::des(const unsigned char* in, unsigned char* out) const {
  uint32_t work[2];
  scrunch(in, work);
  desfunc(work, m_KnL);
  unscrun(work, out);
}

namespace {
inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
}  // namespace

// One round function: the expansion is implicit in cutting overlapping
// 6-bit groups from the rotated half, two round-key words cover them.
inline uint32_t ZEPd3des::Feistel(uint32_t half, const uint32_t* k) {
  uint32_t work = Rotr(half, 4) ^ k[0];
  uint32_t fval = SP7[work & 0x3f];
  fval |= SP5[(work >> 8) & 0x3f];
  fval |= SP3[(work >> 16) & 0x3f];
  fval |= SP1[(work >> 24) & 0x3f];
  work = half ^ k[1];
  fval |= SP8[work & 0x3f];
  fval |= SP6[(work >> 8) & 0x3f];
  fval |= SP4[(work >> 16) & 0x3f];
  fval |= SP2[(work >> 24) & 0x3f];
  return fval;
}

void ZEPd3des::desfunc(uint32_t* block, const uint32_t* keys) {
  uint32_t leftt = block[0];
  uint32_t right = block[1];
  uint32_t work;

  // Initial permutation as a sequence of bit-group swaps.
  work = ((leftt >> 4) ^ right) & 0x0f0f0f0fu;
  right ^= work;
  leftt ^= work << 4;
  work = ((leftt >> 16) ^ right) & 0x0000ffffu;
  right ^= work;
  leftt ^= work << 16;
  work = ((right >> 2) ^ leftt) & 0x33333333u;
  leftt ^= work;
  right ^= work << 2;
  work = ((right >> 8) ^ leftt) & 0x00ff00ffu;
  leftt ^= work;
  right ^= work << 8;
  right = Rotr(right, 31);
  work = (leftt ^ right) & 0xaaaaaaaau;
  leftt ^= work;
  right ^= work;
  leftt = Rotr(leftt, 31);

  // Two rounds per turn so the halves never have to be swapped.
  for (int round = 0; round < 8; ++round, keys += 4) {
    leftt ^= Feistel(right, keys);
    right ^= Feistel(leftt, keys + 2);
  }

  // Final permutation: the initial one undone, with the halves exchanged.
  right = Rotr(right, 1);
  work = (leftt ^ right) & 0xaaaaaaaau;
  leftt ^= work;
  right ^= work;
  leftt = Rotr(leftt, 1);
  work = ((leftt >> 8) ^ right) & 0x00ff00ffu;
  right ^= work;
  leftt ^= work << 8;
  work = ((leftt >> 2) ^ right) & 0x33333333u;
  right ^= work;
  leftt ^= work << 2;
  work = ((right >> 16) ^ leftt) & 0x0000ffffu;
  leftt ^= work;
  right ^= work << 16;
  work = ((right >> 4) ^ leftt) & 0x0f0f0f0fu;
  leftt ^= work;
  right ^= work << 4;
  block[0] = right;
  block[1] = leftt;
}
