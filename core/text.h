// Fixed-buffer wide text: formatting that truncates and never fails, and the
// trailing-blank trim used for device and file text.
#pragma once

#include <cstddef>
#include <cstdarg>

// printf-style formatting into a fixed buffer of `capacity` wide characters.
// The result is always terminated; text past capacity - 1 characters is cut
// silently. capacity 0 writes nothing. Returns the characters stored.
//
// Understands exactly these conversions, the same on every platform:
//   %ls  wide string (const wchar_t*; nullptr prints as empty)
//   %c   wide character (passed as int)
//   %d   int
//   %lu  uint32_t (the Windows DWORD of an error code)
//   %.Nf double with N decimals, 0 <= N <= 9, rounded half to even on the
//        exact binary value, as glibc does
//   %%   a percent sign
// Anything else is copied as it stands. Text from devices or files is always
// an argument, never the format.
size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
size_t FormatTextV(wchar_t* buffer, size_t capacity, const wchar_t* format,
                   va_list args);

// Copies at most capacity - 1 characters of `src` and terminates.
void CopyText(wchar_t* buffer, size_t capacity, const wchar_t* src);

// Removes trailing space, tab, line feed and carriage return characters in
// place. Nothing else counts as blank; leading blanks stay.
void TrimTrailingBlanks(char* text);
void TrimTrailingBlanks(wchar_t* text);

// Case-insensitive wide comparison that folds only A-Z / a-z (as _wcsicmp in
// the "C" locale): true when both strings are equal that way.
bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b);
