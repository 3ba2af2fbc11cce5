// The window as the jobs and the command logic see it.
//
// ui/window_win32.cpp implements these over the real controls; the native
// tests link a recording fake. Every function may be called from any thread:
// on Windows a control update from a worker is a synchronous window call that
// completes on the UI thread before it returns.
#pragma once

#include <cstdint>

// Control identifiers, also the child IDs of the window's controls.
enum ControlId : int {
  kDiskList = 1001,
  kRefreshButton = 1002,
  kBrowseButton = 1003,
  kImagePathBox = 1004,
  kStartButton = 1007,
  kCancelButton = 1008,
  kProgressBar = 1009,
  kStatusLabel = 1010,
  kSpeedLabel = 1011,
  kSerialBox = 1012,
  kDeleteButton = 1013,
};

// Message box flags and answers, with their Windows values.
constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbYesNo = 0x4;
constexpr uint32_t kMbIconError = 0x10;
constexpr uint32_t kMbIconWarning = 0x30;
constexpr uint32_t kMbIconInformation = 0x40;
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Who owns a message box: the main window (commands) or nobody (jobs).
enum class BoxOwner { kMainWindow, kNone };

// SetWindowTextW on a control.
void ViewSetText(ControlId control, const wchar_t* text);
// GetWindowTextW: at most capacity - 1 characters, always terminated.
void ViewGetText(ControlId control, wchar_t* buffer, int capacity);
// EnableWindow.
void ViewEnable(ControlId control, bool enabled);
// PBM_SETPOS on the progress bar.
void ViewSetProgress(int position);

// The disk list: LB_RESETCONTENT, LB_ADDSTRING, LB_GETCURSEL (-1: none).
void ViewListReset();
void ViewListAdd(const wchar_t* line);
int ViewListSelection();

// MessageBoxW; blocks the calling thread until answered. Returns kIdOk,
// kIdYes or kIdNo.
int ViewMessageBox(BoxOwner owner, const wchar_t* text, const wchar_t* caption,
                   uint32_t flags);

// The open-file dialog of Browse (owned by the main window, filters
// "Image Files" / "*.img;*.iso;*.bin" and "All Files" / "*.*", title
// "选择镜像文件", OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST). On a pick stores the
// full path (at most capacity - 1 characters) and returns true; false when
// cancelled or failed, leaving `path` unspecified.
bool ViewOpenFileDialog(wchar_t* path, int capacity);

// PostMessageW of the Refresh command (1002, BN_CLICKED, no lParam) to the
// main window: the command handler runs it later on the UI thread.
void ViewPostRefresh();

// printf-style (see FormatText) into a 512-character buffer, cut at 511
// characters, set as the text of the status label.
void SetStatus(const wchar_t* format, ...);
