#include "serve/temporary_file.h"

#include "platform/posix/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kPrefix = "valmorin-serve-";

std::filesystem::path Folder() { return std::filesystem::temp_directory_path(); }

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
// in it is given (an export's replacement file is made readable).
class ServerFolder {
public:
    ServerFolder()
        : m_path(MadeFolder()), m_lock(::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
    {
        if (m_lock) ::flock(m_lock.get(), LOCK_EX | LOCK_NB);
    }
    ~ServerFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ServerFolder(const ServerFolder&) = delete;
    ServerFolder& operator=(const ServerFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    static std::filesystem::path MadeFolder()
    {
        std::string pattern = (Folder() / (std::string(kPrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("no temporary folder can be made: " + std::string(std::strerror(errno)));
        return pattern;
    }

    std::filesystem::path m_path;
    UniqueFd m_lock;
};

const std::filesystem::path& OwnFolder()
{
    static const ServerFolder folder;
    return folder.path();
}

} // namespace

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
