// Works the program the way a user would, through window messages only,
// from a small script. Runs under Wine beside the program.
//
//   e2e_driver.exe PROGRAM [--shots] [--timeout MS] [--keep-going] SCRIPT.txt
//   e2e_driver.exe PROGRAM [...] -e "command" [-e "command" ...]
//
// PROGRAM says which process is worked; only its windows are ever looked at,
// so other programs of the same class on the same desktop are left alone:
//   --start EXE     starts EXE in its own folder and works it; a program the
//                   script leaves running is ended when the script is over
//   --attach NAME   works the one running process of that image name (waits
//                   for it; refuses when there are several)
//
// A script is UTF-8 text, one command a line, '#' starts a comment line.
// Words are separated by blanks; "quoted" words may hold blanks and the
// escapes \" \\ \n \t. Every expectation waits (up to the timeout) until it
// holds, so a script never needs to sleep for the program to catch up.
// Once a step has failed the rest are reported as not run rather than each
// waiting out its timeout; --keep-going runs them all.
//
// Controls are named by their child ID (1001) or by their place among the
// main window's children in creation order (#0, #1, ...).
//
// A "like" pattern is text in which * stands for any run of characters and
// {NAME} for a decimal number (digits, maybe a point and digits), which the
// first matching step binds to NAME; once bound, {NAME} stands for that text.
// {} is a number never bound. {cwd} is bound from the start to the folder the
// driver runs in. set-text and box-set-text put bound values in as well.
//
//   timeout MS                      wait limit for what follows (default 10000)
//   wait-window                     the main window exists and is visible
//   expect-window PROP...           class C | title T | size W H | client W H |
//                                   style-has A|B | style-lacks A|B
//   expect-children N               number of controls of the main window
//   expect-control SEL PROP...      class C | id N | text T | enabled |
//                                   disabled | visible | hidden | rect X Y W H
//                                   (each number may be a range A..B) |
//                                   style-has A|B | style-lacks A|B |
//                                   like P | bordered | borderless |
//                                   progress N (or A..B) | range LO HI |
//                                   count N | selection N | line I T
//   expect-list T...                the list holds exactly these lines
//   expect-list-line I T            line I of the list
//   select I                        selects list line I (-1: none) and
//                                   notifies the window (LBN_SELCHANGE)
//   click ID                        presses an enabled, visible button
//   command ID [NOTIFY]             sends WM_COMMAND as the control would
//   set-text ID T                   types T into a control
//   expect-box PROP...              a dialog of the program is open:
//                                   text T | like P | caption T |
//                                   owner main|none |
//                                   buttons ok|yesno | default ok|yes|no |
//                                   icon error|warning|information|none |
//                                   answer ok|yes|no|cancel (last)
//   box-set-text ID T               sets a control of the open dialog (an
//                                   edit with that ID first)
//   box-press ID                    presses a button of the open dialog
//   expect-no-box [MS]              no dialog opens within MS (default 300)
//   close                           asks the main window to close
//   expect-exit CODE                the program ends with this exit code
//   sleep MS
//   screenshot NAME                 the harness photographs the screen
//   dump                            prints every control and open dialog
//   echo T                          prints T, bound values put in
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t kMainClass[] = L"TessavaneForPEFullClass";
const int kPollMs = 20;

DWORD timeoutMs = 10000;
bool shotsEnabled = false;
HWND mainWindow = nullptr;
// The process being worked, and whether this driver started it.
DWORD programId = 0;
HANDLE program = nullptr;
bool startedProgram = false;
bool keepGoing = false;
int passed = 0;
int failed = 0;

using Words = std::vector<std::wstring>;
using Vars = std::map<std::wstring, std::wstring>;

// Values bound by "like" patterns, kept from step to step.
Vars vars;

struct Step {
  int line;
  std::wstring source;
  Words words;
};

// ---- output -----------------------------------------------------------------

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()),
                              nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0],
                      n, nullptr, nullptr);
  return s;
}

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

// ---- script parsing ---------------------------------------------------------

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
  if (c == L"screenshot" || c == L"echo") return count(1, 1);
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

// ---- patterns ---------------------------------------------------------------

bool IsNameChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
         (c >= L'0' && c <= L'9') || c == L'_';
}

// The end of "{NAME}" or "{}" starting at `open`, or npos if it is not one.
size_t VariableEnd(const std::wstring& p, size_t open) {
  if (p[open] != L'{') return std::wstring::npos;
  size_t i = open + 1;
  while (i < p.size() && IsNameChar(p[i])) ++i;
  return i < p.size() && p[i] == L'}' ? i : std::wstring::npos;
}

// Lengths of the decimal numbers that start at t[j], longest first.
std::vector<size_t> NumberLengths(const std::wstring& t, size_t j) {
  std::vector<size_t> lengths;
  size_t i = j;
  while (i < t.size() && t[i] >= L'0' && t[i] <= L'9') ++i;
  if (i == j) return lengths;
  size_t whole = i;
  if (i < t.size() && t[i] == L'.') {
    size_t k = i + 1;
    while (k < t.size() && t[k] >= L'0' && t[k] <= L'9') ++k;
    if (k > i + 1) lengths.push_back(k - j);
  }
  for (size_t n = whole; n > j; --n) lengths.push_back(n - j);
  return lengths;
}

