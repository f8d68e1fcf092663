// valmorin regsvr [/u] [/s] <library>: registers an in-process server, or
// with /u unregisters it, through its own entry point, as Windows' regsvr32.
// /s keeps the command quiet. Exit status, as regsvr32's:
//   0 done, 1 bad arguments, 3 the library does not load,
//   4 it has no such entry point, 5 the entry point failed.
#pragma once

#include <string>
#include <vector>

int RunRegsvrCommand(const std::vector<std::string>& args);
