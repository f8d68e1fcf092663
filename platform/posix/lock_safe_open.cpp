#include "platform/posix/lock_safe_open.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace valmorin::posix {

namespace {

// Whether this process holds a POSIX lock on the file. /proc/locks lists
// each lock as "<n>: POSIX ADVISORY <READ|WRITE> <pid> <major>:<minor>:<inode>
// <start> <end>", the device in hex; waiting requests are marked "->".
// Where it cannot be read nothing can be told, and the file counts as free.
bool LockedHere(const struct stat& file)
{
    std::ifstream locks("/proc/locks");
    const long self = static_cast<long>(::getpid());
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access;
        long pid = 0;
        std::string where;
        fields >> number >> kind;
        if (kind == "->") fields >> kind;
        fields >> mode >> access >> pid >> where;
        if (!fields || kind != "POSIX" || pid != self) continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3 &&
            makedev(major, minor) == file.st_dev && inode == file.st_ino)
            return true;
    }
    return false;
}

} // namespace

UniqueFd OpenUnlessLockedHere(const std::filesystem::path& file, int flags)
{
    const UniqueFd path(::open(file.c_str(), O_PATH | O_CLOEXEC | (flags & O_NOFOLLOW)));
    struct stat status {};
    if (!path || ::fstat(path.get(), &status) != 0) return UniqueFd(-1);
    if (S_ISLNK(status.st_mode)) {
        errno = ELOOP;
        return UniqueFd(-1);
    }
    if (LockedHere(status)) {
        errno = EBUSY;
        return UniqueFd(-1);
    }
    const std::string again = "/proc/self/fd/" + std::to_string(path.get());
    return UniqueFd(::open(again.c_str(), (flags & ~O_NOFOLLOW) | O_CLOEXEC));
}

} // namespace valmorin::posix
