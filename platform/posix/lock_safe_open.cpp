#include "platform/posix/lock_safe_open.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace valmorin::posix {

namespace {

// Whether a descriptor of this process other than `except` refers to the
// file; descriptors are looked at with fstat, which opens nothing. Where
// /proc cannot be read nothing can be told, and the file counts as free.
bool HeldOpenElsewhere(const struct stat& file, int except)
{
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) return false;
    const int own = ::dirfd(folder);
    bool held = false;
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == except || fd == own) continue;
        struct stat other {};
        const int flags = ::fcntl(static_cast<int>(fd), F_GETFL);
        if (flags < 0 || (flags & O_PATH) != 0 || ::fstat(static_cast<int>(fd), &other) != 0) continue;
        if (other.st_dev == file.st_dev && other.st_ino == file.st_ino) {
            held = true;
            break;
        }
    }
    ::closedir(folder);
    return held;
}

} // namespace

UniqueFd OpenUnlessHeldOpen(const std::filesystem::path& file, int flags)
{
    const UniqueFd path(::open(file.c_str(), O_PATH | O_CLOEXEC | (flags & O_NOFOLLOW)));
    struct stat status {};
    if (!path || ::fstat(path.get(), &status) != 0) return UniqueFd(-1);
    if (S_ISLNK(status.st_mode)) {
        errno = ELOOP;
        return UniqueFd(-1);
    }
    if (HeldOpenElsewhere(status, path.get())) {
        errno = EBUSY;
        return UniqueFd(-1);
    }
    const std::string again = "/proc/self/fd/" + std::to_string(path.get());
    return UniqueFd(::open(again.c_str(), (flags & ~O_NOFOLLOW) | O_CLOEXEC));
}

} // namespace valmorin::posix
