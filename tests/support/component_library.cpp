#include "support/component_library.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace {

struct LoadedLibrary {
    void* handle = dlopen(VALMORIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ~LoadedLibrary()
    {
        if (handle) dlclose(handle);
    }
};

} // namespace

std::filesystem::path ComponentLibraryFile() { return VALMORIN_LIBRARY; }

HMODULE ComponentModule()
{
    static const LoadedLibrary library;
    if (!library.handle) throw std::runtime_error(std::string("cannot load ") + VALMORIN_LIBRARY + ": " + dlerror());
    return library.handle;
}

void* ComponentExport(const char* name)
{
    void* entry = dlsym(ComponentModule(), name);
    if (!entry) throw std::runtime_error(std::string("libvalmorin.so exports no ") + name);
    return entry;
}
