// The sources valmorin_idlc writes from a parsed library. Each starts with a
// line naming source, the IDL file it came from.
#pragma once

#include "tools/idlc/idl_model.h"

#include <string>
#include <string_view>

namespace idlc {

// The public declaration: the GUIDs, the library's version and each
// interface as an abstract class, slot by slot, deriving from its base.
std::string InterfaceHeader(const Library& library, std::string_view source);

// One call per method of the class's dispatch interface and its bases, in
// dispatch-identifier order, for the type information's Invoke. It is
// included where the types it names (Inputs, Outputs, Call, kMaxInputs,
// kMaxDiscardedArrays) are declared.
std::string DispatchCalls(const Library& library, std::string_view source);

// Each interface as data (idl::Interface), its bases' methods first: names,
// dispatch identifiers, parameters and help texts.
std::string InterfaceDescription(const Library& library, std::string_view source);

// The methods' names, one a line, in dispatch-identifier order: what the
// command's shell completion offers.
std::string MethodNames(const Library& library, std::string_view source);
// The type stubs (.pyi) of the Python module: its classes, and the methods
// of the last interface as the Dispatch objects' attributes.
std::string PythonStub(const Library& library, std::string_view source);

} // namespace idlc
