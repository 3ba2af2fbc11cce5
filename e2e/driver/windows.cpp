// Finding the program's windows and reading them, through messages and
// the screen only: the driver never reaches into the program's memory.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cwchar>

#include "e2e/driver/driver.h"

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

namespace {

BOOL CALLBACK CollectChild(HWND w, LPARAM list) {
  auto* children = reinterpret_cast<std::vector<HWND>*>(list);
  if (GetParent(w) == mainWindow) children->push_back(w);
  return TRUE;
}

}  // namespace

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

namespace {

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

}  // namespace

// The program's open dialog (message box or file dialog), or nullptr.
HWND OpenBox() {
  if (programId == 0) return nullptr;
  BoxSearch search{nullptr};
  EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

namespace {

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

}  // namespace

// The first control of the dialog with this ID, and of this class if one is
// named: a file dialog has a list view with the ID of its Open button, and
// its file-name edit shares its ID with the combo boxes around it.
HWND BoxControl(HWND box, int id, const wchar_t* cls) {
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

// The button drawn as the default one (BS_DEFPUSHBUTTON), 0 if none.
int DefaultButton(HWND box) {
  for (int id : {IDOK, IDYES, IDNO, IDCANCEL}) {
    HWND b = BoxControl(box, id, L"Button");
    if (b != nullptr && (GetWindowLongW(b, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON)
      return id;
  }
  return 0;
}

namespace {

BOOL CALLBACK FindIcon(HWND c, LPARAM arg) {
  DWORD style = static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE));
  if (IsWindowVisible(c) && ClassOf(c) == L"Static" &&
      (style & SS_TYPEMASK) == SS_ICON) {
    *reinterpret_cast<HWND*>(arg) = c;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

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

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

namespace {

void PutLe(unsigned char* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

// The whole virtual screen, as it is drawn now: on Windows no harness is
// there to photograph it.
bool CaptureScreen(const std::wstring& path, std::wstring* detail) {
  const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (width <= 0 || height <= 0) {
    *detail = L"no screen to capture";
    return false;
  }
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool copied = false;
  if (bitmap != nullptr) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    copied = BitBlt(memory, 0, 0, width, height, screen, left, top, SRCCOPY) != FALSE;
    GdiFlush();
    SelectObject(memory, old);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!copied) {
    *detail = L"cannot copy the screen (error " + Num(GetLastError()) + L")";
    if (bitmap != nullptr) DeleteObject(bitmap);
    return false;
  }
  // Rows of 24-bit pixels are padded to whole DWORDs, in the DIB as in the file.
  const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  const uint32_t pixels = stride * static_cast<uint32_t>(height);
  unsigned char head[54] = {'B', 'M'};
  PutLe(head + 2, 54 + pixels, 4);
  PutLe(head + 10, 54, 4);
  PutLe(head + 14, 40, 4);
  PutLe(head + 18, static_cast<uint32_t>(width), 4);
  PutLe(head + 22, static_cast<uint32_t>(height), 4);
  PutLe(head + 26, 1, 2);
  PutLe(head + 28, 24, 2);
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = f != INVALID_HANDLE_VALUE;
  DWORD error = GetLastError();
  DWORD done = 0;
  if (ok) {
    ok = WriteFile(f, head, sizeof head, &done, nullptr) && done == sizeof head &&
         WriteFile(f, bits, pixels, &done, nullptr) && done == pixels;
    error = GetLastError();
    CloseHandle(f);
  }
  DeleteObject(bitmap);
  if (!ok) *detail = L"cannot write " + path + L" (error " + Num(error) + L")";
  return ok;
}
