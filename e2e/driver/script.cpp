// The script: its words in, and the driver's lines out.
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <cwchar>

#include "e2e/driver/driver.h"

namespace {

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()),
                              nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0],
                      n, nullptr, nullptr);
  return s;
}

}  // namespace

// Straight to the handle: the harness reads the lines as they come.
void Print(const std::wstring& text) {
  std::string bytes = Utf8(text + L"\n");
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(),
            static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Quote(const std::wstring& s) {
  std::wstring out = L"\"";
  for (wchar_t c : s) {
    if (c == L'\n') out += L"\\n";
    else if (c == L'\t') out += L"\\t";
    else if (c == L'"' || c == L'\\') { out += L'\\'; out += c; }
    else out += c;
  }
  return out + L"\"";
}

std::wstring Num(long long v) { return std::to_wstring(v); }

std::wstring Hex(DWORD v) {
  wchar_t b[16];
  swprintf(b, 16, L"0x%08lX", static_cast<unsigned long>(v));
  return b;
}

bool SplitWords(const std::wstring& line, Words* words, std::wstring* error) {
  size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
    if (i >= line.size()) return true;
    std::wstring w;
    if (line[i] == L'"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        wchar_t c = line[i++];
        if (c == L'"') { closed = true; break; }
        if (c == L'\\' && i < line.size()) {
          wchar_t e = line[i++];
          if (e == L'n') w += L'\n';
          else if (e == L't') w += L'\t';
          else w += e;
        } else {
          w += c;
        }
      }
      if (!closed) {
        *error = L"unterminated quote";
        return false;
      }
    } else {
      while (i < line.size() && line[i] != L' ' && line[i] != L'\t')
        w += line[i++];
    }
    words->push_back(w);
  }
}

bool ParseInt(const std::wstring& s, long long* v) {
  if (s.empty()) return false;
  wchar_t* end = nullptr;
  *v = std::wcstoll(s.c_str(), &end, 0);
  return end != nullptr && *end == L'\0';
}

// "N" or "A..B".
bool ParseRange(const std::wstring& s, long long* lo, long long* hi) {
  size_t dots = s.find(L"..");
  if (dots == std::wstring::npos) {
    if (!ParseInt(s, lo)) return false;
    *hi = *lo;
    return true;
  }
  return ParseInt(s.substr(0, dots), lo) && ParseInt(s.substr(dots + 2), hi);
}

namespace {

struct StyleName {
  const wchar_t* name;
  DWORD bits;
};

const StyleName kStyles[] = {
    {L"WS_POPUP", WS_POPUP},         {L"WS_CHILD", WS_CHILD},
    {L"WS_VISIBLE", WS_VISIBLE},     {L"WS_DISABLED", WS_DISABLED},
    {L"WS_CAPTION", WS_CAPTION},     {L"WS_BORDER", WS_BORDER},
    {L"WS_DLGFRAME", WS_DLGFRAME},   {L"WS_VSCROLL", WS_VSCROLL},
    {L"WS_HSCROLL", WS_HSCROLL},     {L"WS_SYSMENU", WS_SYSMENU},
    {L"WS_THICKFRAME", WS_THICKFRAME}, {L"WS_MINIMIZEBOX", WS_MINIMIZEBOX},
    {L"WS_MAXIMIZEBOX", WS_MAXIMIZEBOX}, {L"WS_GROUP", WS_GROUP},
    {L"WS_TABSTOP", WS_TABSTOP},     {L"LBS_NOTIFY", LBS_NOTIFY},
    {L"LBS_SORT", LBS_SORT},         {L"LBS_MULTIPLESEL", LBS_MULTIPLESEL},
    {L"LBS_EXTENDEDSEL", LBS_EXTENDEDSEL},
    {L"LBS_NOINTEGRALHEIGHT", LBS_NOINTEGRALHEIGHT},
    {L"LBS_OWNERDRAWFIXED", LBS_OWNERDRAWFIXED},
    {L"ES_READONLY", ES_READONLY},   {L"ES_MULTILINE", ES_MULTILINE},
    {L"ES_PASSWORD", ES_PASSWORD},   {L"BS_DEFPUSHBUTTON", BS_DEFPUSHBUTTON},
    {L"PBS_SMOOTH", PBS_SMOOTH},     {L"PBS_VERTICAL", PBS_VERTICAL},
};

}  // namespace

// "WS_CHILD|WS_VISIBLE|0x4".
bool ParseStyle(const std::wstring& s, DWORD* bits) {
  *bits = 0;
  size_t start = 0;
  while (start <= s.size()) {
    size_t bar = s.find(L'|', start);
    std::wstring part = s.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start);
    bool known = false;
    for (const StyleName& n : kStyles)
      if (part == n.name) {
        *bits |= n.bits;
        known = true;
      }
    long long v = 0;
    if (!known && ParseInt(part, &v)) {
      *bits |= static_cast<DWORD>(v);
      known = true;
    }
    if (!known) return false;
    if (bar == std::wstring::npos) break;
    start = bar + 1;
  }
  return true;
}