bool LikeAt(const std::wstring& p, size_t i, const std::wstring& t, size_t j,
            Vars* bound) {
  if (i == p.size()) return j == t.size();
  if (p[i] == L'*') {
    for (size_t k = j; k <= t.size(); ++k)
      if (LikeAt(p, i + 1, t, k, bound)) return true;
    return false;
  }
  size_t close = VariableEnd(p, i);
  if (close != std::wstring::npos) {
    std::wstring name = p.substr(i + 1, close - i - 1);
    auto known = bound->find(name);
    if (!name.empty() && known != bound->end()) {
      const std::wstring& v = known->second;
      return t.compare(j, v.size(), v) == 0 &&
             LikeAt(p, close + 1, t, j + v.size(), bound);
    }
    for (size_t n : NumberLengths(t, j)) {
      if (!name.empty()) (*bound)[name] = t.substr(j, n);
      if (LikeAt(p, close + 1, t, j + n, bound)) return true;
    }
    if (!name.empty()) bound->erase(name);
    return false;
  }
  return j < t.size() && p[i] == t[j] && LikeAt(p, i + 1, t, j + 1, bound);
}

// Matches and, on success only, keeps what the pattern bound.
bool Like(const std::wstring& pattern, const std::wstring& text) {
  Vars bound = vars;
  if (!LikeAt(pattern, 0, text, 0, &bound)) return false;
  vars = bound;
  return true;
}

// The text with every bound {NAME} replaced by its value.
std::wstring Expand(const std::wstring& p) {
  std::wstring out;
  for (size_t i = 0; i < p.size(); ++i) {
    size_t close = VariableEnd(p, i);
    auto known = close == std::wstring::npos
                     ? vars.end()
                     : vars.find(p.substr(i + 1, close - i - 1));
    if (known == vars.end()) {
      out += p[i];
      continue;
    }
    out += known->second;
    i = close;
  }
  return out;
}

// ---- reading the program's windows --------------------------------------------

bool OwnedByProgram(HWND w) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  return pid == programId;
}

// A message to another process that must not hang the driver.
bool Ask(HWND w, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(w, message, wParam, lParam, SMTO_NORMAL, 5000, &r))
    return false;
  *result = static_cast<LRESULT>(r);
  return true;
}

std::wstring TextOf(HWND w) {
  LRESULT length = 0;
  if (!Ask(w, WM_GETTEXTLENGTH, 0, 0, &length)) return L"<no answer>";
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 2, L'\0');
  LRESULT copied = 0;
  Ask(w, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
      &copied);
  return std::wstring(buffer.data());
}

std::wstring ClassOf(HWND w) {
  wchar_t name[256] = L"";
  GetClassNameW(w, name, 256);
  return name;
}

