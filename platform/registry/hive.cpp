#include "platform/registry/hive.h"

#include "platform/posix/unique_fd.h"
#include "platform/posix/user_folders.h"
#include "platform/registry/reg_text.h"
#include "platform/text/utf.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace registry {

namespace {

constexpr const char* kMachineFolder = "/etc/pelkor";

// What the registry reports for a failing file operation: a permission
// problem is the caller's to fix, anything else is the registry's failure.
DWORD ErrorOfErrno(int error)
{
    return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
}

DWORD ReadBytes(const std::filesystem::path& file, std::string& bytes)
{
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno == ENOENT ? ERROR_SUCCESS : ErrorOfErrno(errno);
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got == 0) return ERROR_SUCCESS;
        if (got < 0 && errno != EINTR) return ErrorOfErrno(errno);
        if (got > 0) bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

// A hive holds contents only: blocks of its own root, no deletions.
bool ApplySection(Key& root, const RegSection& section)
{
    KeyPath path = SplitKeyPath(section.path);
    if (path.empty() || !SameName(path.front(), root.name) || section.removeKey || !section.removedValues.empty())
        return false;
    path.erase(path.begin());
    Key& key = FindOrAddKey(root, path);
    for (const Value& value : section.values) key.SetValue(value);
    return true;
}

DWORD LoadHive(HiveId hive, const std::filesystem::path& file, Key& root)
{
    root = Key{std::u16string(HiveRootName(hive)), {}, {}};
    std::string bytes;
    if (const DWORD error = ReadBytes(file, bytes)) return error;
    if (bytes.empty()) return ERROR_SUCCESS;
    const auto sections = ParseRegFile(bytes);
    if (!sections) return ERROR_BADDB;
    for (const RegSection& section : *sections)
        if (!ApplySection(root, section)) return ERROR_BADDB;
    return ERROR_SUCCESS;
}

DWORD WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno != EINTR) return ErrorOfErrno(errno);
        if (written > 0) bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return ERROR_SUCCESS;
}

// The new hive keeps the permissions an administrator gave the old one.
DWORD WriteFlushed(const std::filesystem::path& file, const std::filesystem::path& target, std::string_view bytes)
{
    const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return ErrorOfErrno(errno);
    struct stat current {};
    if (::stat(target.c_str(), &current) == 0 && ::fchmod(fd.get(), current.st_mode & 07777) != 0)
        return ErrorOfErrno(errno);
    if (const DWORD error = WriteAll(fd.get(), bytes)) return error;
    return ::fsync(fd.get()) == 0 ? ERROR_SUCCESS : ErrorOfErrno(errno);
}

// Flushing the folder makes the rename itself survive a power cut.
void FlushFolder(const std::filesystem::path& folder)
{
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

DWORD ReplaceHive(const std::filesystem::path& file, const Key& root)
{
    std::vector<RegSection> sections;
    AppendSections(root, root.name, sections);
    const std::filesystem::path written = file.string() + ".new";
    if (const DWORD error = WriteFlushed(written, file, FormatRegFile(sections, RegEncoding::Utf8))) {
        ::unlink(written.c_str());
        return error;
    }
    if (::rename(written.c_str(), file.c_str()) != 0) return ErrorOfErrno(errno);
    FlushFolder(file.parent_path());
    return ERROR_SUCCESS;
}

DWORD LockExclusively(const UniqueFd& lock)
{
    if (!lock) return ErrorOfErrno(errno);
    while (::flock(lock.get(), LOCK_EX) != 0)
        if (errno != EINTR) return ErrorOfErrno(errno);
    return ERROR_SUCCESS;
}

} // namespace

std::u16string_view HiveRootName(HiveId hive)
{
    switch (hive) {
    case HiveId::LocalMachine: return u"HKEY_LOCAL_MACHINE";
    case HiveId::CurrentUser: return u"HKEY_CURRENT_USER";
    case HiveId::Users: break;
    }
    return u"HKEY_USERS";
}

std::filesystem::path HiveFile(HiveId hive)
{
    const std::string fileName = text::Utf16ToUtf8(HiveRootName(hive)) + ".reg";
    if (const char* folder = std::getenv("PELKOR_REGISTRY_DIR"); folder != nullptr && folder[0] != '\0')
        return std::filesystem::path(folder) / fileName;
    if (hive != HiveId::CurrentUser) return std::filesystem::path(kMachineFolder) / fileName;
    return UserConfigFolder() / "pelkor" / fileName;
}

DWORD ReadHive(HiveId hive, Key& root)
{
    return LoadHive(hive, HiveFile(hive), root);
}

DWORD UpdateHive(HiveId hive, const std::function<DWORD(Key& root)>& change)
{
    const std::filesystem::path file = HiveFile(hive);
    std::error_code created;
    std::filesystem::create_directories(file.parent_path(), created);
    if (created) return ErrorOfErrno(created.value());
    const UniqueFd lock(::open((file.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (const DWORD error = LockExclusively(lock)) return error;
    Key root;
    if (const DWORD error = LoadHive(hive, file, root)) return error;
    const Key before = root;
    if (const DWORD error = change(root)) return error;
    return root == before ? ERROR_SUCCESS : ReplaceHive(file, root);
}

} // namespace registry
