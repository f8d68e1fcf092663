// What the command can tell about a failed call beyond the component's own
// error text, which says what failed but not where: the data-source file
// that refused to be used, the store file the data source names and what
// is wrong with it, the hive that cannot be read. Each note names the file
// and the rule it breaks.
#pragma once

#include "valmorin/com/types.h"

#include <string>
#include <vector>

std::vector<std::string> FailureNotes(HRESULT hr);

// Each note on its own "valmorin: note: ..." line of standard error.
void PrintFailureNotes(HRESULT hr);
