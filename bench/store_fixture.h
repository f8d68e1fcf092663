// Stores of a given size for the benchmarks, built once per process.
#pragma once

#include <string>

// A store file with the shipped schema in WAL mode holding `tables` tables
// of rows/tables correspondences each: table Tn maps Kn_i to Vn_i.
std::string BenchmarkStore(int tables, int rows);
