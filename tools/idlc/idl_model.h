// What valmorin_idlc reads from an IDL file: one library with its dual
// interfaces, each deriving from IDispatch or from the one declared before
// it, and the class that implements them.
#pragma once

#include "idl/interface_description.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace idlc {

// A refusal of the IDL text; what() starts with "file:line: ".
class IdlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Parameter {
    std::string name;
    idl::Direction direction;
    idl::Type type;
};

struct Method {
    int id = 0;
    std::string name;
    std::string help;
    std::vector<Parameter> parameters;
};

struct Interface {
    std::string name;
    std::string uuid;
    std::string help;
    std::string base;            // "IDispatch", or the interface it extends
    std::vector<Method> methods; // its own, after those of its bases
};

struct Library {
    std::string name;
    std::string uuid;
    std::string help;
    int major = 0;
    int minor = 0;
    std::vector<Interface> interfaces; // in the order declared: each base before what extends it
    std::string coclass;
    std::string coclassUuid;
    std::string defaultInterface;

    // The interface the class's IDispatch answers: the last one declared,
    // which extends the others.
    const Interface& dispatchInterface() const { return interfaces.back(); }
    // Its methods and those of its bases, in slot order.
    std::vector<std::pair<const Interface*, const Method*>> MethodsOf(const Interface& interface) const;
};

} // namespace idlc
