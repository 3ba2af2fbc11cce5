// MultiByteToWideChar for the machine's code pages, and the UTF-8 and path
// folding helpers of the simulated machine.
#include <algorithm>
#include <cstring>

#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;
constexpr uint32_t kReplacement = 0xFFFD;

// 0x80..0x9F of code page 1252; the five unassigned bytes map to the C1
// controls of the same value, as Windows does.
constexpr uint16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Each decoder reads one character from s[0 .. n) (n >= 1), stores its code
// point and returns the bytes it used.
size_t Decode1252(const unsigned char* s, size_t, uint32_t* cp) {
  *cp = (s[0] >= 0x80 && s[0] < 0xA0) ? k1252High[s[0] - 0x80] : s[0];
  return 1;
}

// Windows' cp936: a lead byte takes the next byte with it unless that byte
// is NUL or missing; pairs it cannot decode become '?'.
size_t Decode936(const unsigned char* s, size_t n, uint32_t* cp) {
  const unsigned char b = s[0];
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  if (b == 0x80) {
    *cp = 0x20AC;
    return 1;
  }
  if (b == 0xFF) {
    *cp = 0xF8F5;
    return 1;
  }
  if (n < 2 || s[1] == 0) {
    *cp = '?';
    return 1;
  }
  const unsigned char t = s[1];
  *cp = (t >= 0x40 && t <= 0xFE)
            ? kCp936Table[(b - 0x81) * kCp936TrailCount + (t - 0x40)]
            : '?';
  return 2;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// UTF-8 with one U+FFFD per maximal invalid subpart.
size_t DecodeUtf8(const unsigned char* s, size_t n, uint32_t* cp) {
  const unsigned char b = s[0];
  *cp = kReplacement;
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  uint32_t value;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
    value = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    value = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no encoded surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    value = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  if (n < 2 || s[1] < lo || s[1] > hi) return 1;
  value = (value << 6) | (s[1] & 0x3F);
  for (size_t i = 2; i <= need; ++i) {
    if (i >= n || !IsContinuation(s[i])) return i;
    value = (value << 6) | (s[i] & 0x3F);
  }
  *cp = value;
  return need + 1;
}

}  // namespace

bool IsSupportedCodePage(uint32_t codePage) {
  return codePage == 936 || codePage == 1252 || codePage == 65001;
}

int ConvertToWide(uint32_t codePage, const char* src, int srcLength,
                  wchar_t* dst, int capacity, uint32_t* error) {
  if (!IsSupportedCodePage(codePage) || src == nullptr || srcLength == 0 ||
      srcLength < -1 || capacity < 0 || (dst == nullptr && capacity != 0)) {
    *error = kErrorInvalidParameter;
    return 0;
  }
  const size_t n = srcLength == -1 ? std::strlen(src) + 1
                                   : static_cast<size_t>(srcLength);
  const auto* bytes = reinterpret_cast<const unsigned char*>(src);
  size_t (*decode)(const unsigned char*, size_t, uint32_t*) =
      codePage == 936 ? Decode936 : codePage == 1252 ? Decode1252 : DecodeUtf8;
  int count = 0;
  for (size_t i = 0; i < n;) {
    uint32_t cp;
    i += decode(bytes + i, n - i, &cp);
    wchar_t units[2] = {static_cast<wchar_t>(cp), 0};
    int width = 1;
    if (kWideIsUtf16 && cp > 0xFFFF) {
      units[0] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
      units[1] = static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      width = 2;
    }
    if (capacity > 0) {
      if (count + width > capacity) {
        *error = kErrorInsufficientBuffer;
        return 0;
      }
      for (int k = 0; k < width; ++k) dst[count + k] = units[k];
    }
    count += width;
  }
  return count;
}

bool Utf8ToWide(const std::string& text, std::wstring* out) {
  out->clear();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    const size_t used = DecodeUtf8(bytes + i, text.size() - i, &cp);
    // U+FFFD is only genuine when it was written out as EF BF BD.
    if (cp == kReplacement &&
        (used != 3 || bytes[i] != 0xEF || bytes[i + 1] != 0xBF ||
         bytes[i + 2] != 0xBD)) {
      return false;
    }
    i += used;
    if (kWideIsUtf16 && cp > 0xFFFF) {
      out->push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out->push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<wchar_t>(cp));
    }
  }
  return true;
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = static_cast<uint32_t>(text[i]);
    if (kWideIsUtf16 && cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) +
           (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
      ++i;
    }
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

namespace {

wchar_t FoldChar(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c - L'A' + L'a');
  return c == L'/' ? L'\\' : c;
}

}  // namespace

void FoldPathInto(const std::wstring& path, std::wstring* out) {
  out->assign(path);
  for (wchar_t& c : *out) c = FoldChar(c);
}

std::wstring FoldPath(const std::wstring& path) {
  std::wstring out;
  FoldPathInto(path, &out);
  return out;
}

bool ContainsFolded(const std::wstring& haystack, const std::wstring& needle) {
  if (needle.empty()) return true;
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                     [](wchar_t a, wchar_t b) { return FoldChar(a) == FoldChar(b); }) !=
         haystack.end();
}

}  // namespace sim