BOOL CALLBACK CollectChild(HWND w, LPARAM list) {
  auto* children = reinterpret_cast<std::vector<HWND>*>(list);
  if (GetParent(w) == mainWindow) children->push_back(w);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

HWND FindControl(const std::wstring& selector) {
  if (mainWindow == nullptr) return nullptr;
  std::vector<HWND> children = Children(mainWindow);
  long long v = 0;
  if (!selector.empty() && selector[0] == L'#') {
    if (!ParseInt(selector.substr(1), &v) || v < 0 ||
        v >= static_cast<long long>(children.size()))
      return nullptr;
    return children[static_cast<size_t>(v)];
  }
  if (!ParseInt(selector, &v)) return nullptr;
  for (HWND c : children)
    if (GetDlgCtrlID(c) == v) return c;
  return nullptr;
}

// Position and size relative to the parent's client area.
RECT ClientRect(HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  MapWindowPoints(nullptr, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

struct BoxSearch {
  HWND found;
};

BOOL CALLBACK FindBox(HWND w, LPARAM arg) {
  auto* search = reinterpret_cast<BoxSearch*>(arg);
  if (IsWindowVisible(w) && OwnedByProgram(w) && ClassOf(w) == L"#32770") {
    search->found = w;
    return FALSE;
  }
  return TRUE;
}

// The program's open dialog (message box or file dialog), or nullptr.
HWND OpenBox() {
  if (programId == 0) return nullptr;
  BoxSearch search{nullptr};
  EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

struct DescendantSearch {
  int id;
  const wchar_t* cls;
  HWND found;
};

BOOL CALLBACK FindDescendant(HWND w, LPARAM arg) {
  auto* search = reinterpret_cast<DescendantSearch*>(arg);
  if (GetDlgCtrlID(w) == search->id &&
      (search->cls == nullptr || _wcsicmp(ClassOf(w).c_str(), search->cls) == 0)) {
    search->found = w;
    return FALSE;
  }
  return TRUE;
}

// The first control of the dialog with this ID, and of this class if one is
// named: a file dialog has a list view with the ID of its Open button, and
// its file-name edit shares its ID with the combo boxes around it.
HWND BoxControl(HWND box, int id, const wchar_t* cls = nullptr) {
  DescendantSearch search{id, cls, nullptr};
  EnumChildWindows(box, FindDescendant, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// "a dialog is open: CAPTION TEXT", for a step's detail.
std::wstring OpenBoxText(HWND box) {
  HWND t = BoxControl(box, 0xFFFF);
  return L"a dialog is open: " + Quote(TextOf(box)) + L" " +
         Quote(t != nullptr ? TextOf(t) : L"");
}

// Compares the pixel on the control's outer corner with one just inside the
// opposite corner, where no text reaches, as drawn on the screen now.
bool Framed(HWND c, COLORREF* corner, COLORREF* face) {
  RECT r;
  GetWindowRect(c, &r);
  HDC screen = GetDC(nullptr);
  *corner = GetPixel(screen, r.left, r.top);
  *face = GetPixel(screen, r.right - 4, r.bottom - 4);
  ReleaseDC(nullptr, screen);
  return *corner != *face;
}

// ---- acting ----------------------------------------------------------------

struct Delivery {
  HWND target;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  volatile LONG done;
};

DWORD WINAPI Deliver(void* arg) {
  auto* d = static_cast<Delivery*>(arg);
  SendMessageW(d->target, d->message, d->wParam, d->lParam);
  InterlockedExchange(&d->done, 1);
  return 0;
}

// Sends a message the way a click delivers it, from a thread of its own: the
// program may answer by opening a modal box, and the step is over as soon as
// either the message has been handled or a box is up. The record is leaked on
// purpose when the message is still pending at exit.
bool SendAsUser(HWND target, UINT message, WPARAM wParam, LPARAM lParam,
                std::wstring* detail) {
  HWND boxBefore = OpenBox();
  auto* d = new Delivery{target, message, wParam, lParam, 0};
  HANDLE t = CreateThread(nullptr, 0, Deliver, d, 0, nullptr);
  if (t == nullptr) {
    *detail = L"cannot start a thread";
    delete d;
    return false;
  }
  CloseHandle(t);
  DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    if (InterlockedCompareExchange(&d->done, 0, 0) == 1) {
      delete d;
      return true;
    }
    HWND box = OpenBox();
    if (box != nullptr && box != boxBefore) return true;
    Sleep(5);
  }
  *detail = L"the program neither handled the message nor opened a dialog";
  return false;
}

// ---- checks -----------------------------------------------------------------

// Each check appends "what: got" to `detail` when it does not hold.
void Mismatch(std::wstring* detail, const std::wstring& what,
              const std::wstring& got) {
  if (!detail->empty()) *detail += L"; ";
  *detail += what + L" is " + got;
}

bool CheckStyle(DWORD style, const std::wstring& prop, const std::wstring& value,
                std::wstring* detail) {
  DWORD bits = 0;
  ParseStyle(value, &bits);
  bool ok = prop == L"style-has" ? (style & bits) == bits : (style & bits) == 0;
  if (!ok) Mismatch(detail, L"style", Hex(style));
  return ok;
}

bool CheckWindow(const Words& w, std::wstring* detail) {
  if (mainWindow == nullptr || !IsWindow(mainWindow)) {
    *detail = L"no main window";
    return false;
  }
  bool ok = true;
  DWORD style = static_cast<DWORD>(GetWindowLongW(mainWindow, GWL_STYLE));
  for (size_t i = 1; i < w.size();) {
    const std::wstring& p = w[i];
    long long a = 0, b = 0;
    if (p == L"class") {
      std::wstring got = ClassOf(mainWindow);
      if (got != w[i + 1]) ok = false, Mismatch(detail, p, Quote(got));
      i += 2;
    } else if (p == L"title") {
      std::wstring got = TextOf(mainWindow);
      if (got != w[i + 1]) ok = false, Mismatch(detail, p, Quote(got));
      i += 2;
    } else if (p == L"size" || p == L"client") {
      RECT r;
      if (p == L"size") GetWindowRect(mainWindow, &r);
      else GetClientRect(mainWindow, &r);
      ParseInt(w[i + 1], &a);
      ParseInt(w[i + 2], &b);
      long long width = r.right - r.left, height = r.bottom - r.top;
      if (width != a || height != b)
        ok = false, Mismatch(detail, p, Num(width) + L"x" + Num(height));
      i += 3;
    } else {
      ok = CheckStyle(style, p, w[i + 1], detail) && ok;
      i += 2;
    }
  }
  return ok;
}

bool CheckControl(const Words& w, std::wstring* detail) {
  HWND c = FindControl(w[1]);
  if (c == nullptr) {
    *detail = L"no control " + w[1];
    return false;
  }
  bool ok = true;
  DWORD style = static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE));
  for (size_t i = 2; i < w.size();) {
    const std::wstring& p = w[i];
    long long a = 0, b = 0;
    LRESULT r = 0;
    if (p == L"class") {
      std::wstring got = ClassOf(c);
      // Windows reports the system classes in its own capitalisation.
      if (_wcsicmp(got.c_str(), w[i + 1].c_str()) != 0)
        ok = false, Mismatch(detail, p, Quote(got));
      i += 2;
    } else if (p == L"id") {
      ParseInt(w[i + 1], &a);
      if (GetDlgCtrlID(c) != a) ok = false, Mismatch(detail, p, Num(GetDlgCtrlID(c)));
      i += 2;
    } else if (p == L"text") {
      std::wstring got = TextOf(c);
      if (got != w[i + 1]) ok = false, Mismatch(detail, p, Quote(got));
      i += 2;
    } else if (p == L"like") {
      std::wstring got = TextOf(c);
      if (!Like(w[i + 1], got)) ok = false, Mismatch(detail, L"text", Quote(got));
      i += 2;
    } else if (p == L"enabled" || p == L"disabled") {
      bool on = IsWindowEnabled(c) != FALSE;
      if (on != (p == L"enabled"))
        ok = false, Mismatch(detail, L"state", on ? L"enabled" : L"disabled");
      i += 1;
    } else if (p == L"visible" || p == L"hidden") {
      bool on = IsWindowVisible(c) != FALSE;
      if (on != (p == L"visible"))
        ok = false, Mismatch(detail, L"visibility", on ? L"visible" : L"hidden");
      i += 1;
    } else if (p == L"rect") {
      RECT rc = ClientRect(c);
      long long got[4] = {rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top};
      bool same = true;
      for (int k = 0; k < 4; ++k) {
        ParseRange(w[i + 1 + static_cast<size_t>(k)], &a, &b);
        if (got[k] < a || got[k] > b) same = false;
      }
      if (!same)
        ok = false, Mismatch(detail, p, Num(got[0]) + L" " + Num(got[1]) + L" " +
                                            Num(got[2]) + L" " + Num(got[3]));
      i += 5;
    } else if (p == L"style-has" || p == L"style-lacks") {
      ok = CheckStyle(style, p, w[i + 1], detail) && ok;
      i += 2;
    } else if (p == L"bordered" || p == L"borderless") {
      // Edit controls take WS_BORDER out of their style as they are created
      // and draw the frame inside their client area, so look at the screen:
      // a framed control's corner pixel differs from its face.
      COLORREF corner = 0, face = 0;
      bool framed = Framed(c, &corner, &face);
      if (framed != (p == L"bordered"))
        ok = false, Mismatch(detail, L"corner/face", Hex(corner) + L"/" + Hex(face));
      i += 1;
    } else if (p == L"progress") {
      ParseRange(w[i + 1], &a, &b);
      if (!Ask(c, PBM_GETPOS, 0, 0, &r) || r < a || r > b)
        ok = false, Mismatch(detail, p, Num(r));
      i += 2;
    } else if (p == L"range") {
      ParseInt(w[i + 1], &a);
      ParseInt(w[i + 2], &b);
      LRESULT lo = 0, hi = 0;
      Ask(c, PBM_GETRANGE, TRUE, 0, &lo);
      Ask(c, PBM_GETRANGE, FALSE, 0, &hi);
      if (lo != a || hi != b) ok = false, Mismatch(detail, p, Num(lo) + L".." + Num(hi));
      i += 3;
    } else if (p == L"count") {
      ParseInt(w[i + 1], &a);
      if (!Ask(c, LB_GETCOUNT, 0, 0, &r) || r != a) ok = false, Mismatch(detail, p, Num(r));
      i += 2;
    } else if (p == L"selection") {
      ParseInt(w[i + 1], &a);
      if (!Ask(c, LB_GETCURSEL, 0, 0, &r)) r = -2;
      if (r != a) ok = false, Mismatch(detail, p, Num(r));
      i += 2;
    } else {  // line I T
      ParseInt(w[i + 1], &a);
      std::wstring got;
      LRESULT length = 0;
      if (!Ask(c, LB_GETTEXTLEN, static_cast<WPARAM>(a), 0, &length) || length < 0) {
        got = L"<no such line>";
      } else {
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 2, L'\0');
        Ask(c, LB_GETTEXT, static_cast<WPARAM>(a),
            reinterpret_cast<LPARAM>(buffer.data()), &r);
        got = Quote(buffer.data());
      }
      if (got != Quote(w[i + 2])) ok = false, Mismatch(detail, L"line " + w[i + 1], got);
      i += 3;
    }
  }
  return ok;
}

std::vector<std::wstring> ListLines(HWND list) {
  std::vector<std::wstring> lines;
  LRESULT count = 0;
  if (!Ask(list, LB_GETCOUNT, 0, 0, &count)) return lines;
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = 0, r = 0;
    Ask(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0, &length);
    std::vector<wchar_t> buffer(static_cast<size_t>(length < 0 ? 0 : length) + 2, L'\0');
    Ask(list, LB_GETTEXT, static_cast<WPARAM>(i),
        reinterpret_cast<LPARAM>(buffer.data()), &r);
    lines.push_back(buffer.data());
  }
  return lines;
}

bool CheckList(const Words& w, std::wstring* detail) {
  HWND list = FindControl(L"1001");
  if (list == nullptr) {
    *detail = L"no list";
    return false;
  }
  std::vector<std::wstring> lines = ListLines(list);
  Words expected(w.begin() + 1, w.end());
  if (lines == expected) return true;
  std::wstring got;
  for (const std::wstring& l : lines) got += L"\n      " + Quote(l);
  *detail = L"the list holds " + Num(static_cast<long long>(lines.size())) +
            L" line(s)" + got;
  return false;
}

int ButtonId(const std::wstring& name) {
  if (name == L"ok") return IDOK;
  if (name == L"yes") return IDYES;
  if (name == L"no") return IDNO;
  if (name == L"cancel") return IDCANCEL;
  return 0;
}

// The button drawn as the default one (BS_DEFPUSHBUTTON), 0 if none.
int DefaultButton(HWND box) {
  for (int id : {IDOK, IDYES, IDNO, IDCANCEL}) {
    HWND b = BoxControl(box, id, L"Button");
    if (b != nullptr && (GetWindowLongW(b, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON)
      return id;
  }
  return 0;
}

BOOL CALLBACK FindIcon(HWND c, LPARAM arg) {
  DWORD style = static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE));
  if (IsWindowVisible(c) && ClassOf(c) == L"Static" &&
      (style & SS_TYPEMASK) == SS_ICON) {
    *reinterpret_cast<HWND*>(arg) = c;
    return FALSE;
  }
  return TRUE;
}

// Which of the standard icons a dialog shows, told by its colours on the
// screen (the icon itself lives in the other process): red for error, yellow
// for warning, blue for information; "none" without an icon.
std::wstring IconKind(HWND box) {
  HWND icon = nullptr;
  EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&icon));
  // A box without an icon may keep an empty icon control.
  LRESULT shown = 0;
  if (icon == nullptr || (Ask(icon, STM_GETICON, 0, 0, &shown) && shown == 0))
    return L"none";
  RECT r;
  GetWindowRect(icon, &r);
  int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return L"none";
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr) {
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return L"unknown";
  }
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  int red = 0, yellow = 0, blue = 0;
  const DWORD* pixel = static_cast<const DWORD*>(bits);
  for (int i = 0; i < width * height; ++i) {
    int b = pixel[i] & 0xFF, g = (pixel[i] >> 8) & 0xFF, rr = (pixel[i] >> 16) & 0xFF;
    if (rr > 160 && g < 110 && b < 110) ++red;
    else if (rr > 180 && g > 140 && b < 110) ++yellow;
    else if (b > 120 && rr < 110) ++blue;
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  int least = width * height / 20;
  if (red >= least && red >= yellow && red >= blue) return L"error";
  if (yellow >= least && yellow >= blue) return L"warning";
  if (blue >= least) return L"information";
  return L"unknown";
}

