// Stores of a given size for the benchmarks, built once per process.
#pragma once

#include "valmorin/valmorin.h"

#include <filesystem>
#include <string>

// The folder of this process's stores and registry: made afresh by mkdtemp
// in the temporary folder, removed when the process ends.
const std::filesystem::path& BenchFolder();

// A store file with the shipped schema in WAL mode holding `tables` tables
// of rows/tables correspondences each: table Tn maps Kn_i to Vn_i.
std::string BenchmarkStore(int tables, int rows);

// A new component object from the library the benchmarks link, asked of
// its class object as the COM runtime would.
HRESULT NewComponent(REFIID riid, void** object);

// Objects made from now on keep a lookup cache of that many entries (0:
// none). The registry is one of the benchmark's own, in a temporary folder.
void AskForLookupCache(DWORD entries);

// A new component object opened on the SQLite store at path.
CComPtr<IValmorin> OpenComponent(const std::string& path);

// translate through IDispatch::Invoke, as a script calls it; true when it
// answered a non-empty text. Kept out of line so that callgrind can count
// its instructions alone.
bool InvokeLookup(IDispatch& component, VARIANT& table, VARIANT& input);

// translate through the interface's virtual table; true when it answered a
// non-empty text. Kept out of line, as InvokeLookup.
bool VtableLookup(IValmorin& component, BSTR table, BSTR input);
