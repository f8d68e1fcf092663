// The IDL subset of the component's interface, read strictly: anything this
// parser does not know is refused with its file and line rather than
// skipped, so that no part of the text is silently left out of the build.
#pragma once

#include "tools/idlc/idl_model.h"

#include <string_view>

namespace idlc {

// file names the text in error messages. Throws IdlError.
Library ParseIdl(std::string_view text, const std::string& file);

} // namespace idlc
