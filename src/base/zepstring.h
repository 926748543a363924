// zepstring.h — ZEPString, the framework's one string type.
//
// Owns a heap buffer of 8-bit characters with a terminating zero (or, when
// built around a caller's buffer with owns = false, only borrows it). A string
// has two empty states that callers tell apart: null text (no buffer,
// GetText() == nullptr) and empty text (a buffer holding ""). Null is not
// equal to "".
//
// Growing strings allocate in steps of 64 characters (or the step given at
// construction) so that appending in loops does not reallocate every time. A
// string built with step 0 is a fixed buffer: text beyond its capacity is
// silently dropped and the buffer is never reallocated.
//
// The text may hold any bytes, including zero bytes: the length, not the first
// zero, says where it ends, and comparison, tokenizing, finding and the file
// operations all go by the length. A `const char*` argument is read up to its
// first zero byte; Assign/Append with an explicit length take raw bytes.
//
// Threads: not thread-safe, takes no lock. Each string belongs to one thread
// at a time; shared builders (the log's strLog) are used under the owner's
// lock. Allocation failure is fatal, as is growing past kMaxLength.
#ifndef ZEP_BASE_ZEPSTRING_H
#define ZEP_BASE_ZEPSTRING_H

#include <cstdint>
#include <type_traits>

class ZEPString {
 public:
  // The length and capacity are 32-bit; 2 GiB keeps every length safe to pass
  // on as an int (socket writes, printf precision).
  static const uint32_t kMaxLength = 0x7FFFFFFFu;
  static const uint32_t kDefaultStep = 64;

  ZEPString();
  ZEPString(const char* s);  // NOLINT: implicit on purpose, "text" is a ZEPString
  ZEPString(const ZEPString& s);
  ZEPString(ZEPString&& s) noexcept;
  // Growth step `step` (0 = fixed capacity) and a zero-filled buffer for
  // `size` characters; the text is "" (not null).
  ZEPString(unsigned step, unsigned size);
  // The same for any other integers, so that ZEPString(64, 0) is not taken
  // for (owns, data); negative values are fatal.
  template <
      class A, class B,
      class = typename std::enable_if<std::is_integral<A>::value && std::is_integral<B>::value &&
                                      !std::is_same<A, bool>::value>::type>
  ZEPString(A step, B size)
      : ZEPString(ToUnsigned(static_cast<unsigned long long>(step)),
                  ToUnsigned(static_cast<unsigned long long>(size))) {}
  // Adopts `data` (allocated with new char[]) without copying; it is freed by
  // delete[] at destruction only when `owns` is true. Null data gives null text.
  ZEPString(bool owns, char* data);
  ~ZEPString();
  // Raw bytes (zeros included); null p gives null text. Not a constructor so
  // that ZEPString(0, 8) stays the fixed-buffer form.
  static ZEPString FromBytes(const char* p, uint32_t len);

  // --- Access: the text may be null; GetLength() is 0 then.
  const char* GetText() const { return m_pText; }
  char* GetText() { return m_pText; }
  // Never null: "" for a null text, for printf-style callers.
  const char* GetSafeText() const { return m_pText ? m_pText : ""; }
  uint32_t GetLength() const { return m_nLength; }
  uint32_t GetCapacity() const { return m_nCapacity; }
  uint32_t GetStep() const { return m_nStep; }
  bool IsNull() const { return m_pText == nullptr; }
  bool IsEmpty() const { return m_nLength == 0; }  // true for null and for ""

  // --- Assignment and appending; all return the string itself.
  ZEPString& operator=(const char* s);
  ZEPString& operator=(const ZEPString& s);
  ZEPString& operator=(ZEPString&& s) noexcept;
  ZEPString& operator+=(const char* s);
  ZEPString& operator+=(const ZEPString& s);
  ZEPString& Assign(const char* p, uint32_t len);  // null p assigns null text
  ZEPString& Append(const char* p, uint32_t len);  // null p appends nothing

