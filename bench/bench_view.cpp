// The window as the benchmark needs it: the path box answers with the image,
// the labels keep their last text, boxes are answered at once and counted.
// The job runs on the benchmark's own thread, so nothing here is shared.

#include "bench/bench_view.h"

#include <string>

#include "core/text.h"

namespace {

std::wstring imagePath;
std::wstring statusText;
std::wstring speedText;
std::wstring lastBox;
int boxes = 0;
int progress = 0;

}  // namespace

void BenchViewReset(const std::wstring& path) {
  imagePath = path;
  statusText.clear();
  speedText.clear();
  lastBox.clear();
  boxes = 0;
  progress = 0;
}

std::wstring BenchStatus() { return statusText; }
std::wstring BenchLastBox() { return lastBox; }
int BenchBoxes() { return boxes; }
int BenchProgress() { return progress; }

void ViewSetText(ControlId control, const wchar_t* text) {
  if (control == kStatusLabel) statusText = text;
  if (control == kSpeedLabel) speedText = text;
}

void ViewGetText(ControlId control, wchar_t* buffer, int capacity) {
  if (capacity <= 0) return;
  CopyText(buffer, static_cast<size_t>(capacity),
           control == kImagePathBox ? imagePath.c_str() : L"");
}

void ViewEnable(ControlId, bool) {}
void ViewSetProgress(int position) { progress = position; }
void ViewListReset() {}
void ViewListAdd(const wchar_t*) {}
int ViewListSelection() { return -1; }

int ViewMessageBox(BoxOwner, const wchar_t* text, const wchar_t*,
                   uint32_t flags) {
  ++boxes;
  lastBox = text;
  return (flags & 0xF) == kMbYesNo ? kIdNo : kIdOk;
}

bool ViewOpenFileDialog(wchar_t*, int) { return false; }
void ViewPostRefresh() {}
