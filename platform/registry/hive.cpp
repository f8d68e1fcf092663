#include "platform/registry/hive.h"

#include "platform/posix/replacement_file.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/user_folders.h"
#include "platform/registry/reg_text.h"
#include "platform/text/utf.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace valmorin::registry {

namespace {

// Machine hives are read by every account (the Debug switch, the log
// size); a user's own hive by that user only.
constexpr mode_t kMachineHiveMode = 0644;
constexpr mode_t kUserHiveMode = 0600;
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kUserFolderMode = 0700;

// What the registry reports for a failing file operation: a permission
// problem is the caller's to fix, anything else is the registry's failure.
DWORD ErrorOfErrno(int error)
{
    return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
}

mode_t NewHiveMode(HiveId hive) { return hive == HiveId::CurrentUser ? kUserHiveMode : kMachineHiveMode; }

// The hive's bytes and, when they cannot be had, why.
struct HiveBytes {
    DWORD error = ERROR_SUCCESS;
    std::string bytes;
    std::string problem;
};

HiveBytes Failed(DWORD error, std::string problem) { return {error, {}, std::move(problem)}; }

HiveBytes ReadBytes(const std::filesystem::path& file)
{
    HiveBytes read;
    int error = 0;
    read.problem = ReadRegularFile(file, read.bytes, error);
    if (error == ENOENT) return {};
    if (!read.problem.empty()) read.error = error == 0 ? ERROR_BADDB : ErrorOfErrno(error);
    return read;
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

// The keys a hive text holds; false when it is not a well-formed hive.
bool ParseHive(std::string_view bytes, Key& root)
{
    if (bytes.empty()) return true;
    const auto sections = ParseRegFile(bytes);
    if (!sections) return false;
    for (const RegSection& section : *sections)
        if (!ApplySection(root, section)) return false;
    return true;
}

Key EmptyRoot(HiveId hive) { return Key{std::u16string(HiveRootName(hive)), {}, {}}; }

// The hive's contents, or the error and why, naming nothing but the rule.
HiveBytes LoadHive(HiveId hive, const std::filesystem::path& file, Key& root)
{
    root = EmptyRoot(hive);
    HiveBytes read = ReadBytes(file);
    if (read.error == ERROR_SUCCESS && !ParseHive(read.bytes, root))
        return Failed(ERROR_BADDB, "not a well-formed registry hive (.reg text, version 5.00)");
    return read;
}

// Who owns the hive and how it may be used, as the new text is to keep it.
struct Ownership {
    mode_t mode;
    uid_t owner = static_cast<uid_t>(-1);
    gid_t group = static_cast<gid_t>(-1);
};

// The temporary beside the file is renamed over it once whole and flushed.
// It gets the old hive's owner and mode only once it is ours: root writing
// a user's hive gives it back to that user; anyone else cannot give files
// away, and the hive becomes theirs. A group that cannot be kept takes its
// access along, so that the writer's own group gains none.
DWORD Replace(const std::filesystem::path& file, const Ownership& ownership, std::string_view bytes)
{
    posix::ReplacementFile replacement(file, file.string() + ".new");
    const uid_t owner = ::geteuid() == 0 ? ownership.owner : static_cast<uid_t>(-1);
    const bool grouped = replacement.GiveTo(owner, ownership.group);
    replacement.SetMode(grouped ? ownership.mode : ownership.mode & ~S_IRWXG);
    replacement.Write(bytes);
    const int error = replacement.Commit();
    return error == 0 ? ERROR_SUCCESS : ErrorOfErrno(error);
}

// The text is read back before it goes anywhere: a name or value the text
// cannot carry would otherwise corrupt the hive, or change another key.
DWORD ReplaceHive(const std::filesystem::path& file, const Ownership& ownership, const Key& root)
{
    std::vector<RegSection> sections;
    AppendSections(root, root.name, sections);
    const std::string text = FormatRegFile(sections, RegEncoding::Utf8);
    Key reread{root.name, {}, {}};
    if (!ParseHive(text, reread) || reread != root) return ERROR_BADKEY;
    return Replace(file, ownership, text);
}

// Opens the hive without following a link, creating it empty when there
// is none yet; -1 with errno set when it cannot be opened.
int OpenOrCreateHive(const std::filesystem::path& file, mode_t mode, bool& created)
{
    for (;;) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) return fd;
        const int made = ::open(file.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        created = made >= 0;
        if (made >= 0 || errno != EEXIST) return made;
    }
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The lock is the hive file itself, so that whoever may write the hive may
// lock it; no lock file of another owner can stand in the way. A writer
// that replaced the file while we waited leaves us holding the old one:
// current is false then, and the caller locks the file now in place.
DWORD LockHive(const UniqueFd& fd, const std::filesystem::path& file, bool& current, Ownership& ownership)
{
    if (!fd) return errno == ELOOP ? ERROR_ACCESS_DENIED : ErrorOfErrno(errno);
    while (::flock(fd.get(), LOCK_EX) != 0)
        if (errno != EINTR) return ErrorOfErrno(errno);
    struct stat held {}, now {};
    if (::fstat(fd.get(), &held) != 0) return ErrorOfErrno(errno);
    if (!S_ISREG(held.st_mode)) return ERROR_BADDB;
    current = ::lstat(file.c_str(), &now) == 0 && SameFile(held, now);
    ownership = {static_cast<mode_t>(held.st_mode & 07777), held.st_uid, held.st_gid};
    return ERROR_SUCCESS;
}

DWORD ChangeLocked(HiveId hive, const std::filesystem::path& file, const Ownership& ownership,
                   const std::function<DWORD(Key& root)>& change)
{
    Key root;
    if (const DWORD error = LoadHive(hive, file, root).error) return error;
    const Key before = root;
    if (const DWORD error = change(root)) return error;
    return root == before ? ERROR_SUCCESS : ReplaceHive(file, ownership, root);
}

// Each level made here gets the mode asked for, whatever the umask.
DWORD CreateFolders(const std::filesystem::path& folder, mode_t mode)
{
    std::filesystem::path made;
    for (const auto& level : folder) {
        made /= level;
        if (::mkdir(made.c_str(), mode) != 0) {
            if (errno == EEXIST) continue;
            return ErrorOfErrno(errno);
        }
        const UniqueFd fd(::open(made.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || ::fchmod(fd.get(), mode) != 0) return ErrorOfErrno(errno);
    }
    return ERROR_SUCCESS;
}

} // namespace

std::string ReadRegularFile(const std::filesystem::path& file, std::string& bytes, int& error)
{
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0) {
        error = errno;
        return std::string("cannot be read (") + std::strerror(error) + ")";
    }
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got == 0) return {};
        if (got < 0 && errno != EINTR) {
            error = errno;
            return std::string("cannot be read (") + std::strerror(error) + ")";
        }
        if (got > 0) bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

DWORD ReplaceFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode)
{
    return Replace(file, Ownership{mode}, bytes);
}

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
    if (hive != HiveId::CurrentUser) return MachineConfigFolder() / fileName;
    return UserConfigFolder() / "pelkor" / fileName;
}

