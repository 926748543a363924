// zepjson.h — the JSON text of the files other programs read (the status
// file): a string writer that keeps any bytes safe, and a small reader for
// reading such a file back (`dyrclient --status`).
//
// Owns: nothing; plain functions over values and (pointer, length) input.
// Threads: any thread, no shared state. Locks: none.
//
// Bytes: the daemon's texts are GB2312 (or whatever a server or a
// configuration file sent), never known to be UTF-8. The writer therefore
// keeps its output ASCII: a byte from 0x80 up is written as one \u0080 to
// \u00ff escape, a control byte as \n, \r, \t, \b, \f or \u00XX, and the
// reader turns every \u0000 to \u00ff escape back into that one byte, so a
// text goes through the file unchanged whatever its bytes.
#ifndef ZEP_BASE_ZEPJSON_H
#define ZEP_BASE_ZEPJSON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Appends `len` bytes as a JSON string, quotes included.
void DyrJsonAppendString(std::string& out, const char* data, size_t len);
inline void DyrJsonAppendString(std::string& out, const std::string& text) {
  DyrJsonAppendString(out, text.data(), text.size());
}

// One parsed JSON value.
struct DYRJsonValue {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type m_eType = kNull;
  bool m_bBool = false;
  double m_dNumber = 0;
  std::string m_strText;              // kString: the bytes, escapes undone
  std::vector<DYRJsonValue> m_Items;  // kArray
  std::vector<std::pair<std::string, DYRJsonValue>> m_Members;  // kObject, in file order

  // The member `key` of an object (the first of that name), or null.
  const DYRJsonValue* Get(const char* key) const;
  // A number that is a whole number in range, into `n`; false otherwise.
  bool GetInt(int64_t& n) const;
};

// Reads one JSON value filling all of `len` bytes (white space around it
// allowed). 0, or -1 for anything that is not such a value: any bytes give
// a defined result. Nesting deeper than kDyrJsonMaxDepth is refused. An
// escape above \u00ff comes out as its UTF-8 bytes (a lone surrogate as
// "?"); raw bytes from 0x80 up inside a string are kept as they are.
static const int kDyrJsonMaxDepth = 16;
int DyrJsonParse(const char* data, size_t len, DYRJsonValue& out);

#endif  // ZEP_BASE_ZEPJSON_H
