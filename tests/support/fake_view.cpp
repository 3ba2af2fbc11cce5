#include "tests/support/fake_view.h"

#include <cstdarg>
#include <map>
#include <mutex>

#include "core/text.h"

namespace {

std::mutex lock;
std::map<int, std::wstring> texts;
std::map<int, bool> enabled;
int progress = 0;
std::vector<std::wstring> lines;
int selection = -1;
std::vector<FakeEvent> events;
std::function<int(const FakeBox&)> boxAnswer;
std::wstring dialogPath;
bool dialogPicks = false;
int refreshes = 0;
int dialogs = 0;

void Log(const FakeEvent& e) { events.push_back(e); }

FakeEvent Event(FakeEvent::Kind kind) {
  FakeEvent e;
  e.kind = kind;
  return e;
}

}  // namespace

void FakeViewReset() {
  std::lock_guard<std::mutex> g(lock);
  texts.clear();
  texts[kRefreshButton] = L"刷新";
  texts[kBrowseButton] = L"选择...";
  texts[kStartButton] = L"开始写入";
  texts[kCancelButton] = L"取消";
  texts[kDeleteButton] = L"删除全部分区";
  texts[kStatusLabel] = L"状态：待命";
  texts[kSpeedLabel] = L"速度：-";
  enabled.clear();
  for (int id : {kDiskList, kRefreshButton, kBrowseButton, kImagePathBox,
                 kStartButton, kDeleteButton, kSerialBox, kProgressBar,
                 kStatusLabel, kSpeedLabel})
    enabled[id] = true;
  enabled[kCancelButton] = false;
  progress = 0;
  lines.clear();
  selection = -1;
  events.clear();
  boxAnswer = nullptr;
  dialogPath.clear();
  dialogPicks = false;
  refreshes = 0;
  dialogs = 0;
}

std::wstring FakeText(ControlId control) {
  std::lock_guard<std::mutex> g(lock);
  return texts[control];
}

bool FakeEnabled(ControlId control) {
  std::lock_guard<std::mutex> g(lock);
  return enabled[control];
}

int FakeProgress() {
  std::lock_guard<std::mutex> g(lock);
  return progress;
}

std::vector<std::wstring> FakeListLines() {
  std::lock_guard<std::mutex> g(lock);
  return lines;
}

std::vector<FakeEvent> FakeEvents() {
  std::lock_guard<std::mutex> g(lock);
  return events;
}

std::vector<FakeBox> FakeBoxes() {
  std::lock_guard<std::mutex> g(lock);
  std::vector<FakeBox> boxes;
  for (const FakeEvent& e : events)
    if (e.kind == FakeEvent::kMessageBox)
      boxes.push_back({e.owner, e.text, e.caption, e.flags});
  return boxes;
}

int FakePostedRefreshes() {
  std::lock_guard<std::mutex> g(lock);
  return refreshes;
}

std::vector<std::wstring> FakeStatusTexts() {
  std::lock_guard<std::mutex> g(lock);
  std::vector<std::wstring> statuses;
  for (const FakeEvent& e : events)
    if (e.kind == FakeEvent::kSetText && e.control == kStatusLabel)
      statuses.push_back(e.text);
  return statuses;
}

void FakeClearEvents() {
  std::lock_guard<std::mutex> g(lock);
  events.clear();
}

int FakeFileDialogs() {
  std::lock_guard<std::mutex> g(lock);
  return dialogs;
}

void FakeSetText(ControlId control, const std::wstring& text) {
  std::lock_guard<std::mutex> g(lock);
  texts[control] = text;
}

void FakeSelect(int index) {
  std::lock_guard<std::mutex> g(lock);
  selection = index;
}

void FakeAnswerBoxes(std::function<int(const FakeBox&)> answer) {
  std::lock_guard<std::mutex> g(lock);
  boxAnswer = std::move(answer);
}

void FakeAnswerFileDialog(const std::wstring& path, bool picked) {
  std::lock_guard<std::mutex> g(lock);
  dialogPath = path;
  dialogPicks = picked;
}

std::string FakeButtonState() {
  std::lock_guard<std::mutex> g(lock);
  bool s = enabled[kStartButton], c = enabled[kCancelButton],
       d = enabled[kDeleteButton];
  if (s && !c && d) return "idle";
  if (!s && c && !d) return "writing";
  if (!s && !c && !d) return "wiping";
  return "other";
}

// ---- the view seam ----------------------------------------------------------

void ViewSetText(ControlId control, const wchar_t* text) {
  std::lock_guard<std::mutex> g(lock);
  texts[control] = text;
  FakeEvent e = Event(FakeEvent::kSetText);
  e.control = control;
  e.text = text;
  Log(e);
}

void ViewGetText(ControlId control, wchar_t* buffer, int capacity) {
  std::lock_guard<std::mutex> g(lock);
  if (capacity > 0) CopyText(buffer, static_cast<size_t>(capacity), texts[control].c_str());
}

void ViewEnable(ControlId control, bool on) {
  std::lock_guard<std::mutex> g(lock);
  enabled[control] = on;
  FakeEvent e = Event(FakeEvent::kEnable);
  e.control = control;
  e.value = on ? 1 : 0;
  Log(e);
}

void ViewSetProgress(int position) {
  std::lock_guard<std::mutex> g(lock);
  progress = position;
  FakeEvent e = Event(FakeEvent::kProgress);
  e.control = kProgressBar;
  e.value = position;
  Log(e);
}

void ViewListReset() {
  std::lock_guard<std::mutex> g(lock);
  lines.clear();
  selection = -1;
  Log(Event(FakeEvent::kListReset));
}

void ViewListAdd(const wchar_t* line) {
  std::lock_guard<std::mutex> g(lock);
  lines.push_back(line);
  FakeEvent e = Event(FakeEvent::kListAdd);
  e.text = line;
  Log(e);
}

int ViewListSelection() {
  std::lock_guard<std::mutex> g(lock);
  return selection;
}

int ViewMessageBox(BoxOwner owner, const wchar_t* text, const wchar_t* caption,
                   uint32_t flags) {
  FakeBox box{owner, text, caption, flags};
  std::function<int(const FakeBox&)> answer;
  {
    std::lock_guard<std::mutex> g(lock);
    FakeEvent e = Event(FakeEvent::kMessageBox);
    e.text = text;
    e.caption = caption;
    e.flags = flags;
    e.owner = owner;
    Log(e);
    answer = boxAnswer;
  }
  // Answered outside the lock: the answer may click other controls.
  if (answer) return answer(box);
  return (flags & 0xF) == kMbYesNo ? kIdYes : kIdOk;
}

bool ViewOpenFileDialog(wchar_t* path, int capacity) {
  std::lock_guard<std::mutex> g(lock);
  ++dialogs;
  Log(Event(FakeEvent::kFileDialog));
  if (!dialogPicks) return false;
  CopyText(path, static_cast<size_t>(capacity), dialogPath.c_str());
  return true;
}

void ViewPostRefresh() {
  std::lock_guard<std::mutex> g(lock);
  ++refreshes;
  Log(Event(FakeEvent::kPostRefresh));
}
