#include "platform/datasource/store_file.h"

#include "platform/posix/unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace datasource {

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

std::string WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno != EINTR) return ErrnoText(errno);
        if (written > 0) bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

struct Permissions {
    mode_t mode = kOwnerOnly;
    gid_t group = static_cast<gid_t>(-1); // -1: the writer's own
};

Permissions PermissionsOf(const std::filesystem::path& file)
{
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) return {};
    return {static_cast<mode_t>(status.st_mode & 0777), status.st_gid};
}

// The file starts out as its owner's only; should its group not be kept,
// it stays so instead of opening the text to the writer's own group.
std::string WriteFlushed(const std::filesystem::path& file, std::string_view bytes, Permissions permissions)
{
    ::unlink(file.c_str()); // left over from a writer that died half-way
    const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly));
    if (!fd) return ErrnoText(errno);
    const bool grouped = ::fchown(fd.get(), static_cast<uid_t>(-1), permissions.group) == 0;
    if (::fchmod(fd.get(), grouped ? permissions.mode : permissions.mode & S_IRWXU) != 0) return ErrnoText(errno);
    if (std::string error = WriteAll(fd.get(), bytes); !error.empty()) return error;
    return ::fsync(fd.get()) == 0 ? std::string() : ErrnoText(errno);
}

// Flushing the folder makes the rename itself survive a power cut.
void FlushFolder(const std::filesystem::path& folder)
{
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

std::string Replace(const std::filesystem::path& file, std::string_view bytes)
{
    const std::filesystem::path written = file.string() + ".new";
    if (std::string error = WriteFlushed(written, bytes, PermissionsOf(file)); !error.empty()) {
        ::unlink(written.c_str());
        return written.string() + ": cannot be written: " + error;
    }
    if (::rename(written.c_str(), file.c_str()) != 0)
        return file.string() + ": cannot be replaced: " + ErrnoText(errno);
    FlushFolder(file.parent_path());
    return {};
}

bool LockExclusively(const UniqueFd& lock)
{
    if (!lock) return false;
    while (::flock(lock.get(), LOCK_EX) != 0)
        if (errno != EINTR) return false;
    return true;
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
    const std::filesystem::path lockFile = file.string() + ".lock";
    const UniqueFd lock(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly));
    if (!LockExclusively(lock)) return lockFile.string() + ": cannot be locked: " + ErrnoText(errno);
    StoreContents contents = ReadStoreFile(file);
    if (contents.refused()) return contents.refusal;
    const std::vector<DataSource> before = contents.sources;
    change(contents.sources);
    return contents.sources == before ? std::string() : Replace(file, FormatStore(contents.sources));
}

} // namespace datasource
