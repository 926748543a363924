// zepd3des.h — single DES block cipher, table driven (electronic code book,
// one 8-byte block at a time).
//
// Owns: three 32-word key schedules (only the first is used; the other two
// stay for a two- or three-key variant and are kept zero).
// Key convention: every key byte is read least significant bit first
// (`bytebit` runs 01..0200), so this cipher equals standard DES under a key
// whose bytes are each bit-reversed. Plain and cipher blocks are standard
// (byte 0 holds the first eight bits, most significant first).
// Threads: `des` and `cpkey` only read the schedule, so once keyed an object
// may be used from any number of threads at once. `deskey` and `usekey`
// change it and must not run concurrently with anything else on the object.
// Locks: none.
#ifndef ZEP_BASE_ZEPD3DES_H
#define ZEP_BASE_ZEPD3DES_H

#include <array>
#include <cstdint>

class ZEPd3des {
 public:
  // `edf` values of deskey.
  static constexpr int EN0 = 0;  // schedule for encryption
  static constexpr int DE1 = 1;  // schedule for decryption

  // constexpr so the process-wide objects are zero before any constructor
  // of another unit runs.
  constexpr ZEPd3des() : m_KnL{}, m_KnR{}, m_Kn3{} {}

  // Builds the key schedule from the 8 bytes at `key`.
  void deskey(const unsigned char* key, int edf);
  // Transforms one 8-byte block; `in` and `out` may be the same buffer.
  void des(const unsigned char* in, unsigned char* out) const;
  // Loads or copies out the packed 32-word schedule.
  void usekey(const uint32_t* from);
  void cpkey(uint32_t* into) const;

  static const unsigned short bytebit[8];
  static const uint32_t bigbyte[24];
  static const unsigned char pc1[56];
  static const unsigned char totrot[16];
  static const unsigned char pc2[48];
  // S-box tables with the P permutation folded in, already in the rotated
  // word layout that desfunc works on.
  static const std::array<uint32_t, 64> SP1, SP2, SP3, SP4, SP5, SP6, SP7, SP8;

 private:
  void cookey(const uint32_t* raw);
  static void scrunch(const unsigned char* bytes, uint32_t* words);
  static void unscrun(const uint32_t* words, unsigned char* bytes);
  static void desfunc(uint32_t* block, const uint32_t* keys);
  static uint32_t Feistel(uint32_t half, const uint32_t* k);

  uint32_t m_KnL[32];
  [[maybe_unused]] uint32_t m_KnR[32];  // see the contract: kept zero
  [[maybe_unused]] uint32_t m_Kn3[32];
};

#endif  // ZEP_BASE_ZEPD3DES_H
