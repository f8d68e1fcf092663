// Times as the store writes its revisions' times, so that they compare as
// texts: ISO 8601 UTC to the millisecond, "2026-12-07T20:56:49.190Z".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qmt {

// An ISO 8601 UTC time (date, 'T', time to the second, a fraction if any,
// 'Z' or +00:00) as the store writes it: a finer fraction is cut, so that
// a revision made within the same millisecond counts as made at or before
// it. None for any other text.
std::optional<std::u16string> StoreTime(std::u16string_view text);

} // namespace qmt