namespace {

// Property lists: name and how many words follow it.
struct PropShape {
  const wchar_t* name;
  int args;
};

const PropShape kWindowProps[] = {{L"class", 1}, {L"title", 1}, {L"size", 2},
                                  {L"client", 2}, {L"style-has", 1},
                                  {L"style-lacks", 1}};
const PropShape kControlProps[] = {
    {L"class", 1}, {L"id", 1}, {L"text", 1}, {L"like", 1}, {L"enabled", 0},
    {L"disabled", 0}, {L"visible", 0}, {L"hidden", 0}, {L"rect", 4},
    {L"style-has", 1}, {L"style-lacks", 1}, {L"bordered", 0}, {L"borderless", 0},
    {L"progress", 1}, {L"range", 2}, {L"count", 1}, {L"selection", 1},
    {L"line", 2}};
const PropShape kBoxProps[] = {{L"text", 1},    {L"like", 1},  {L"caption", 1},
                               {L"owner", 1},   {L"buttons", 1},
                               {L"default", 1}, {L"icon", 1},
                               {L"answer", 1}};

template <size_t N>
bool CheckProps(const Words& w, size_t first, const PropShape (&shapes)[N],
                std::wstring* error) {
  size_t i = first;
  if (i >= w.size()) {
    *error = L"no property given";
    return false;
  }
  while (i < w.size()) {
    const PropShape* shape = nullptr;
    for (const PropShape& s : shapes)
      if (w[i] == s.name) shape = &s;
    if (shape == nullptr) {
      *error = L"unknown property '" + w[i] + L"'";
      return false;
    }
    if (i + static_cast<size_t>(shape->args) >= w.size()) {
      *error = L"'" + w[i] + L"' needs " + Num(shape->args) + L" value(s)";
      return false;
    }
    if (w[i] == std::wstring(L"answer") && i + 2 != w.size()) {
      *error = L"'answer' must come last";
      return false;
    }
    i += 1 + static_cast<size_t>(shape->args);
  }
  return true;
}

}  // namespace

// Checks the shape of a step before anything runs, so a typo fails the
// script at once instead of halfway through.
bool Validate(const Step& s, std::wstring* error) {
  const Words& w = s.words;
  const std::wstring& c = w[0];
  auto count = [&](size_t lo, size_t hi) {
    if (w.size() - 1 < lo || w.size() - 1 > hi) {
      *error = L"'" + c + L"' takes " + Num(static_cast<long long>(lo)) +
               (lo == hi ? L"" : L" to " + Num(static_cast<long long>(hi))) +
               L" argument(s)";
      return false;
    }
    return true;
  };
  long long v = 0;
  if (c == L"timeout" || c == L"sleep" || c == L"expect-children" ||
      c == L"expect-exit" || c == L"click" || c == L"select" ||
      c == L"box-press") {
    if (!count(1, 1)) return false;
    if (!ParseInt(w[1], &v)) {
      *error = L"not a number: " + w[1];
      return false;
    }
    return true;
  }
  if (c == L"wait-window" || c == L"close" || c == L"dump") return count(0, 0);
  if (c == L"expect-no-box") return count(0, 1);
  if (c == L"screenshot" || c == L"echo" || c == L"expect-list-match" ||
      c == L"select-match")
    return count(1, 1);
  if (c == L"command") return count(1, 2);
  if (c == L"set-text" || c == L"box-set-text" || c == L"expect-list-line")
    return count(2, 2);
  if (c == L"expect-list") return true;
  if (c == L"expect-window") return CheckProps(w, 1, kWindowProps, error);
  if (c == L"expect-box") return CheckProps(w, 1, kBoxProps, error);
  if (c == L"expect-control") {
    if (!count(2, 1000)) return false;
    return CheckProps(w, 2, kControlProps, error);
  }
  *error = L"unknown command '" + c + L"'";
  return false;
}

bool ReadScript(const std::wstring& path, std::vector<Step>* steps) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    Print(L"cannot open the script " + path + L" (error " +
          Num(GetLastError()) + L")");
    return false;
  }
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  CloseHandle(f);
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    bytes.erase(0, 3);
  std::wstring text;
  if (!bytes.empty()) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                static_cast<int>(bytes.size()), nullptr, 0);
    if (n == 0) {
      Print(L"the script is not UTF-8: " + path);
      return false;
    }
    text.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                        &text[0], n);
  }
  int number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\n', start);
    std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    ++number;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    Step s{number, line, {}};
    std::wstring error;
    if (!SplitWords(line, &s.words, &error)) {
      Print(L"script line " + Num(number) + L": " + error);
      return false;
    }
    if (!s.words.empty() && s.words[0][0] != L'#') steps->push_back(s);
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return true;
}
