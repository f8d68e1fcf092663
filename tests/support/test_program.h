// What one test program does before its tests run, once its sandbox is in
// place: each program of tests/<layer>/ defines it in program.cpp.
#pragma once

void PrepareTestProgram();