bool CheckBox(HWND box, const Words& w, std::wstring* detail) {
  bool ok = true;
  for (size_t i = 1; i + 1 < w.size(); i += 2) {
    const std::wstring& p = w[i];
    const std::wstring& v = w[i + 1];
    if (p == L"text" || p == L"like") {
      HWND t = BoxControl(box, 0xFFFF);
      std::wstring got = t != nullptr ? TextOf(t) : L"<no text>";
      bool same = p == L"text" ? got == v : Like(v, got);
      if (!same) ok = false, Mismatch(detail, L"text", Quote(got));
    } else if (p == L"caption") {
      std::wstring got = TextOf(box);
      if (got != v) ok = false, Mismatch(detail, p, Quote(got));
    } else if (p == L"owner") {
      HWND owner = GetWindow(box, GW_OWNER);
      std::wstring got = owner == nullptr ? L"none"
                         : owner == mainWindow ? L"main" : Hex(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(owner)));
      if (got != v) ok = false, Mismatch(detail, p, got);
    } else if (p == L"buttons") {
      bool hasOk = BoxControl(box, IDOK, L"Button") != nullptr;
      bool hasYes = BoxControl(box, IDYES, L"Button") != nullptr;
      bool hasNo = BoxControl(box, IDNO, L"Button") != nullptr;
      std::wstring got = hasYes && hasNo && !hasOk ? L"yesno"
                         : hasOk && !hasYes && !hasNo ? L"ok" : L"other";
      if (got != v) ok = false, Mismatch(detail, p, got);
    } else if (p == L"icon") {
      std::wstring got = IconKind(box);
      if (got != v) ok = false, Mismatch(detail, p, got);
    } else if (p == L"default") {
      int got = DefaultButton(box);
      if (got != ButtonId(v)) ok = false, Mismatch(detail, p, Num(got));
    }
  }
  return ok;
}

