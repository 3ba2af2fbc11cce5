// Prints the serials a protected list protects, one a line in UTF-8, read the
// way the program reads prohibited_disks.txt beside itself: the file is put
// beside the executable of a simulated machine with code page 936 and
// loaded with LoadProtectedSerials.
//   list_serials FILE      exit code 0, or 1 when FILE cannot be read
#include <cstdio>
#include <fstream>
#include <string>

#include "core/disks.h"
#include "platform/sim/sim.h"

namespace {

std::string Utf8(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    uint32_t c = static_cast<uint32_t>(*p);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list_serials FILE\n");
    return 2;
  }
  if (!std::ifstream(argv[1]).good()) {
    std::fprintf(stderr, "list_serials: cannot read %s\n", argv[1]);
    return 1;
  }
  SimReset();
  SimSetExecutablePath(L"X:\\tessavane.exe");
  SimPutHostFile(L"X:\\prohibited_disks.txt", argv[1]);
  LoadProtectedSerials();
  for (int32_t i = 0; i < fileProtectedSerialCount; ++i) {
    std::printf("%s\n", Utf8(fileProtectedSerials[i]).c_str());
  }
  return 0;
}
