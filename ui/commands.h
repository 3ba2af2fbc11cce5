// The window's commands: what a click or a list notification does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/disks.h"

// Handles a command message: `id` is the low word of wParam, `notification`
// the high word. UI thread only.
void HandleCommand(int id, int notification);

// Start-up after the controls exist: protected list, disks, list, progress 0,
// "准备就绪". UI thread only.
void InitializeWindowState();

// Rebuilds the list lines from diskTable.
void FillDiskList();

// The list line of one entry, into a 512-character buffer.
void FormatDiskLine(const DiskEntry& entry, wchar_t* buffer, size_t capacity);
