#include "platform/win32/sysinfo.h"

#include "platform/text/utf.h"
#include "platform/win32/kernel.h"
#include "platform/win32/text_buffer.h"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>

namespace {

std::string HostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::u16string ComputerNameOfHost()
{
    std::string name = HostName();
    name = name.substr(0, name.find('.'));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    return valmorin::text::Widen(name.substr(0, MAX_COMPUTERNAME_LENGTH));
}

std::string MainExecutablePath()
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).string();
}

// The main program's link map has an empty name; libraries carry the path
// they were loaded from.
std::string ModulePath(HMODULE module)
{
    link_map* map = nullptr;
    if (module == nullptr || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
    return map->l_name[0] == '\0' ? MainExecutablePath() : std::string(map->l_name);
}

// A thread's id, asked of the kernel once: the call costs a system call
// and is made on every component call. A child made by fork is its forking
// thread under a new id, and asks again.
thread_local pid_t t_threadId = 0;

void ForgetThreadIdInChild() { t_threadId = 0; }

const bool g_forgetsInChild = [] { return ::pthread_atfork(nullptr, nullptr, ForgetThreadIdInChild) == 0; }();

} // namespace

DWORD GetCurrentThreadId()
{
    if (t_threadId == 0) t_threadId = gettid();
    return static_cast<DWORD>(t_threadId);
}

BOOL GetComputerNameW(char16_t* buffer, DWORD* size)
{
    return valmorin::win32::CopyToBuffer(ComputerNameOfHost(), buffer, size, ERROR_BUFFER_OVERFLOW);
}

HMODULE GetModuleHandleA(const char* name)
{
    // A module handle adds no reference to the module: the one dlopen takes
    // is given back at once, the module being loaded already.
    HMODULE module = name == nullptr ? dlopen(nullptr, RTLD_LAZY) : dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (name != nullptr) dlclose(module);
    return module;
}

DWORD GetModuleFileNameW(HMODULE module, char16_t* buffer, DWORD size)
{
    const std::u16string path = valmorin::text::Widen(module == nullptr ? MainExecutablePath() : ModulePath(module));
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const auto written = std::min<DWORD>(static_cast<DWORD>(path.size()), size - 1);
    std::copy_n(path.begin(), written, buffer);
    buffer[written] = u'\0';
    if (written < path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return written;
}
