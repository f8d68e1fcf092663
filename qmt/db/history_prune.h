// Dropping the part of a store's history that no answer needs any more.
#pragma once

#include <string>
#include <string_view>

namespace qmt {

struct HistoryPruneOutcome {
    bool failed = false;
    std::string message; // what was done, or what stands in the way, for a person to read
};

// In one transaction under the writers' lock: R, the last revision made at
// or before `before` (an ISO 8601 UTC time); the changes of R and of the
// revisions before it, and the revisions before R, are deleted, and the
// history starts at R and its time. Answers as of R and later read only
// the changes made after R, so they stay as they were; earlier points are
// refused from then on. Nothing is deleted when no revision is that old,
// or when the history starts at R or later already.
HistoryPruneOutcome PruneHistory(const std::u16string& connectionString, std::u16string_view before);

} // namespace qmt
