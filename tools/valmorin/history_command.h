// valmorin history prune: drops the history older than a time
// (qmt/db/history_prune.h).
#pragma once

#include <string>
#include <vector>

// args: what follows "history"; throws UsageError.
int RunHistoryCommand(const std::vector<std::string>& args);
