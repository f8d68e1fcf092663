#include "platform/datasource/store_file.h"

#include "platform/posix/replacement_file.h"
#include "platform/posix/unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace valmorin::datasource {

namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

std::string ErrnoText(int error) { return std::generic_category().message(error); }

StoreContents Refused(const std::filesystem::path& file, const std::string& problem)
{
    return {{}, file.string() + ": " + problem};
}

std::string OctalMode(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Empty when the file may be trusted.
std::string Distrust(const struct stat& status)
{
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    if (status.st_uid != 0 && status.st_uid != ::geteuid())
        return "owned by uid " + std::to_string(status.st_uid) + ", neither root nor the current user: not trusted";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "writable by others than its owner (mode " + OctalMode(status.st_mode) + "): not trusted";
    return {};
}

// Empty when everything was read.
std::string ReadAll(int fd, std::string& bytes)
{
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) return {};
        if (got < 0 && errno != EINTR) return ErrnoText(errno);
        if (got > 0) bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

struct Permissions {
    mode_t mode = kOwnerOnly;
    gid_t group = static_cast<gid_t>(-1); // -1: the writer's own
};

// The file starts out as its owner's only; should its group not be kept,
// it stays so instead of opening the text to the writer's own group.
std::string Replace(const std::filesystem::path& file, std::string_view bytes, Permissions permissions)
{
    posix::ReplacementFile replacement(file, file.string() + ".new");
    const bool grouped = replacement.GiveTo(static_cast<uid_t>(-1), permissions.group);
    replacement.SetMode(grouped ? permissions.mode : permissions.mode & S_IRWXU);
    if (const int error = replacement.Write(bytes))
        return replacement.temporary().string() + ": cannot be written: " + ErrnoText(error);
    if (const int error = replacement.Commit()) return file.string() + ": cannot be replaced: " + ErrnoText(error);
    return {};
}

// The text goes to disk only once it reads back as the sources it was
// made from: whatever it could not carry would otherwise change another
// data source, or leave a file that refuses every answer.
std::string ReplaceChecked(const std::filesystem::path& file, const std::vector<DataSource>& sources,
                           Permissions permissions)
{
    const std::string text = FormatStore(sources);
    const StoreContents reread = ParseStore(text);
    if (reread.refused() || reread.sources != sources)
        return file.string() + ": the changed data sources would not read back as they are; nothing was written";
    return Replace(file, text, permissions);
}

// Opens the file without following a link, creating it empty (its
// owner's only, whatever the umask) when there is none yet.
int OpenOrCreate(const std::filesystem::path& file)
{
    for (;;) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) return fd;
        const int made = ::open(file.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly);
        if (made >= 0 && ::fchmod(made, kOwnerOnly) != 0) {
            ::close(made);
            return -1;
        }
        if (made >= 0 || errno != EEXIST) return made;
    }
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The lock is the store file itself, so that whoever may write the file
// may lock it and no lock file of another owner stands in the way. A
// writer that replaced the file while we waited leaves us holding the old
// one: current is false then, and the caller locks the file now in place.
std::string LockFile(const UniqueFd& fd, const std::filesystem::path& file, bool& current, Permissions& permissions)
{
    if (!fd) return file.string() + ": cannot be opened for writing: " +
                    (errno == ELOOP ? std::string("it is a symbolic link") : ErrnoText(errno));
    while (::flock(fd.get(), LOCK_EX) != 0)
        if (errno != EINTR) return file.string() + ": cannot be locked: " + ErrnoText(errno);
    struct stat held {}, now {};
    if (::fstat(fd.get(), &held) != 0) return file.string() + ": cannot be read: " + ErrnoText(errno);
    if (!S_ISREG(held.st_mode)) return file.string() + ": not a regular file";
    current = ::lstat(file.c_str(), &now) == 0 && SameFile(held, now);
    permissions = {static_cast<mode_t>(held.st_mode & 0777), held.st_gid};
    return {};
}

std::string ChangeLocked(const std::filesystem::path& file, Permissions permissions,
                         const std::function<void(std::vector<DataSource>&)>& change)
{
    StoreContents contents = ReadStoreFile(file);
    if (contents.refused()) return contents.refusal;
    const std::vector<DataSource> before = contents.sources;
    change(contents.sources);
    return contents.sources == before ? std::string() : ReplaceChecked(file, contents.sources, permissions);
}

} // namespace

StoreContents ReadStoreFile(const std::filesystem::path& file)
{
    // Non-blocking, so that a FIFO put in the file's place cannot hang the reader.
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd && (errno == ENOENT || errno == ENOTDIR)) return {};
    if (!fd) return Refused(file, "cannot be read: " + ErrnoText(errno));
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return Refused(file, "cannot be read: " + ErrnoText(errno));
    if (std::string distrust = Distrust(status); !distrust.empty()) return Refused(file, distrust);
    std::string bytes;
    if (std::string error = ReadAll(fd.get(), bytes); !error.empty()) return Refused(file, "cannot be read: " + error);
    StoreContents contents = ParseStore(bytes);
    return contents.refused() ? Refused(file, contents.refusal) : contents;
}

std::string UpdateStoreFile(const std::filesystem::path& file,
                            const std::function<void(std::vector<DataSource>&)>& change)
{
    std::error_code failed;
    std::filesystem::create_directories(file.parent_path(), failed);
    if (failed) return file.parent_path().string() + ": cannot be created: " + failed.message();
    for (;;) {
        const UniqueFd lock(OpenOrCreate(file));
        bool current = false;
        Permissions permissions;
        if (std::string error = LockFile(lock, file, current, permissions); !error.empty()) return error;
        if (current) return ChangeLocked(file, permissions, change);
    }
}

} // namespace valmorin::datasource
