// The local time as the component reads it. Everything that needs "now"
// (log timestamps, the day of the year) reads it here, the one place a test
// program replaces to choose the day and the hour.
#pragma once

#include "platform/win32/nls.h"

namespace qmt {

SYSTEMTIME LocalTimeNow();

} // namespace qmt
