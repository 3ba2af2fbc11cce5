// Starts tessavane.exe with e2e_device_shim.dll in it, for the real-device
// test under Wine. The executable file stays as built: the launcher starts
// it as its debugger, stops it at its entry point (the loader is done, no
// code of the program has run), has it load the shim on a thread of its own
// while its main thread waits, then lets it go and stops debugging. Then it
// waits for the program and ends with its exit code.
//
//   e2e_device_launch.exe --device PATH --vendor V --product P --serial S
//                         [--removable] PROGRAM
//
// The shim's answers go to it through the environment (e2e/device/shim.cpp).
// Exit code: the program's, or 2 when it could not be started with the shim.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void Say(const wchar_t* text) {
  std::wprintf(L"launch: %ls\n", text);
  std::fflush(stdout);
}

void Say(const wchar_t* text, DWORD number) {
  std::wprintf(L"launch: %ls %lu\n", text, static_cast<unsigned long>(number));
  std::fflush(stdout);
}

// Lets an event that is not ours go on: the program's own exceptions stay
// its own, breakpoints (the loader's) are passed over.
void PassOn(const DEBUG_EVENT& event) {
  ContinueDebugEvent(event.dwProcessId, event.dwThreadId,
                     event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                             event.u.Exception.ExceptionRecord.ExceptionCode !=
                                 EXCEPTION_BREAKPOINT
                         ? DBG_EXCEPTION_NOT_HANDLED
                         : DBG_CONTINUE);
}

// Runs the new process to its entry point, held there by a breakpoint.
bool StepToEntry(HANDLE process, HANDLE thread, DWORD threadId, DWORD processId,
                 void* entry) {
  unsigned char original = 0, trap = 0xCC;
  SIZE_T n = 0;
  DWORD old = 0;
  if (!ReadProcessMemory(process, entry, &original, 1, &n) ||
      !VirtualProtectEx(process, entry, 1, PAGE_EXECUTE_READWRITE, &old) ||
      !WriteProcessMemory(process, entry, &trap, 1, &n)) {
    Say(L"cannot put a breakpoint at the entry point, error", GetLastError());
    return false;
  }
  FlushInstructionCache(process, entry, 1);
  ContinueDebugEvent(processId, threadId, DBG_CONTINUE);
  DEBUG_EVENT event;
  while (WaitForDebugEvent(&event, 60000)) {
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile)
      CloseHandle(event.u.LoadDll.hFile);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      Say(L"the program ended before its entry point, exit code",
          event.u.ExitProcess.dwExitCode);
      return false;
    }
    if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
        event.dwThreadId == threadId &&
        event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT &&
        event.u.Exception.ExceptionRecord.ExceptionAddress == entry) {
      WriteProcessMemory(process, entry, &original, 1, &n);
      VirtualProtectEx(process, entry, 1, old, &old);
      FlushInstructionCache(process, entry, 1);
      CONTEXT context = {};
      context.ContextFlags = CONTEXT_CONTROL;
      GetThreadContext(thread, &context);
      context.Rip = reinterpret_cast<DWORD64>(entry);
      SetThreadContext(thread, &context);
      return true;  // the event stays pending: every thread is held
    }
    // The loader's own breakpoint and anything else: not ours.
    PassOn(event);
  }
  Say(L"no entry point reached, error", GetLastError());
  return false;
}

// LoadLibraryW of the shim on a thread of the program's own, run to its end
// while the main thread is suspended; the pending entry-point event is
// continued first.
bool LoadShim(HANDLE process, HANDLE mainThread, DWORD processId, DWORD mainThreadId,
              const std::wstring& shim) {
  SIZE_T bytes = (shim.size() + 1) * sizeof(wchar_t), n = 0;
  void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE,
                                PAGE_READWRITE);
  if (remote == nullptr || !WriteProcessMemory(process, remote, shim.c_str(), bytes, &n)) {
    Say(L"cannot pass the shim's path, error", GetLastError());
    return false;
  }
  // kernel32 lies at the same address in every process of the session.
  auto load = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
  SuspendThread(mainThread);
  DWORD loaderId = 0;
  HANDLE loader = CreateRemoteThread(process, nullptr, 0, load, remote, 0, &loaderId);
  if (loader == nullptr) {
    Say(L"cannot start the shim's loader thread, error", GetLastError());
    return false;
  }
  ContinueDebugEvent(processId, mainThreadId, DBG_CONTINUE);
  DEBUG_EVENT event;
  bool ended = false;
  while (!ended && WaitForDebugEvent(&event, 60000)) {
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile)
      CloseHandle(event.u.LoadDll.hFile);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      Say(L"the program ended while the shim loaded");
      return false;
    }
    ended = event.dwDebugEventCode == EXIT_THREAD_DEBUG_EVENT &&
            event.dwThreadId == loaderId;
    PassOn(event);
  }
  WaitForSingleObject(loader, 10000);
  DWORD module = 0;
  GetExitCodeThread(loader, &module);
  CloseHandle(loader);
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  if (!ended || module == 0) {
    Say(L"the shim did not load (its DllMain refuses when it cannot take the import)");
    return false;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring program;
  const wchar_t* removable = L"0";
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    const wchar_t* var = a == L"--device"    ? L"TESSAVANE_SHIM_DEVICE"
                         : a == L"--vendor"  ? L"TESSAVANE_SHIM_VENDOR"
                         : a == L"--product" ? L"TESSAVANE_SHIM_PRODUCT"
                         : a == L"--serial"  ? L"TESSAVANE_SHIM_SERIAL"
                                             : nullptr;
    if (var != nullptr && i + 1 < argc) {
      SetEnvironmentVariableW(var, argv[++i]);
    } else if (a == L"--removable") {
      removable = L"1";
    } else if (program.empty() && a[0] != L'-') {
      program = a;
    } else {
      Say(L"usage: e2e_device_launch --device PATH --vendor V --product P --serial S "
          L"[--removable] PROGRAM");
      return 2;
    }
  }
  SetEnvironmentVariableW(L"TESSAVANE_SHIM_REMOVABLE", removable);
  if (program.empty()) return 2;

  wchar_t self[MAX_PATH], full[MAX_PATH];
  wchar_t* name = nullptr;
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 2;
  std::wstring shim(self);
  shim = shim.substr(0, shim.find_last_of(L"\\/") + 1) + L"e2e_device_shim.dll";
  n = GetFullPathNameW(program.c_str(), MAX_PATH, full, &name);
  if (n == 0 || n >= MAX_PATH || name == nullptr) return 2;
  std::wstring folder(full, static_cast<size_t>(name - full));
  std::wstring command = L"\"" + std::wstring(full) + L"\"";

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(full, &command[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                      nullptr, folder.c_str(), &startup, &info)) {
    Say(L"cannot start the program, error", GetLastError());
    return 2;
  }
  DEBUG_EVENT event;
  bool ready = WaitForDebugEvent(&event, 60000) &&
               event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT;
  if (ready) {
    if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
    void* entry = reinterpret_cast<void*>(event.u.CreateProcessInfo.lpStartAddress);
    ready = StepToEntry(info.hProcess, info.hThread, info.dwThreadId, info.dwProcessId,
                        entry) &&
            LoadShim(info.hProcess, info.hThread, info.dwProcessId, info.dwThreadId, shim);
  }
  if (!ready) {
    TerminateProcess(info.hProcess, 2);
    return 2;
  }
  DebugSetProcessKillOnExit(FALSE);
  DebugActiveProcessStop(info.dwProcessId);
  ResumeThread(info.hThread);
  Say(L"the shim is in the program, process", info.dwProcessId);
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int>(code);
}
