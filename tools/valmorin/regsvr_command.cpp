#include "regsvr_command.h"

#include "valmorin/com/types.h"
#include "platform/registry/hive.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>

namespace {

constexpr int kExitDone = 0;
constexpr int kExitArguments = 1;
constexpr int kExitLoad = 3;
constexpr int kExitEntry = 4;
constexpr int kExitCall = 5;

struct Request {
    bool unregister = false;
    bool silent = false;
    std::string library;
};

std::optional<Request> Parse(const std::vector<std::string>& args)
{
    Request request;
    for (const std::string& arg : args) {
        if (arg == "/u" || arg == "/U" || arg == "-u")
            request.unregister = true;
        else if (arg == "/s" || arg == "/S" || arg == "-s")
            request.silent = true;
        else if (request.library.empty() && !arg.empty())
            request.library = arg;
        else
            return std::nullopt;
    }
    if (request.library.empty()) return std::nullopt;
    return request;
}

struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};

// A bare name in the working folder is that file, as regsvr32 finds it,
// not a library of the same name on the loader's search path.
std::string LoadablePath(const std::string& library)
{
    if (library.find('/') == std::string::npos && std::filesystem::exists(library)) return "./" + library;
    return library;
}

std::string HexCode(HRESULT hr)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(hr));
    return buffer;
}

// The registry files that cannot be used, each with why: the usual reason
// a registration fails.
std::string HiveReasons()
{
    std::string reasons;
    for (const std::string& problem : valmorin::registry::HiveProblems()) reasons += "\n" + problem;
    return reasons;
}

int Report(const Request& request, int status, const std::string& message)
{
    if (!request.silent) (status == kExitDone ? std::cout : std::cerr) << message << "\n";
    return status;
}

} // namespace

int RunRegsvrCommand(const std::vector<std::string>& args)
{
    constexpr const char* kUsage = "usage: valmorin regsvr [/u] [/s] <library>\n";
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "/?")) {
        std::cout << kUsage;
        return kExitDone;
    }
    const std::optional<Request> request = Parse(args);
    if (!request) {
        std::cerr << kUsage;
        return kExitArguments;
    }
    const char* entry = request->unregister ? "DllUnregisterServer" : "DllRegisterServer";
    const std::string& name = request->library;
    const std::unique_ptr<void, LibraryCloser> library(dlopen(LoadablePath(name).c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char* why = dlerror();
        return Report(*request, kExitLoad,
                      "The module \"" + name + "\" failed to load.\n" + (why != nullptr ? why : ""));
    }
    const auto call = reinterpret_cast<HRESULT (*)()>(dlsym(library.get(), entry));
    if (call == nullptr)
        return Report(*request, kExitEntry,
                      "The module \"" + name + "\" was loaded but the entry-point " + entry + " was not found.");
    const HRESULT hr = call();
    if (FAILED(hr))
        return Report(*request, kExitCall,
                      "The module \"" + name + "\" was loaded but the call to " + entry + " failed with error code " +
                          HexCode(hr) + "." + HiveReasons());
    return Report(*request, kExitDone, std::string(entry) + " in " + name + " succeeded.");
}
