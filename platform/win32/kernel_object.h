// The table behind HANDLE values, shared by the stand-ins that hand out
// handles. Not part of the Windows surface.
#pragma once

#include "platform/win32/handle.h"

#include <memory>

namespace valmorin::win32 {

class KernelObject {
public:
    virtual ~KernelObject() = default;
};

HANDLE InsertObject(std::shared_ptr<KernelObject> object);

// Null when the handle is not open or names another kind of object. The
// reference keeps the object alive while a call uses it, even if another
// thread closes the handle meanwhile.
std::shared_ptr<KernelObject> FindObject(HANDLE handle);

template <class Object>
std::shared_ptr<Object> FindObjectAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<Object>(FindObject(handle));
}

} // namespace valmorin::win32