// ---- running ---------------------------------------------------------------

// Retries `check` until it holds or the time is up.
template <typename Check>
bool Eventually(Check check, std::wstring* detail) {
  DWORD start = GetTickCount();
  while (true) {
    detail->clear();
    // A failed attempt must not leave bindings behind.
    Vars before = vars;
    if (check(detail)) return true;
    vars = before;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(kPollMs);
  }
}

bool PressButton(HWND box, int id, std::wstring* detail) {
  HWND b = BoxControl(box, id, L"Button");
  if (b == nullptr) {
    *detail = L"the dialog has no button " + Num(id);
    return false;
  }
  PostMessageW(b, BM_CLICK, 0, 0);
  return true;
}

BOOL CALLBACK PrintChild(HWND c, LPARAM) {
  RECT r;
  GetWindowRect(c, &r);
  Print(L"    id " + Num(GetDlgCtrlID(c)) + L" " + Quote(ClassOf(c)) + L" style " +
        Hex(static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE))) +
        (IsWindowVisible(c) ? L" visible" : L" hidden") + L" screen " +
        Num(r.left) + L"," + Num(r.top) + L" " + Num(r.right - r.left) + L"x" +
        Num(r.bottom - r.top) + L" text " + Quote(TextOf(c)));
  return TRUE;
}

void DumpChildren(HWND w) { EnumChildWindows(w, PrintChild, 0); }

