#include "base/zepjson.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

void DyrJsonAppendString(std::string& out, const char* data, size_t len) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          const char esc[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
          out.append(esc, sizeof esc);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

const DYRJsonValue* DYRJsonValue::Get(const char* key) const {
  if (m_eType != kObject) return nullptr;
  for (const auto& m : m_Members) {
    if (m.first == key) return &m.second;
  }
  return nullptr;
}

bool DYRJsonValue::GetInt(int64_t& n) const {
  // 2^53: every whole number below it is exact in a double.
  const double kExact = 9007199254740992.0;
  if (m_eType != kNumber || std::floor(m_dNumber) != m_dNumber || std::fabs(m_dNumber) > kExact)
    return false;
  n = static_cast<int64_t>(m_dNumber);
  return true;
}

namespace {

class JsonReader {
 public:
  JsonReader(const char* data, size_t len) : m_p(data), m_pEnd(data + len) {}

  bool Document(DYRJsonValue& out) {
    if (!Value(out, 0)) return false;
    SkipSpace();
    return m_p == m_pEnd;
  }

 private:
  void SkipSpace() {
    while (m_p < m_pEnd && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r')) ++m_p;
  }
  bool Literal(const char* word) {
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(m_pEnd - m_p) < n || std::memcmp(m_p, word, n) != 0) return false;
    m_p += n;
    return true;
  }
  bool Value(DYRJsonValue& out, int depth) {
    SkipSpace();
    if (m_p >= m_pEnd) return false;
    out = DYRJsonValue();
    switch (*m_p) {
      case '{':
        return depth < kDyrJsonMaxDepth && Object(out, depth + 1);
      case '[':
        return depth < kDyrJsonMaxDepth && Array(out, depth + 1);
      case '"':
        out.m_eType = DYRJsonValue::kString;
        return String(out.m_strText);
      case 't':
        out.m_eType = DYRJsonValue::kBool;
        out.m_bBool = true;
        return Literal("true");
      case 'f':
        out.m_eType = DYRJsonValue::kBool;
        return Literal("false");
      case 'n':
        return Literal("null");
      default:
        return Number(out);
    }
  }
  bool Object(DYRJsonValue& out, int depth) {
    out.m_eType = DYRJsonValue::kObject;
    ++m_p;  // '{'
    SkipSpace();
    if (m_p < m_pEnd && *m_p == '}') {
      ++m_p;
      return true;
    }
    for (;;) {
      SkipSpace();
      std::string key;
      if (m_p >= m_pEnd || *m_p != '"' || !String(key)) return false;
      SkipSpace();
      if (m_p >= m_pEnd || *m_p != ':') return false;
      ++m_p;
      out.m_Members.emplace_back(std::move(key), DYRJsonValue());
      if (!Value(out.m_Members.back().second, depth)) return false;
      SkipSpace();
      if (m_p >= m_pEnd) return false;
      if (*m_p == '}') {
        ++m_p;
        return true;
      }
      if (*m_p != ',') return false;
      ++m_p;
    }
  }
  bool Array(DYRJsonValue& out, int depth) {
    out.m_eType = DYRJsonValue::kArray;
    ++m_p;  // '['
    SkipSpace();
    if (m_p < m_pEnd && *m_p == ']') {
      ++m_p;
      return true;
    }
    for (;;) {
      out.m_Items.emplace_back();
      if (!Value(out.m_Items.back(), depth)) return false;
      SkipSpace();
      if (m_p >= m_pEnd) return false;
      if (*m_p == ']') {
        ++m_p;
        return true;
      }
      if (*m_p != ',') return false;
      ++m_p;
    }
  }
  bool Hex4(unsigned& code) {
    if (m_pEnd - m_p < 4) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *m_p++;
      unsigned d;
      if (c >= '0' && c <= '9') {
        d = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      code = code * 16 + d;
    }
    return true;
  }
  static void Utf8(std::string& out, unsigned code) {
    if (code < 0x800) {
      out += static_cast<char>(0xc0 | (code >> 6));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xe0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    }
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
  // \u escape after the "\u": one byte up to 0xff (our writer's bytes),
  // UTF-8 above, a surrogate pair joined.
  bool Unicode(std::string& out) {
    unsigned code = 0;
    if (!Hex4(code)) return false;
    if (code <= 0xff) {
      out += static_cast<char>(code);
      return true;
    }
    if (code >= 0xd800 && code <= 0xdbff && m_pEnd - m_p >= 6 && m_p[0] == '\\' && m_p[1] == 'u') {
      const char* back = m_p;
      m_p += 2;
      unsigned low = 0;
      if (Hex4(low) && low >= 0xdc00 && low <= 0xdfff) {
        Utf8(out, 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00));
        return true;
      }
      m_p = back;
    }
    if (code >= 0xd800 && code <= 0xdfff) {
      out += '?';
    } else {
      Utf8(out, code);
    }
    return true;
  }
  bool String(std::string& out) {
    ++m_p;  // '"'
    while (m_p < m_pEnd) {
      const unsigned char c = static_cast<unsigned char>(*m_p++);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (m_p >= m_pEnd) return false;
      const char e = *m_p++;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u':
          if (!Unicode(out)) return false;
          break;
        default:
          return false;
      }
    }
    return false;
  }
  bool Number(DYRJsonValue& out) {
    // The JSON grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
    const char* start = m_p;
    if (m_p < m_pEnd && *m_p == '-') ++m_p;
    if (m_p >= m_pEnd || *m_p < '0' || *m_p > '9') return false;
    if (*m_p == '0') {
      ++m_p;
    } else {
      while (m_p < m_pEnd && *m_p >= '0' && *m_p <= '9') ++m_p;
    }
    if (m_p < m_pEnd && *m_p == '.') {
      ++m_p;
      if (m_p >= m_pEnd || *m_p < '0' || *m_p > '9') return false;
      while (m_p < m_pEnd && *m_p >= '0' && *m_p <= '9') ++m_p;
    }
    if (m_p < m_pEnd && (*m_p == 'e' || *m_p == 'E')) {
      ++m_p;
      if (m_p < m_pEnd && (*m_p == '+' || *m_p == '-')) ++m_p;
      if (m_p >= m_pEnd || *m_p < '0' || *m_p > '9') return false;
      while (m_p < m_pEnd && *m_p >= '0' && *m_p <= '9') ++m_p;
    }
    // strtod needs a terminated copy; the input is not.
    const std::string text(start, static_cast<size_t>(m_p - start));
    out.m_eType = DYRJsonValue::kNumber;
    out.m_dNumber = std::strtod(text.c_str(), nullptr);
    return std::isfinite(out.m_dNumber);
  }

  const char* m_p;
  const char* m_pEnd;
};

}  // namespace

int DyrJsonParse(const char* data, size_t len, DYRJsonValue& out) {
  out = DYRJsonValue();
  if (data == nullptr) return -1;
  JsonReader reader(data, len);
  if (reader.Document(out)) return 0;
  out = DYRJsonValue();
  return -1;
}
