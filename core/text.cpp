#include "core/text.h"

#include <cstdint>
#include <cstdio>

namespace {

// Appends to a fixed buffer, dropping whatever does not fit.
struct Sink {
  wchar_t* buffer;
  size_t capacity;
  size_t length;

  void Put(wchar_t c) {
    if (length + 1 < capacity) buffer[length++] = c;
  }
  void PutWide(const wchar_t* s) {
    if (s == nullptr) return;
    while (*s != L'\0') Put(*s++);
  }
  void PutNarrow(const char* s) {
    while (*s != '\0') Put(static_cast<wchar_t>(static_cast<unsigned char>(*s++)));
  }
};

}  // namespace

size_t FormatTextV(wchar_t* buffer, size_t capacity, const wchar_t* format,
                   va_list args) {
  if (capacity == 0) return 0;
  Sink out{buffer, capacity, 0};
  char number[512];
  for (const wchar_t* p = format; *p != L'\0'; ++p) {
    if (*p != L'%') {
      out.Put(*p);
      continue;
    }
    const wchar_t* spec = p + 1;
    if (spec[0] == L'%') {
      out.Put(L'%');
      p = spec;
    } else if (spec[0] == L'l' && spec[1] == L's') {
      out.PutWide(va_arg(args, const wchar_t*));
      p = spec + 1;
    } else if (spec[0] == L'l' && spec[1] == L'u') {
      std::snprintf(number, sizeof number, "%lu",
                    static_cast<unsigned long>(va_arg(args, uint32_t)));
      out.PutNarrow(number);
      p = spec + 1;
    } else if (spec[0] == L'd') {
      std::snprintf(number, sizeof number, "%d", va_arg(args, int));
      out.PutNarrow(number);
      p = spec;
    } else if (spec[0] == L'c') {
      out.Put(static_cast<wchar_t>(va_arg(args, int)));
      p = spec;
    } else if (spec[0] == L'.' && spec[1] >= L'0' && spec[1] <= L'9' &&
               spec[2] == L'f') {
      // snprintf gives every digit of a huge value; 512 bytes hold any
      // double with 9 decimals.
      std::snprintf(number, sizeof number, "%.*f",
                    static_cast<int>(spec[1] - L'0'), va_arg(args, double));
      out.PutNarrow(number);
      p = spec + 2;
    } else {
      // Unknown conversion: copy the percent sign and go on with the text.
      out.Put(L'%');
    }
  }
  buffer[out.length] = L'\0';
  return out.length;
}

size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  size_t n = FormatTextV(buffer, capacity, format, args);
  va_end(args);
  return n;
}

void CopyText(wchar_t* buffer, size_t capacity, const wchar_t* src) {
  if (capacity == 0) return;
  size_t i = 0;
  if (src != nullptr)
    for (; i + 1 < capacity && src[i] != L'\0'; ++i) buffer[i] = src[i];
  buffer[i] = L'\0';
}

namespace {

template <typename Char>
void TrimBlanks(Char* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  while (n > 0) {
    Char c = text[n - 1];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    text[--n] = 0;
  }
}

wchar_t FoldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

void TrimTrailingBlanks(char* text) { TrimBlanks(text); }
void TrimTrailingBlanks(wchar_t* text) { TrimBlanks(text); }

bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (*a == L'\0') return true;
  }
}
