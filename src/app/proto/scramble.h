// scramble.h — credential scrambling and address helpers shared by the whole
// program.
//
// Owns: the two process-wide DES objects `g_DesEN`/`g_DesDE` (keyed once by
// InitDes with the credential key every installation shares), the 6-bit text
// alphabet and its inverse table, and the two substitution alphabets of the
// older, time-rotated password form.
//
// Scrambling = DES (ECB, zero padding to whole blocks) followed by a 6-bit
// text encoding over "a-zA-Z0-9*_": the result is printable and never holds
// "=" or the property separator 0x01, so it can travel as a property value.
//
// Threads: InitDes runs once on the main thread before any other thread
// starts. After that every function here may be called from any thread: the
// DES objects are only read, and the inverse alphabet table is built exactly
// once (std::call_once) by whichever thread decodes first.
// Locks: none of ours (call_once's internal one only on first use).
//
// Bad input: every decoder takes any bytes of any length. Characters outside
// the alphabet decode as 0, a trailing partial DES block is decrypted as if
// zero-padded, and all work buffers are sized from the input on the heap.
#ifndef ZEP_APP_PROTO_SCRAMBLE_H
#define ZEP_APP_PROTO_SCRAMBLE_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/zepd3des.h"
#include "base/zepstring.h"

// The fixed key of the credential scrambling; the server knows it too.
extern const unsigned char g_CredentialKey[8];

extern ZEPd3des g_DesEN;
extern ZEPd3des g_DesDE;

// "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789*_"
extern const char ReadableChar[65];
// Inverse of ReadableChar by character code (0..127); 0 for other codes.
extern char OriginalChar[128];
extern std::atomic<bool> g_bInitOriginalChar;

// Substitution alphabets of the older password form: each holds the byte
// values 1..255 once, then a zero byte.
extern const std::array<unsigned char, 256> IN_STRING;
extern const std::array<unsigned char, 256> OUT_STRING;

void InitDes(const unsigned char* key);

// Scrambles `in` (every byte of it, zero bytes included) into `out`; in and
// out may be the same string. Returns 0.
int EnAString(const ZEPString& in, ZEPString& out);
int EnAString(const char* data, size_t len, ZEPString& out);
// Unscrambles any text into `out` (up to the first zero byte of the
// decrypted bytes); in and out may be the same string. Returns 0. Null or
// empty text gives "".
int DeAString(const ZEPString& in, ZEPString& out);
int DeAString(const char* text, size_t len, ZEPString& out);

// Characters produced for `len` bytes: ceil(len * 8 / 6).
size_t ReadableLength(size_t len);
// Bytes decoded from `textLen` characters (4m+1 characters give 3m+1).
size_t OriginalLength(size_t textLen);

// 6-bit encoding of `len` bytes; `out` must hold ReadableLength(len) + 1
// bytes and ends with a zero. Returns 0, or -1 for a null `out`, len < 0,
// or null `data` with len > 0.
int ToReadable(const unsigned char* data, int len, char* out);
// Decodes `len` characters of `text` (any bytes; zero bytes count as
// characters outside the alphabet) into `out`, which must hold
// OriginalLength(len) + 1 bytes; `out[count]` is set to zero. Returns 0, or
// -1 (touching nothing) for null `text` or `out`.
int ToOriginal(const char* text, size_t len, char* out, size_t& count);
// As above for a zero-terminated text. Returns -1 also when the result would
// not fit an int.
int ToOriginal(const char* text, char* out, int& count);

// Reads `n` (0..8) bits starting at bit `bit` (0 = most significant) of byte
// `pos`, continuing into the next byte when there is one (missing bits read
// as 0), right-aligned into `value`, and advances pos/bit past them. Returns
// -1 when pos is outside 0..len-1, bit outside 0..7, n outside 0..8 or data
// is null.
int GetBits(const char* data, int len, int& pos, int& bit, int n, unsigned char& value);

char* MakeOriginalCharTable();

// Older password form. EncryptString needs strlen(src) + 2 bytes at `dst`;
// its result changes every second (the rotation is the time modulo 255).
int EncryptString(const char* src, char* dst);
// The same with a given rotation 0..254 (taken modulo 255).
int EncryptStringRot(const char* src, char* dst, long rotation);
// `dst` needs strlen(src) bytes (at least 1). Returns -1 and "" when the
// first byte does not name a rotation.
int DecryptString(const char* src, char* dst);
// EncryptString followed by the 6-bit encoding: `dst` needs
// ReadableLength(strlen(src) + 1) + 1 bytes.
void EnryptPasswd(const char* src, char* dst);
// The 6-bit decoding followed by DecryptString; `dst` needs
// OriginalLength(strlen(src)) + 1 bytes. Undecodable text gives "".
void DecryptPasswd(const char* src, ZEPString& dst);
void DecryptPasswd(const char* src, char* dst);

// In the zero-terminated `text`, replaces every byte found among the first n
// bytes of `from` with the byte at the same position of `to` (the first
// position wins for a repeated byte). Returns 0, or -1 for null pointers.
int TranslateChars(char* text, const char* from, const char* to, int n);

// Dotted text of an IPv4 address held in network byte order in the low 32
// bits of `addr`, first octet first.
ZEPString ULong2IPAddr(unsigned long addr);
// The dotted-decimal text (net/zepaddr.h) as a network-order address,
// INADDR_NONE (0xFFFFFFFF) when the text is no address (or null).
unsigned long IP2Long(const char* text);

#endif  // ZEP_APP_PROTO_SCRAMBLE_H