  ZEPString& operator<<(const ZEPString& s);
  ZEPString& operator<<(const char* s);
  ZEPString& operator<<(char c);           // a zero character appends nothing
  ZEPString& operator<<(unsigned char c);  // likewise
  ZEPString& operator<<(short n);
  ZEPString& operator<<(unsigned short n);
  ZEPString& operator<<(int n);
  ZEPString& operator<<(unsigned int n);
  ZEPString& operator<<(long n);
  ZEPString& operator<<(unsigned long n);
  ZEPString& operator<<(long long n);
  ZEPString& operator<<(unsigned long long n);
  ZEPString& operator<<(double d);  // "%lf": 6 decimals
  // "0x" and at least 8 hex digits of the whole address, "0x00000000" for null.
  ZEPString& operator<<(const void* p);

  ZEPString operator+(const ZEPString& s) const;

  // --- Comparison: two null texts are equal, null and non-null are not; null
  // is less than any text. Otherwise bytes compare as unsigned.
  bool operator==(const char* s) const;
  bool operator==(const ZEPString& s) const;
  bool operator!=(const char* s) const { return !(*this == s); }
  bool operator!=(const ZEPString& s) const { return !(*this == s); }
  bool operator<(const char* s) const;
  bool operator<(const ZEPString& s) const;

  // Character i, or a space for an index outside the text (or null text).
  char& operator[](unsigned i);
  // Null for null text; "" when pos is at or past the end or len is 0;
  // otherwise at most len characters from pos.
  ZEPString Substr(unsigned pos, unsigned len) const;

  // --- Editing. Trimming removes spaces (0x20) only, never tabs or CR.
  void Trim();
  void Ltrim();
  void Rtrim();
  void ToLower();
  void ToUpper();
  bool IsDigit() const;
  // Appends n copies of ch; n = 0 fills a fixed buffer to its capacity. Does
  // nothing on null or empty text.
  void Fill(int ch, unsigned n);
  // Replaces every non-overlapping occurrence of `from`, left to right.
  void Replace(const char* from, const char* to);
  // Frees an owned buffer; the string returns to null text, capacity 0, owning.
  void ReleaseBuf();

  // --- Tokenizer over a multi-character delimiter. A trailing delimiter
  // yields one final "" token; the end is a null string (loop while
  // !token.IsNull()).
  ZEPString GetFirstToken(const char* delim);
  ZEPString GetFirstToken(const ZEPString& delim);
  ZEPString GetNextToken();

  // --- Finder. The pointers point into this string's text and are valid
  // until the text changes. An empty pattern finds nothing.
  char* FindFirst(const char* pattern);
  char* FindNext();

  // --- Files (binary: every byte, including zero bytes, is kept).
  // 0 and the file's contents; 0 and null text for an empty file; -1 for a
  // missing, unreadable or non-regular file, or one larger than kMaxLength
  // (text null then, or "" for a fixed buffer). Never waits on a FIFO or a
  // device.
  int LoadFromFile(const char* path);
  int SaveToFile(const char* path) const;    // create or truncate
  int AppendToFile(const char* path) const;  // nothing to do for null or ""

 private:
  // A negative value turns into one far above 32 bits and is refused.
  static unsigned ToUnsigned(unsigned long long n);
  void Init(uint32_t step);
  void SetNull();
  // Makes room for `need` characters, keeping the first `keep` ones.
  // Returns the characters that fit (fewer than `need` only for fixed buffers).
  uint32_t Reserve(uint32_t need, uint32_t keep);
  void FreeBuf();
  bool Overlaps(const char* p) const;  // p points into our buffer
  ZEPString StartTokens(const char* delim, uint32_t dlen);
  int WriteFile(const char* path, const char* mode) const;

  char* m_pText;
  uint32_t m_nLength;
  uint32_t m_nCapacity;
  char m_cSpare;
  bool m_bOwns;
  // Offsets rather than pointers: they stay safe if the text is changed or
  // reallocated between two tokenizer or finder calls.
  bool m_bFound;
  uint32_t m_nFindPos;
  ZEPString* m_pFindPattern;
  ZEPString* m_pTokenDelim;
  uint32_t m_nTokenPos;
  bool m_bMoreTokens;
  uint32_t m_nStep;
};

ZEPString operator+(const char* a, const ZEPString& b);
ZEPString operator+(const ZEPString& a, const char* b);

#endif  // ZEP_BASE_ZEPSTRING_H
