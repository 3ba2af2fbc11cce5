// A recording stand-in for the window, for the native tests.
//
// Holds the state of every control, logs every view call in order, and
// answers message boxes and the file dialog from a script. Thread-safe: jobs
// report from their own thread as they do on Windows.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ui/view.h"

struct FakeBox {
  BoxOwner owner;
  std::wstring text;
  std::wstring caption;
  uint32_t flags;
};

struct FakeEvent {
  enum Kind { kSetText, kEnable, kProgress, kListReset, kListAdd, kMessageBox,
              kFileDialog, kPostRefresh };
  Kind kind = kSetText;
  ControlId control = kDiskList;
  std::wstring text;      // kSetText, kListAdd, kMessageBox (text)
  std::wstring caption;   // kMessageBox
  uint32_t flags = 0;     // kMessageBox
  BoxOwner owner = BoxOwner::kNone;
  int value = 0;          // kEnable (0/1), kProgress
};

// Puts every control into its state right after the window was created
// (texts as created, Start/Delete enabled, Cancel disabled, progress 0, no
// list lines, no selection) and clears the log and the scripts.
void FakeViewReset();

std::wstring FakeText(ControlId control);
bool FakeEnabled(ControlId control);
int FakeProgress();
std::vector<std::wstring> FakeListLines();
std::vector<FakeEvent> FakeEvents();
std::vector<FakeBox> FakeBoxes();
int FakePostedRefreshes();
// The texts the status label was given, in order.
std::vector<std::wstring> FakeStatusTexts();
// Forgets the logged events (control states and counters stay): lets a test
// look only at what one step did.
void FakeClearEvents();
int FakeFileDialogs();

// Sets what the user typed or picked into a control (no event logged).
void FakeSetText(ControlId control, const std::wstring& text);
// Selects a list line (-1: none), as a click would.
void FakeSelect(int index);

// Answers message boxes: the function sees the box (on the thread that raised
// it) and returns kIdOk / kIdYes / kIdNo. Default: kIdOk for MB_OK boxes,
// kIdYes for MB_YESNO.
void FakeAnswerBoxes(std::function<int(const FakeBox&)> answer);
// The file dialog's answer: a path, or nullptr-like empty for cancel.
void FakeAnswerFileDialog(const std::wstring& path, bool picked);

// Buttons in a state: "idle", "writing" or "wiping", or "other".
std::string FakeButtonState();
