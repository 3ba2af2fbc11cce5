// The process entry, the main window with its fixed layout, and the view
// seam over the real controls. Everything the window does beyond creating
// itself lives in the portable command and list code.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include "core/text.h"
#include "ui/commands.h"
#include "ui/view.h"

namespace {

// Created once on the UI thread before any job can start, then only read.
HWND DiskList;
HWND ImagePathBox;
HWND StartButton;
HWND CancelButton;
HWND DeleteButton;
HWND SerialBox;
HWND ProgressBar;
HWND StatusLabel;
HWND SpeedLabel;

const wchar_t kClassName[] = L"TessavaneForPEFullClass";

struct ControlLayout {
  const wchar_t* className;
  const wchar_t* text;
  DWORD style;
  int x, y, width, height;
  int id;
  HWND* handle;  // nullptr: the handle is not kept
};

// Creation order is the table order.
const ControlLayout kControls[] = {
    {L"LISTBOX", nullptr, WS_VSCROLL | LBS_NOTIFY, 10, 10, 600, 220, kDiskList,
     &DiskList},
    {L"BUTTON", L"刷新", 0, 620, 10, 120, 28, kRefreshButton, nullptr},
    {L"STATIC", L"镜像文件:", 0, 10, 240, 100, 22, 0, nullptr},
    {L"EDIT", L"", WS_BORDER, 110, 238, 500, 24, kImagePathBox, &ImagePathBox},
    {L"BUTTON", L"选择...", 0, 620, 238, 120, 24, kBrowseButton, nullptr},
    {L"BUTTON", L"开始写入", 0, 10, 276, 140, 32, kStartButton, &StartButton},
    {L"BUTTON", L"取消", WS_DISABLED, 160, 276, 120, 32, kCancelButton,
     &CancelButton},
    {L"BUTTON", L"删除全部分区", 0, 290, 276, 140, 32, kDeleteButton,
     &DeleteButton},
    {L"STATIC", L"硬盘唯一编号:", 0, 10, 314, 140, 22, 0, nullptr},
    {L"EDIT", L"", WS_BORDER | ES_READONLY, 150, 312, 600, 24, kSerialBox,
     &SerialBox},
    {L"msctls_progress32", nullptr, 0, 10, 346, 740, 20, kProgressBar, &ProgressBar},
    {L"STATIC", L"状态：待命", 0, 10, 376, 740, 22, kStatusLabel, &StatusLabel},
    {L"STATIC", L"速度：-", 0, 10, 404, 740, 22, kSpeedLabel, &SpeedLabel},
};

void InitCommonControlClasses() {
  INITCOMMONCONTROLSEX icc;
  static_assert(sizeof icc == 8, "the structure size the controls expect");
  icc.dwSize = sizeof icc;
  icc.dwICC = ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&icc);
}

void CreateControls(HWND window) {
  for (const ControlLayout& c : kControls) {
    // A control that cannot be created is left out; the rest still work.
    HWND h = CreateWindowExW(0, c.className, c.text,
                             WS_CHILD | WS_VISIBLE | c.style, c.x, c.y,
                             c.width, c.height, window,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)),
                             nullptr, nullptr);
    if (c.handle != nullptr) *c.handle = h;
  }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam,
                            LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      InitCommonControlClasses();
      CreateControls(window);
      InitializeWindowState();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_COMMAND:
      HandleCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

HWND MainWindow() { return GetParent(DiskList); }

HWND ControlHandle(ControlId control) {
  switch (control) {
    case kDiskList: return DiskList;
    case kImagePathBox: return ImagePathBox;
    case kStartButton: return StartButton;
    case kCancelButton: return CancelButton;
    case kDeleteButton: return DeleteButton;
    case kSerialBox: return SerialBox;
    case kProgressBar: return ProgressBar;
    case kStatusLabel: return StatusLabel;
    case kSpeedLabel: return SpeedLabel;
    default:
      // Refresh and Browse keep no handle: nothing ever changes them.
      return nullptr;
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  SetProcessDPIAware();

  WNDCLASSW wc = {};
  wc.style = 0;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  wc.lpszClassName = kClassName;
  RegisterClassW(&wc);

  InitCommonControlClasses();

  HWND window = CreateWindowExW(0, kClassName, L"DovrelTessavane - IMG镜像写盘器",
                                WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                                CW_USEDEFAULT, 780, 490, nullptr, nullptr,
                                instance, nullptr);
  if (window == nullptr) return 0;
  ShowWindow(window, showCommand);
  UpdateWindow(window);

  MSG msg;
  // GetMessageW's -1 (an invalid call) cannot happen with a null window
  // filter; treat it as the end all the same rather than spin.
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

// ---- the view seam -----------------------------------------------------------

void ViewSetText(ControlId control, const wchar_t* text) {
  SetWindowTextW(ControlHandle(control), text);
}

void ViewGetText(ControlId control, wchar_t* buffer, int capacity) {
  if (capacity <= 0) return;
  buffer[0] = L'\0';
  GetWindowTextW(ControlHandle(control), buffer, capacity);
}

void ViewEnable(ControlId control, bool enabled) {
  EnableWindow(ControlHandle(control), enabled ? TRUE : FALSE);
}

void ViewSetProgress(int position) {
  SendMessageW(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void ViewListReset() { SendMessageW(DiskList, LB_RESETCONTENT, 0, 0); }

void ViewListAdd(const wchar_t* line) {
  SendMessageW(DiskList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
}

int ViewListSelection() {
  LRESULT index = SendMessageW(DiskList, LB_GETCURSEL, 0, 0);
  return index == LB_ERR ? -1 : static_cast<int>(index);
}

int ViewMessageBox(BoxOwner owner, const wchar_t* text, const wchar_t* caption,
                   uint32_t flags) {
  HWND ownerWindow = owner == BoxOwner::kMainWindow ? MainWindow() : nullptr;
  return MessageBoxW(ownerWindow, text, caption, flags);
}

bool ViewOpenFileDialog(wchar_t* path, int capacity) {
  wchar_t file[260] = L"";
  OPENFILENAMEW ofn = {};
  static_assert(sizeof ofn == 152, "the 64-bit OPENFILENAMEW");
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = MainWindow();
  ofn.lpstrFilter = L"Image Files\0*.img;*.iso;*.bin\0All Files\0*.*\0";
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = 260;
  ofn.lpstrTitle = L"选择镜像文件";
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (!GetOpenFileNameW(&ofn)) return false;
  if (capacity <= 0) return false;
  CopyText(path, static_cast<size_t>(capacity), file);
  return true;
}

void ViewPostRefresh() {
  PostMessageW(MainWindow(), WM_COMMAND, MAKEWPARAM(kRefreshButton, BN_CLICKED),
               0);
}
