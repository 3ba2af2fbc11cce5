// Works the program the way a user would, through window messages only,
// from a small script. Runs under Wine beside the program, and on Windows.
//
//   e2e_driver.exe PROGRAM [--shots | --capture DIR] [--timeout MS]
//                  [--keep-going] [--set NAME=VALUE]... SCRIPT.txt
//   e2e_driver.exe PROGRAM [...] -e "command" [-e "command" ...]
//
// PROGRAM says which process is worked; only its windows are ever looked at,
// so other programs of the same class on the same desktop are left alone:
//   --start EXE     starts EXE in its own folder and works it; a program the
//                   script leaves running is ended when the script is over
//   --attach NAME   works the one running process of that image name (waits
//                   for it; refuses when there are several)
//
// Screenshots: --shots asks the harness for them on standard output (the
// Wine runs photograph their display); --capture DIR has the driver write
// them itself, as DIR\NAME.bmp (where no harness is); one it cannot take
// there is a warning on the step's line, not a failure. Without either they
// are skipped.
//
// --set NAME=VALUE binds {NAME} before the first step, so that one script
// serves machines that differ in, say, the disk's number.
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
// (e2e/driver/patterns.h)
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
//   expect-list-match P             exactly one line of the list is like P
//                                   (and binds what P binds)
//   select I                        selects list line I (-1: none) and
//                                   notifies the window (LBN_SELCHANGE)
//   select-match P                  selects the one line like P, as select;
//                                   fails when none or several are
//   click ID                        presses an enabled, visible button
//   command ID [NOTIFY]             sends WM_COMMAND as the control would
//   set-text ID T                   types T into a control
//   expect-box PROP...              a dialog of the program is open:
//                                   text T | like P | caption T |
//                                   owner main|none |
//                                   buttons ok|yesno | default ok|yes|no |
//                                   icon error|warning|information|none |
//                                   answer ok|yes|no|cancel (last: the
//                                   button's WM_COMMAND sent to the box)
//   box-set-text ID T               sets a control of the open dialog (an
//                                   edit with that ID first)
//   box-press ID                    presses a button of the open dialog
//   expect-no-box [MS]              no dialog opens within MS (default 300)
//   close                           asks the main window to close
//   expect-exit CODE                the program ends with this exit code
//   sleep MS
//   screenshot NAME                 the screen is photographed (see above)
//   dump                            prints every control and open dialog
//   echo T                          prints T, bound values put in
#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cwchar>

#include "e2e/driver/driver.h"

DWORD timeoutMs = 10000;
bool shotsEnabled = false;
std::wstring captureDir;
HWND mainWindow = nullptr;
DWORD programId = 0;
HANDLE program = nullptr;
bool startedProgram = false;
int passed = 0;
int failed = 0;

namespace {

bool keepGoing = false;

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
  Print(WaitForSingleObject(program, 10000) == WAIT_OBJECT_0
            ? L"the program was still running: ended it"
            : L"the program was still running and did not end when told to");
}

const wchar_t kUsage[] =
    L"usage: e2e_driver --start EXE | --attach NAME [--shots | --capture DIR] "
    L"[--timeout MS] [--keep-going] [--set NAME=VALUE]... SCRIPT | -e COMMAND...";

// "NAME=VALUE" into vars; NAME as {NAME} can hold it.
bool SetVar(const std::wstring& assignment) {
  size_t equals = assignment.find(L'=');
  if (equals == std::wstring::npos || equals == 0) return false;
  std::wstring name = assignment.substr(0, equals);
  for (wchar_t c : name)
    if (!IsNameChar(c)) return false;
  vars[name] = assignment.substr(equals + 1);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<Step> steps;
  bool fromArgs = false;
  std::wstring scriptPath, start, attach;
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    if (a == L"--shots") {
      shotsEnabled = true;
    } else if (a == L"--capture" && i + 1 < argc) {
      captureDir = argv[++i];
    } else if (a == L"--set" && i + 1 < argc) {
      if (!SetVar(argv[++i])) {
        Print(L"--set " + Quote(argv[i]) + L": not NAME=VALUE with a NAME of letters, digits and _");
        return 2;
      }
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