void Dump() {
  if (mainWindow == nullptr) {
    Print(L"  (no main window)");
    return;
  }
  RECT r;
  GetWindowRect(mainWindow, &r);
  Print(L"  window " + Quote(ClassOf(mainWindow)) + L" " + Quote(TextOf(mainWindow)) +
        L" style " + Hex(static_cast<DWORD>(GetWindowLongW(mainWindow, GWL_STYLE))) +
        L" size " + Num(r.right - r.left) + L"x" + Num(r.bottom - r.top));
  std::vector<HWND> children = Children(mainWindow);
  for (size_t i = 0; i < children.size(); ++i) {
    HWND c = children[i];
    RECT rc = ClientRect(c);
    RECT inner;
    GetClientRect(c, &inner);
    std::wstring line = L"  #" + Num(static_cast<long long>(i)) + L" id " +
                        Num(GetDlgCtrlID(c)) + L" " + Quote(ClassOf(c)) +
                        L" style " + Hex(static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE))) +
                        L" ex " + Hex(static_cast<DWORD>(GetWindowLongW(c, GWL_EXSTYLE))) +
                        L" rect " + Num(rc.left) + L" " + Num(rc.top) + L" " +
                        Num(rc.right - rc.left) + L" " + Num(rc.bottom - rc.top) +
                        L" client " + Num(inner.right) + L"x" + Num(inner.bottom) +
                        (IsWindowEnabled(c) ? L" enabled" : L" disabled") +
                        L" text " + Quote(TextOf(c));
    if (_wcsicmp(ClassOf(c).c_str(), L"msctls_progress32") == 0) {
      LRESULT pos = 0, lo = 0, hi = 0;
      Ask(c, PBM_GETPOS, 0, 0, &pos);
      Ask(c, PBM_GETRANGE, TRUE, 0, &lo);
      Ask(c, PBM_GETRANGE, FALSE, 0, &hi);
      line += L" pos " + Num(pos) + L" range " + Num(lo) + L".." + Num(hi);
    }
    Print(line);
    if (_wcsicmp(ClassOf(c).c_str(), L"ListBox") == 0) {
      LRESULT sel = 0;
      Ask(c, LB_GETCURSEL, 0, 0, &sel);
      Print(L"      selection " + Num(sel));
      for (const std::wstring& l : ListLines(c)) Print(L"      " + Quote(l));
    }
  }
  HWND box = OpenBox();
  if (box != nullptr) {
    HWND owner = GetWindow(box, GW_OWNER);
    Print(L"  dialog " + Quote(TextOf(box)) + L" owner " +
          (owner == nullptr ? L"none" : owner == mainWindow ? L"main" : L"other") +
          L" default " + Num(DefaultButton(box)) + L" icon " + IconKind(box));
    DumpChildren(box);
  }
}

struct MainSearch {
  HWND found;
  bool hidden;
};

BOOL CALLBACK FindMain(HWND w, LPARAM arg) {
  auto* search = reinterpret_cast<MainSearch*>(arg);
  if (!OwnedByProgram(w) || ClassOf(w) != kMainClass) return TRUE;
  if (!IsWindowVisible(w)) {
    search->hidden = true;
    return TRUE;
  }
  search->found = w;
  return FALSE;
}

// The exit code, or false while the program runs.
bool Ended(DWORD* code) {
  if (WaitForSingleObject(program, 0) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(program, code);
  return true;
}

// Waits for the program's main window; gives up at once if the program ends.
bool WaitForWindow(std::wstring* detail) {
  DWORD start = GetTickCount();
  while (true) {
    DWORD code = 0;
    if (Ended(&code)) {
      *detail = L"the program has ended (exit code " + Num(code) + L")";
      return false;
    }
    MainSearch search{nullptr, false};
    EnumWindows(FindMain, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
      mainWindow = search.found;
      return true;
    }
    if (GetTickCount() - start >= timeoutMs) {
      *detail = search.hidden ? L"the window is hidden" : L"no window of that class";
      HWND box = OpenBox();
      if (box != nullptr) *detail += L"; " + OpenBoxText(box);
      return false;
    }
    Sleep(kPollMs);
  }
}

// ---- the program ------------------------------------------------------------

bool StartProgram(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  wchar_t* name = nullptr;
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, &name);
  if (n == 0 || n >= MAX_PATH || name == nullptr) {
    Print(L"cannot resolve the program's path " + Quote(path));
    return false;
  }
  // Started from its own folder, as from Explorer: it reads machine.txt and
  // prohibited_disks.txt there.
  std::wstring folder(full, static_cast<size_t>(name - full));
  std::wstring command = L"\"" + std::wstring(full) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(full, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &info)) {
    Print(L"cannot start " + Quote(full) + L" (error " + Num(GetLastError()) + L")");
    return false;
  }
  CloseHandle(info.hThread);
  program = info.hProcess;
  programId = info.dwProcessId;
  startedProgram = true;
  return true;
}

