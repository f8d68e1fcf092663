#include "serve/temporary_file.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kPrefix = "valmorin-serve-";

std::filesystem::path Folder() { return std::filesystem::temp_directory_path(); }

// The process id in a name "valmorin-serve-<pid>-XXXXXX", or 0 when the
// name is not of that form.
pid_t OwnerOf(std::string_view name)
{
    if (!name.starts_with(kPrefix)) return 0;
    name.remove_prefix(kPrefix.size());
    const std::size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || name.size() - dash != 7) return 0;
    pid_t pid = 0;
    for (const char c : name.substr(0, dash)) {
        if (c < '0' || c > '9' || pid > 100'000'000) return 0;
        pid = pid * 10 + (c - '0');
    }
    return pid;
}

bool Alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

} // namespace

TemporaryFile::TemporaryFile()
{
    std::string pattern = (Folder() / (std::string(kPrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
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
        const pid_t owner = OwnerOf(name);
        struct stat status {};
        if (owner == 0 || Alive(owner) || ::lstat(entry.path().c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_uid != ::geteuid())
            continue;
        if (::unlink(entry.path().c_str()) == 0) ++removed;
    }
    return removed;
}
