// Ownership of a kernel handle: closed when its owner goes.
#pragma once

#include "platform/win32/handle.h"

#include <memory>
#include <type_traits>

namespace qmt {

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};

using CUniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

} // namespace qmt
