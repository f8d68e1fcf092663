// What valmorin_idlc reads from an IDL file: one library with one dual
// interface and the class that implements it.
#pragma once

#include "service/interface_description.h"

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
    std::vector<Method> methods;
};

struct Library {
    std::string name;
    std::string uuid;
    std::string help;
    int major = 0;
    int minor = 0;
    Interface interface;
    std::string coclass;
    std::string coclassUuid;
};

} // namespace idlc
