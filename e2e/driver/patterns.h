// "Like" patterns and the values they bind. Plain C++: the native tests
// build this file too.
//
// A pattern is text in which * stands for any run of characters and {NAME}
// for a decimal number (digits, maybe a point and digits), which the first
// matching step binds to NAME; once bound, {NAME} stands for that text. {} is
// a number never bound.
#pragma once

#include <map>
#include <string>

using Vars = std::map<std::wstring, std::wstring>;

// Values bound so far, kept from step to step; the command line and the
// driver's own start put some in before the first step.
extern Vars vars;

// A character of a NAME: a letter, a digit or _.
bool IsNameChar(wchar_t c);

// Whether `text` matches `pattern` as a whole; on success only, what the
// pattern bound is kept in `vars`.
bool Like(const std::wstring& pattern, const std::wstring& text);

// The text with every bound {NAME} replaced by its value.
std::wstring Expand(const std::wstring& text);
