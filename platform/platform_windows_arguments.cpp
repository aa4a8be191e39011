// The command line as UTF-8, apart from the rest of the Windows seam: it
// needs shell32, which classify itself should not load at start-up.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "platform/platform.h"
#include "platform/platform_windows.h"

namespace classify {

std::vector<std::string> program_arguments(int argc, char** argv) {
  // The narrow arguments are in the console's code page, which cannot hold
  // every name: the wide command line holds them all.
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) result.push_back(utf8(arguments[i], lstrlenW(arguments[i])));
  LocalFree(arguments);
  return result;
}

}  // namespace classify
