// The Win32 error code that stands for a failed Linux file operation, so
// that file failures reach callers as the CWinException codes and texts
// they know.
#pragma once

#include "valmorin/com/types.h"

namespace qmt {

DWORD Win32ErrorOfErrno(int error);

} // namespace qmt
