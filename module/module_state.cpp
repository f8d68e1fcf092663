#include "module/module.h"

#include "platform/text/utf.h"

#include <dlfcn.h>

#include <atomic>
#include <filesystem>

namespace valmorin::module {

namespace {

struct Identity {
    HMODULE handle = nullptr;
    std::u16string path;
};

// A module handle adds no reference: the module is loaded already, and
// holding it would keep it from ever being unloaded.
HMODULE HandleOfLoaded(const char* file)
{
    void* handle = dlopen(file, RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle;
}

// The file holding this very function is the module, wherever it was
// loaded from and under whichever name.
Identity FindSelf()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FindSelf), &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(info.dli_fname, error);
    if (error) return {};
    return {HandleOfLoaded(info.dli_fname), text::Widen(file.string())};
}

Identity& Self()
{
    static Identity self = FindSelf();
    return self;
}

// Found at load time, while the working folder is the one the file was
// loaded relative to.
const bool g_found = !Self().path.empty();

std::atomic<LONG> g_locks{0};

} // namespace

bool Initialized() { return g_found && Self().handle != nullptr; }
HMODULE Handle() { return Self().handle; }
const std::u16string& Path() { return Self().path; }

void Lock() { ++g_locks; }
void Unlock() { --g_locks; }
LONG LockCount() { return g_locks.load(); }

std::mutex& CriticalSection()
{
    static std::mutex section;
    return section;
}

void StandInFor(HMODULE library)
{
    char16_t path[4096];
    const DWORD length = GetModuleFileNameW(library, path, sizeof path / sizeof path[0]);
    if (length == 0) return;
    Self() = Identity{library, std::u16string(path, length)};
}

} // namespace valmorin::module
