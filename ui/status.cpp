#include <cstdarg>

#include "core/text.h"
#include "ui/view.h"

void SetStatus(const wchar_t* format, ...) {
  // On the caller's stack: jobs and the UI thread report at the same time.
  wchar_t text[512];
  va_list args;
  va_start(args, format);
  FormatTextV(text, 512, format, args);
  va_end(args);
  ViewSetText(kStatusLabel, text);
}
