// A CSV import into a table that needs approval, proposed as a change set
// instead of applied: the rows the file adds or changes put, with
// mode=replace the rows it lacks deleted, and the report the import will
// make once another user approves it.
#pragma once

#include <string>

struct Call;

// Answers 201: the import's report, with the change set's id (and its
// Location).
void ProposeImport(Call& call, const std::u16string& table, const std::string& upload, bool replace);
