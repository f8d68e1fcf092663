// How the command gets the component: by its ProgID through the registry,
// or, where the class is not registered, from the library installed beside
// the command, so that a fresh build works before anyone registers it.
#pragma once

#include "valmorin/com/unknown.h"

#include <string>

struct Component {
    CComPtr<IDispatch> object;
    std::u16string library; // the file that serves the object
    bool registered = false;
};

// Throws std::runtime_error, naming the HRESULT, when neither way works.
Component CreateComponent();

// One line: which library serves the component, and how it was found.
std::string DescribeComponent(const Component& component);
