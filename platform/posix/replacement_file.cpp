#include "platform/posix/replacement_file.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace valmorin::posix {

namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

// -1 with errno set when the file cannot be made.
int MakeNamed(const std::filesystem::path& file)
{
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) return -1;
    return ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly);
}

// mkostemp makes the file with O_EXCL, owner-only: a link in its place
// makes it choose another name.
int MakeUnique(const std::filesystem::path& target, std::filesystem::path& made)
{
    std::string pattern = target.string() + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) made = pattern;
    return fd;
}

void FlushFolder(const std::filesystem::path& folder)
{
    const UniqueFd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

} // namespace

ReplacementFile::ReplacementFile(std::filesystem::path target, std::filesystem::path temporary)
    : m_target(std::move(target)), m_temporary(std::move(temporary))
{
    const int fd = m_temporary.empty() ? MakeUnique(m_target, m_temporary) : MakeNamed(m_temporary);
    if (fd < 0) {
        m_error = errno;
        m_temporary.clear(); // nothing of ours to remove
        return;
    }
    m_fd = UniqueFd(fd);
    // mkostemp and open leave the umask's mark; the mode is set outright.
    if (::fchmod(fd, kOwnerOnly) != 0) Fail(errno);
}

ReplacementFile::~ReplacementFile()
{
    if (!m_committed && !m_temporary.empty()) ::unlink(m_temporary.c_str());
}

int ReplacementFile::Fail(int error)
{
    if (m_error == 0) m_error = error;
    return m_error;
}

bool ReplacementFile::GiveTo(uid_t owner, gid_t group)
{
    return m_error == 0 && ::fchown(m_fd.get(), owner, group) == 0;
}

int ReplacementFile::SetMode(mode_t mode)
{
    if (m_error != 0) return m_error;
    return ::fchmod(m_fd.get(), mode) == 0 ? 0 : Fail(errno);
}

int ReplacementFile::Write(std::string_view bytes)
{
    while (m_error == 0 && !bytes.empty()) {
        const ssize_t written = ::write(m_fd.get(), bytes.data(), bytes.size());
        if (written < 0 && errno != EINTR) return Fail(errno);
        if (written > 0) bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return m_error;
}

int ReplacementFile::Commit()
{
    if (m_error != 0) return m_error;
    if (::fsync(m_fd.get()) != 0) return Fail(errno);
    if (::rename(m_temporary.c_str(), m_target.c_str()) != 0) return Fail(errno);
    m_committed = true;
    FlushFolder(m_target.parent_path());
    return 0;
}

} // namespace valmorin::posix
