// What the driver's files share: the process being worked, the script's
// steps, and the functions each file offers the others.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "e2e/driver/patterns.h"

const wchar_t kMainClass[] = L"TessavaneForPEFullClass";
const int kPollMs = 20;

// ---- process-wide state (main.cpp) --------------------------------------------

extern DWORD timeoutMs;  // the wait limit of expectations
extern bool shotsEnabled;  // a harness takes the screenshots
extern std::wstring captureDir;  // or the driver does, into this folder
extern HWND mainWindow;
// The process being worked, and whether this driver started it.
extern DWORD programId;
extern HANDLE program;
extern bool startedProgram;
extern int passed;
extern int failed;

using Words = std::vector<std::wstring>;

struct Step {
  int line;
  std::wstring source;
  Words words;
};

// ---- the script and the output (script.cpp) -----------------------------------

// One line of output, straight to the handle: the harness reads the lines as
// they come.
void Print(const std::wstring& text);
std::wstring Quote(const std::wstring& s);
std::wstring Num(long long v);
std::wstring Hex(DWORD v);

bool SplitWords(const std::wstring& line, Words* words, std::wstring* error);
bool ParseInt(const std::wstring& s, long long* v);
bool ParseRange(const std::wstring& s, long long* lo, long long* hi);
bool ParseStyle(const std::wstring& s, DWORD* bits);
// Checks the shape of a step before anything runs.
bool Validate(const Step& s, std::wstring* error);
bool ReadScript(const std::wstring& path, std::vector<Step>* steps);

// ---- finding and reading windows (windows.cpp) --------------------------------

bool OwnedByProgram(HWND w);
// A message to another process that must not hang the driver.
bool Ask(HWND w, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
std::wstring TextOf(HWND w);
std::wstring ClassOf(HWND w);
std::vector<HWND> Children(HWND parent);
// A control of the main window by ID ("1001") or creation order ("#0").
HWND FindControl(const std::wstring& selector);
// Position and size relative to the parent's client area.
RECT ClientRect(HWND w);
// The program's open dialog (message box or file dialog), or nullptr.
HWND OpenBox();
HWND BoxControl(HWND box, int id, const wchar_t* cls = nullptr);
std::wstring OpenBoxText(HWND box);
bool Framed(HWND c, COLORREF* corner, COLORREF* face);
std::vector<std::wstring> ListLines(HWND list);
int DefaultButton(HWND box);
std::wstring IconKind(HWND box);
void Dump();
// The exit code, or false while the program runs.
bool Ended(DWORD* code);
bool WaitForWindow(std::wstring* detail);
// Writes the whole screen as a 24-bit BMP file; false with the reason.
bool CaptureScreen(const std::wstring& path, std::wstring* detail);

// ---- the steps (steps.cpp) ----------------------------------------------------

bool Screenshot(const std::wstring& name, std::wstring* detail);
// Runs one step; a false result with `fatal` stops the script.
bool Run(const Step& s, std::wstring* detail, bool* fatal);
