// The steps: acting as a user would, checking what the window shows, and
// running one step of the script.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>

#include "e2e/driver/driver.h"

namespace {

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

// The one line of the list like `pattern`, keeping what it binds; with none
// or several, false and what the list holds. Several is a failure, not a
// pick: a script that names a disk must name one.
bool MatchingLine(const std::wstring& pattern, int* index, std::wstring* detail) {
  HWND list = FindControl(L"1001");
  if (list == nullptr) {
    *detail = L"no list";
    return false;
  }
  std::vector<std::wstring> lines = ListLines(list);
  Vars before = vars, bound;
  int matches = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!Like(pattern, lines[i])) continue;
    if (++matches == 1) {
      *index = static_cast<int>(i);
      bound = vars;
    }
    vars = before;
  }
  if (matches == 1) {
    vars = bound;
    return true;
  }
  std::wstring got;
  for (const std::wstring& l : lines) got += L"\n      " + Quote(l);
  *detail = Num(matches) + L" of the " + Num(static_cast<long long>(lines.size())) +
            L" lines match" + got;
  return false;
}

int ButtonId(const std::wstring& name) {
  if (name == L"ok") return IDOK;
  if (name == L"yes") return IDYES;
  if (name == L"no") return IDNO;
  if (name == L"cancel") return IDCANCEL;
  return 0;
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
  // The button's own notification, sent to the box: BM_CLICK may fail when
  // the box is not the active window, as on a runner whose foreground
  // window is its console.
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b));
  return true;
}

}  // namespace

bool Screenshot(const std::wstring& name, std::wstring* detail) {
  if (!captureDir.empty()) {
    // A picture that cannot be taken (no desktop to copy, no room) is worth
    // a warning in the log, never the rest of the run.
    std::wstring path = captureDir + L"\\" + name + L".bmp";
    if (!CaptureScreen(path, detail)) {
      *detail = L"WARNING: no screenshot: " + *detail;
      return true;
    }
    *detail = path;
    return true;
  }
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
  if (c == L"expect-list-match") {
    int index = 0;
    return Eventually([&](std::wstring* d) { return MatchingLine(w[1], &index, d); },
                      detail);
  }
  if (c == L"select" || c == L"select-match") {
    if (c == L"select-match") {
      int index = 0;
      if (!Eventually([&](std::wstring* d) { return MatchingLine(w[1], &index, d); },
                      detail))
        return false;
      a = index;
      *detail = L"line " + Num(index);
    }
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