// The one process of this image name; waits for it to appear.
bool AttachProgram(const std::wstring& image) {
  DWORD start = GetTickCount();
  std::vector<DWORD> ids;
  while (true) {
    ids.clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
      PROCESSENTRY32W entry = {};
      entry.dwSize = sizeof entry;
      for (BOOL more = Process32FirstW(snapshot, &entry); more;
           more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, image.c_str()) == 0)
          ids.push_back(entry.th32ProcessID);
      CloseHandle(snapshot);
    }
    if (!ids.empty() || GetTickCount() - start >= timeoutMs) break;
    Sleep(100);
  }
  if (ids.size() != 1) {
    Print(ids.empty() ? L"no process named " + image + L" is running"
                      : Num(static_cast<long long>(ids.size())) + L" processes named " +
                            image + L" are running; cannot tell which to work");
    return false;
  }
  program = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ids[0]);
  if (program == nullptr) {
    Print(L"cannot open the process of " + image + L" (error " + Num(GetLastError()) + L")");
    return false;
  }
  programId = ids[0];
  return true;
}

bool Screenshot(const std::wstring& name, std::wstring* detail) {
  if (!shotsEnabled) {
    *detail = L"skipped (no harness)";
    return true;
  }
  std::wstring flag = L"shot-" + name + L".done";
  DeleteFileW(flag.c_str());
  Print(L"SCREENSHOT " + name);
  DWORD start = GetTickCount();
  while (GetFileAttributesW(flag.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() - start > 30000) {
      *detail = L"the harness did not take it";
      return false;
    }
    Sleep(kPollMs);
  }
  return true;
}

// Runs one step; a false result with `fatal` stops the script.
bool Run(const Step& s, std::wstring* detail, bool* fatal) {
  const Words& w = s.words;
  const std::wstring& c = w[0];
  long long a = 0;
  if (w.size() > 1) ParseInt(w[1], &a);

  if (c == L"timeout") {
    timeoutMs = static_cast<DWORD>(a);
    return true;
  }
  if (c == L"sleep") {
    Sleep(static_cast<DWORD>(a));
    return true;
  }
  if (c == L"echo") {
    *detail = Expand(w[1]);
    return true;
  }
  if (c == L"wait-window") {
    *fatal = true;
    return WaitForWindow(detail);
  }
  if (c == L"screenshot") return Screenshot(w[1], detail);
  if (c == L"dump") {
    Dump();
    return true;
  }
  if (mainWindow == nullptr) {
    *detail = L"no main window yet (wait-window first)";
    *fatal = true;
    return false;
  }
  if (c == L"expect-window")
    return Eventually([&](std::wstring* d) { return CheckWindow(w, d); }, detail);
  if (c == L"expect-children")
    return Eventually(
        [&](std::wstring* d) {
          long long n = static_cast<long long>(Children(mainWindow).size());
          if (n == a) return true;
          *d = L"there are " + Num(n);
          return false;
        },
        detail);
  if (c == L"expect-control")
    return Eventually([&](std::wstring* d) { return CheckControl(w, d); }, detail);
  if (c == L"expect-list")
    return Eventually([&](std::wstring* d) { return CheckList(w, d); }, detail);
  if (c == L"expect-list-line") {
    Words as{L"expect-control", L"1001", L"line", w[1], w[2]};
    return Eventually([&](std::wstring* d) { return CheckControl(as, d); }, detail);
  }
  if (c == L"select") {
    HWND list = FindControl(L"1001");
    if (list == nullptr) {
      *detail = L"no list";
      return false;
    }
    LRESULT r = 0;
    Ask(list, LB_SETCURSEL, static_cast<WPARAM>(a), 0, &r);
    if (a >= 0 && r != a) {
      *detail = L"the list has no line " + w[1];
      return false;
    }
    return SendAsUser(mainWindow, WM_COMMAND,
                      MAKEWPARAM(GetDlgCtrlID(list), LBN_SELCHANGE),
                      reinterpret_cast<LPARAM>(list), detail);
  }
  if (c == L"click") {
    HWND b = FindControl(w[1]);
    if (b == nullptr) {
      *detail = L"no control " + w[1];
      return false;
    }
    if (!IsWindowEnabled(b) || !IsWindowVisible(b)) {
      *detail = L"the control is disabled or hidden; a user cannot press it";
      return false;
    }
    return SendAsUser(b, BM_CLICK, 0, 0, detail);
  }
  if (c == L"command") {
    long long notify = 0;
    if (w.size() > 2) ParseInt(w[2], &notify);
    HWND from = FindControl(w[1]);
    return SendAsUser(mainWindow, WM_COMMAND,
                      MAKEWPARAM(static_cast<WORD>(a), static_cast<WORD>(notify)),
                      reinterpret_cast<LPARAM>(from), detail);
  }
  if (c == L"set-text") {
    HWND t = FindControl(w[1]);
    LRESULT r = 0;
    std::wstring text = Expand(w[2]);
    if (t == nullptr || !Ask(t, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &r)) {
      *detail = L"cannot set the text of " + w[1];
      return false;
    }
    return true;
  }
  if (c == L"expect-box") {
    HWND box = nullptr;
    bool ok = Eventually(
        [&](std::wstring* d) {
          box = OpenBox();
          if (box == nullptr) {
            *d = L"no dialog is open";
            return false;
          }
          return CheckBox(box, w, d);
        },
        detail);
    if (!ok) return false;
    if (w.size() >= 3 && w[w.size() - 2] == L"answer") {
      int id = ButtonId(w.back());
      if (!PressButton(box, id, detail)) return false;
      return Eventually(
          [&](std::wstring* d) {
            if (!IsWindow(box) || !IsWindowVisible(box)) return true;
            *d = L"the dialog is still open";
            return false;
          },
          detail);
    }
    return true;
  }
  if (c == L"box-set-text" || c == L"box-press") {
    HWND box = OpenBox();
    if (box == nullptr) {
      *detail = L"no dialog is open";
      return false;
    }
    HWND t = c == L"box-press" ? BoxControl(box, static_cast<int>(a), L"Button")
                               : BoxControl(box, static_cast<int>(a), L"Edit");
    if (t == nullptr) t = BoxControl(box, static_cast<int>(a));
    if (t == nullptr) {
      *detail = L"the dialog has no control " + w[1];
      return false;
    }
    if (c == L"box-press") return PressButton(box, static_cast<int>(a), detail);
    LRESULT r = 0;
    std::wstring text = Expand(w[2]);
    return Ask(t, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &r);
  }
  if (c == L"expect-no-box") {
    DWORD settle = w.size() > 1 ? static_cast<DWORD>(a) : 300;
    DWORD start = GetTickCount();
    do {
      HWND box = OpenBox();
      if (box != nullptr) {
        *detail = OpenBoxText(box);
        return false;
      }
      Sleep(kPollMs);
    } while (GetTickCount() - start < settle);
    return true;
  }
  if (c == L"close") {
    PostMessageW(mainWindow, WM_CLOSE, 0, 0);
    return true;
  }
  // expect-exit
  DWORD wait = WaitForSingleObject(program, timeoutMs);
  if (wait != WAIT_OBJECT_0) {
    *detail = L"the program is still running";
    return false;
  }
  DWORD code = 0;
  GetExitCodeProcess(program, &code);
  if (static_cast<long long>(code) != a) {
    *detail = L"exit code " + Num(code);
    return false;
  }
  return true;
}

