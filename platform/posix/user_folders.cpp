#include "platform/posix/user_folders.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

namespace {

std::filesystem::path AbsoluteFolderFrom(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] == '/' ? std::filesystem::path(value) : std::filesystem::path();
}

std::filesystem::path HomeFolder()
{
    if (std::filesystem::path home = AbsoluteFolderFrom("HOME"); !home.empty()) return home;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_dir;
    return "/";
}

std::filesystem::path XdgFolder(const char* variable, const std::filesystem::path& belowHome)
{
    std::filesystem::path folder = AbsoluteFolderFrom(variable);
    return folder.empty() ? HomeFolder() / belowHome : folder;
}

} // namespace

std::filesystem::path UserConfigFolder() { return XdgFolder("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path UserDataFolder() { return XdgFolder("XDG_DATA_HOME", std::filesystem::path(".local") / "share"); }

std::filesystem::path MachineFolder(const std::filesystem::path& standard)
{
    const std::filesystem::path root = AbsoluteFolderFrom("PELKOR_ROOT");
    return root.empty() ? standard : root / standard.relative_path();
}

std::filesystem::path MachineConfigFolder() { return MachineFolder("/etc/pelkor"); }

std::filesystem::path TemporaryFolder()
{
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (!error) return folder;
    // The library's own message names neither the folder nor where its
    // name came from.
    std::string named = "/tmp";
    for (const char* variable : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"})
        if (const char* value = std::getenv(variable)) {
            named = value + std::string(" ($") + variable + ")";
            break;
        }
    throw std::runtime_error("the temporary folder " + named + " cannot be used: " + error.message());
}
