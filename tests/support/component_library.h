// The built libvalmorin.so, loaded into the test program once for the whole
// run: the component's code linked into the program stands for it, and
// tests of the library's entry points call into it.
#pragma once

#include "platform/win32/sysinfo.h"

#include <filesystem>

std::filesystem::path ComponentLibraryFile();
HMODULE ComponentModule();
// The library's export of that name; fails the test when there is none.
void* ComponentExport(const char* name);
