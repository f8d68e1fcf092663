// Stores of a given size for the benchmarks, built once per process.
#pragma once

#include "valmorin/valmorin.h"

#include <string>

// A store file with the shipped schema in WAL mode holding `tables` tables
// of rows/tables correspondences each: table Tn maps Kn_i to Vn_i.
std::string BenchmarkStore(int tables, int rows);

// A new component object from the library the benchmarks link, asked of
// its class object as the COM runtime would.
HRESULT NewComponent(REFIID riid, void** object);

// A new component object opened on the SQLite store at path.
CComPtr<IValmorin> OpenComponent(const std::string& path);

// translate through IDispatch::Invoke, as a script calls it; true when it
// answered a non-empty text. Kept out of line so that callgrind can count
// its instructions alone.
bool InvokeLookup(IDispatch& component, VARIANT& table, VARIANT& input);
