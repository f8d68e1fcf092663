#include "server/temporary_file.h"

#include "platform/posix/unique_fd.h"
#include "platform/posix/user_folders.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kPrefix = "valmorin-serve-";

std::filesystem::path Folder() { return TemporaryFolder(); }

// Whether a name is "valmorin-serve-<pid>-XXXXXX", as the server names its
// own folder (and older servers their uploads).
bool IsServerName(std::string_view name)
{
    if (!name.starts_with(kPrefix)) return false;
    name.remove_prefix(kPrefix.size());
    const std::size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || name.size() - dash != 7) return false;
    return std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(dash),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// A server locks (flock) its folder for as long as it runs: one nobody
// locks was left by a server that ended, whatever became of its process id
// since (reused, a zombie). flock locks belong to the open file, so this
// lock is no POSIX lock that a descriptor closed elsewhere in the process
// could drop.
bool Abandoned(const std::filesystem::path& entry)
{
    const UniqueFd fd(::open(entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

// The server's own folder, made at its first upload or export (mkdtemp:
// mode 0700, never through a link) and removed with what it holds when the
// server stops: other accounts reach nothing in it, whatever mode a file
// in it is given (an export's replacement file is made readable). A
// folder removed while the server runs (by a cleaner of old temporary
// files) is made again.
class ServerFolder {
public:
    ServerFolder() = default;
    ~ServerFolder()
    {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    ServerFolder(const ServerFolder&) = delete;
    ServerFolder& operator=(const ServerFolder&) = delete;

    std::filesystem::path Path()
    {
        const std::lock_guard lock(m_mutex);
        if (!m_lock || Removed()) Make();
        return m_path;
    }

private:
    bool Removed() const
    {
        struct stat status {};
        return ::fstat(m_lock.get(), &status) != 0 || status.st_nlink == 0;
    }

    void Make()
    {
        std::string pattern = (Folder() / (std::string(kPrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("no temporary folder can be made: " + std::string(std::strerror(errno)));
        m_path = pattern;
        m_lock = UniqueFd(::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (m_lock) ::flock(m_lock.get(), LOCK_EX | LOCK_NB);
    }

    std::mutex m_mutex;
    std::filesystem::path m_path;
    UniqueFd m_lock{-1};
};

std::filesystem::path OwnFolder()
{
    static ServerFolder folder;
    return folder.Path();
}

// Why another account could change what an entry on the way names: an
// entry (a link too) that is neither this account's nor root's, or a
// folder that others may write in without the sticky bit (which keeps each
// entry its owner's to move); empty when none can.
std::string ChangeableByOthers(const std::filesystem::path& entry, const struct stat& status)
{
    if (status.st_uid != ::geteuid() && status.st_uid != 0) return entry.string() + " belongs to another account";
    if (S_ISDIR(status.st_mode) && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0)
        return entry.string() + " may be written by other accounts and is not sticky";
    return {};
}

// Why another account could swap the folder, or what the server keeps in
// it, for something of its own; empty when none can. Walked one entry at a
// time from the root, each link followed where it leads and checked too.
std::string MovableByOthers(const std::filesystem::path& folder)
{
    constexpr int kMostLinks = 40;
    std::vector<std::filesystem::path> ahead(folder.begin(), folder.end());
    std::reverse(ahead.begin(), ahead.end()); // the next name last
    std::filesystem::path at = "/";
    int links = 0;
    struct stat status {};
    if (::lstat("/", &status) != 0) return std::string("/: ") + std::strerror(errno);
    if (std::string why = ChangeableByOthers(at, status); !why.empty()) return why;
    while (!ahead.empty()) {
        const std::filesystem::path name = ahead.back();
        ahead.pop_back();
        if (name == "/" || name.empty() || name == ".") continue;
        if (name == "..") {
            at = at.parent_path();
            continue;
        }
        const std::filesystem::path entry = at / name;
        if (::lstat(entry.c_str(), &status) != 0) return entry.string() + ": " + std::strerror(errno);
        if (std::string why = ChangeableByOthers(entry, status); !why.empty()) return why;
        if (!S_ISLNK(status.st_mode)) {
            at = entry;
            continue;
        }
        std::error_code error;
        const std::filesystem::path target = std::filesystem::read_symlink(entry, error);
        if (error || ++links > kMostLinks) return entry.string() + ": links that cannot be followed";
        if (target.is_absolute()) at = "/";
        std::vector<std::filesystem::path> more(target.begin(), target.end());
        ahead.insert(ahead.end(), more.rbegin(), more.rend());
    }
    return {};
}

} // namespace

void RequireTemporaryFolderOfOurOwn()
{
    const std::filesystem::path given = std::filesystem::absolute(Folder());
    if (const std::string why = MovableByOthers(given); !why.empty())
        throw std::runtime_error("the temporary folder " + given.string() + " is not safe for uploads and exports (" +
                                 why + "); set TMPDIR to a folder of this account's");
}

TemporaryFile::TemporaryFile()
{
    std::string pattern = (OwnFolder() / "file-XXXXXX").string();
    m_fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (m_fd < 0) throw std::runtime_error("no temporary file can be made: " + std::string(std::strerror(errno)));
    m_path = pattern;
}

TemporaryFile::~TemporaryFile()
{
    ::close(m_fd);
    ::unlink(m_path.c_str());
}

bool TemporaryFile::Write(std::string_view bytes)
{
    while (m_failure.empty() && !bytes.empty()) {
        const ssize_t written = ::write(m_fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0)
            m_failure = written < 0 ? std::strerror(errno) : "nothing written";
        else
            bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return m_failure.empty();
}

int RemoveStaleTemporaryFiles()
{
    int removed = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Folder(), error)) {
        const std::string name = entry.path().filename().string();
        struct stat status {};
        if (!IsServerName(name) || ::lstat(entry.path().c_str(), &status) != 0 || status.st_uid != ::geteuid() ||
            !(S_ISDIR(status.st_mode) || S_ISREG(status.st_mode)) || !Abandoned(entry.path()))
            continue;
        // remove_all follows no link it finds inside.
        std::error_code failed;
        if (std::filesystem::remove_all(entry.path(), failed) > 0 && !failed) ++removed;
    }
    return removed;
}