// Ends a program the script left running, so that the harness can check
// its disks; the screen is photographed first when a step failed.
void EndProgram() {
  DWORD code = 0;
  if (WaitForSingleObject(program, 3000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(program, &code);
    Print(L"program exit code " + Num(code));
    return;
  }
  std::wstring ignored;
  if (failed > 0) Screenshot(L"failure", &ignored);
  TerminateProcess(program, 1);
  WaitForSingleObject(program, 10000);
  Print(L"the program was still running: ended it");
}

const wchar_t kUsage[] =
    L"usage: e2e_driver --start EXE | --attach NAME [--shots] [--timeout MS] "
    L"[--keep-going] SCRIPT | -e COMMAND...";

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<Step> steps;
  bool fromArgs = false;
  std::wstring scriptPath, start, attach;
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    if (a == L"--shots") {
      shotsEnabled = true;
    } else if (a == L"--keep-going") {
      keepGoing = true;
    } else if (a == L"--start" && i + 1 < argc) {
      start = argv[++i];
    } else if (a == L"--attach" && i + 1 < argc) {
      attach = argv[++i];
    } else if (a == L"--timeout" && i + 1 < argc) {
      timeoutMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (a == L"-e" && i + 1 < argc) {
      fromArgs = true;
      Step s{static_cast<int>(steps.size()) + 1, argv[++i], {}};
      std::wstring error;
      if (!SplitWords(s.source, &s.words, &error) || s.words.empty()) {
        Print(L"command " + Quote(s.source) + L": " + (error.empty() ? L"empty" : error));
        return 2;
      }
      steps.push_back(s);
    } else if (scriptPath.empty() && !fromArgs) {
      scriptPath = a;
    } else {
      Print(kUsage);
      return 2;
    }
  }
  if (start.empty() == attach.empty() || (!fromArgs && scriptPath.empty())) {
    Print(kUsage);
    return 2;
  }
  if (!fromArgs && !ReadScript(scriptPath, &steps)) return 2;
  bool valid = true;
  for (const Step& s : steps) {
    std::wstring error;
    if (!Validate(s, &error)) {
      Print(L"script line " + Num(s.line) + L": " + error);
      valid = false;
    }
  }
  if (!valid) return 2;

  wchar_t cwd[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, cwd);
  vars[L"cwd"] = cwd;
  if (!(start.empty() ? AttachProgram(attach) : StartProgram(start))) return 2;

  int notRun = 0;
  bool stopped = false;
  for (const Step& s : steps) {
    if (stopped) {
      Print(L"not run " + Num(s.line) + L": " + s.source);
      ++notRun;
      continue;
    }
    std::wstring detail;
    bool fatal = false;
    bool ok = Run(s, &detail, &fatal);
    std::wstring head = (ok ? L"ok   " : L"FAIL ") + Num(s.line) + L": " + s.source;
    Print(detail.empty() ? head : head + (ok ? L"  -- " : L"\n      ") + detail);
    if (ok) {
      ++passed;
    } else {
      ++failed;
      stopped = !keepGoing || fatal;
    }
  }
  Print(Num(passed) + L" passed, " + Num(failed) + L" failed" +
        (notRun > 0 ? L", " + Num(notRun) + L" not run" : L""));
  if (startedProgram) EndProgram();
  return failed == 0 ? 0 : 1;
}