DWORD ReadHive(HiveId hive, Key& root)
{
    return LoadHive(hive, HiveFile(hive), root).error;
}

std::vector<std::string> HiveProblems()
{
    std::vector<std::string> problems;
    for (const HiveId hive : {HiveId::LocalMachine, HiveId::CurrentUser, HiveId::Users}) {
        const std::filesystem::path file = HiveFile(hive);
        Key root;
        const HiveBytes read = LoadHive(hive, file, root);
        if (read.error != ERROR_SUCCESS) problems.push_back(file.string() + ": " + read.problem);
    }
    return problems;
}

DWORD UpdateHive(HiveId hive, const std::function<DWORD(Key& root)>& change)
{
    const std::filesystem::path file = HiveFile(hive);
    const mode_t mode = NewHiveMode(hive);
    if (const DWORD error = CreateFolders(file.parent_path(), hive == HiveId::CurrentUser ? kUserFolderMode : kFolderMode))
        return error;
    for (;;) {
        bool created = false;
        const UniqueFd lock(OpenOrCreateHive(file, mode, created));
        if (created && ::fchmod(lock.get(), mode) != 0) return ErrorOfErrno(errno);
        bool current = false;
        Ownership ownership{mode};
        if (const DWORD error = LockHive(lock, file, current, ownership)) return error;
        if (current) return ChangeLocked(hive, file, ownership, change);
    }
}

} // namespace valmorin::registry
