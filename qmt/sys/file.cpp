#include "qmt/sys/file.h"

#include "platform/text/utf.h"
#include "platform/win32/errors.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/file_error.h"

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qmt {

namespace {

constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

std::string Utf8(std::u16string_view text) { return valmorin::text::Utf16ToUtf8(text); }

[[noreturn]] void ThrowErrno(int error) { throw CWinException(Win32ErrorOfErrno(error)); }

std::optional<FindData> ReadDetails(const std::string& path, std::u16string name, bool followLinks, int& error)
{
    struct stat status {};
    const int failed = followLinks ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
    if (failed != 0) {
        error = errno;
        return std::nullopt;
    }
    FindData details;
    details.name = std::move(name);
    details.size = static_cast<std::uint64_t>(status.st_size);
    details.lastWriteTime = status.st_mtim.tv_sec * std::int64_t{1'000'000'000} + status.st_mtim.tv_nsec;
    if (S_ISDIR(status.st_mode)) details.attributes = FILE_ATTRIBUTE_DIRECTORY;
    return details;
}

bool IsCurrentFolder(const std::string& path)
{
    std::error_code failed;
    return std::filesystem::current_path(failed).string() == path;
}

// Linux lets a process remove the folder it stands in and then stand
// nowhere; it moves to the parent first, as Windows makes it by refusing.
void RemoveFolder(const std::u16string& folder)
{
    const std::string path = Utf8(folder);
    const CNode parent(kFileSeparator, folder + u"/..");
    if (IsCurrentFolder(path) && ::chdir(Utf8(parent.Path()).c_str()) != 0) ThrowErrno(errno);
    if (::rmdir(path.c_str()) != 0) ThrowErrno(errno);
}

void DeleteFolderTree(const std::u16string& folder)
{
    std::vector<std::u16string> entries;
    for (CFile::iterator entry(folder, u"*.*"), end; entry != end; ++entry) {
        const CFile file = *entry;
        if (file.Name() != u"/." && file.Name() != u"/..") entries.push_back(file.Name());
    }
    CFile parent(folder);
    for (const std::u16string& name : entries) parent.Delete(name);
    RemoveFolder(folder);
}

} // namespace

CFile::CFile(std::u16string_view path) : CNode(kFileSeparator, path) {}

CFile::CFile(std::u16string_view folder, std::u16string_view entry, const FindData& details)
    : CNode(kFileSeparator, folder), m_details(details), m_detailsValid(true)
{
    ChangeTo(entry);
}

CFile::~CFile()
{
    Close();
    if (m_deleteOnDestroy) ::unlink(Utf8(Path()).c_str());
}

const char* CFile::GetClassName() const { return "CFile"; }

void CFile::Open(std::u16string_view mode)
{
    const std::u16string path = Path();
    if (path.empty()) throw CWinException(ERROR_ACCESS_DENIED);
    TraceDebug(u"open file:%s", path.c_str());
    std::FILE* opened = std::fopen(Utf8(path).c_str(), Utf8(mode).c_str());
    const int error = errno;
    m_stream.reset(opened);
    if (opened == nullptr) ThrowErrno(error);
}

void CFile::Close()
{
    if (!m_stream) return;
    TraceDebug(u"close file:%s", Path().c_str());
    m_stream.reset();
}

void CFile::Delete(std::u16string_view name)
{
    const std::u16string target = Joined(name);
    if (name.starts_with(kFileSeparator))
        DeleteFolderTree(target);
    else if (::unlink(Utf8(target).c_str()) != 0)
        ThrowErrno(errno);
}

void CFile::SetAttribute(std::u16string_view spec)
{
    if (spec.size() < 2 || (spec[0] != u'+' && spec[0] != u'-')) return;
    const std::string path = Utf8(Path());
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) ThrowErrno(errno);
    mode_t mode = status.st_mode & 07777;
    if (spec[1] == u'r' || spec[1] == u'R') mode = spec[0] == u'+' ? mode & ~kWriteBits : mode | S_IWUSR;
    if (::chmod(path.c_str(), mode) != 0) ThrowErrno(errno);
}

CFile CFile::Child(std::u16string_view name) const
{
    const std::u16string joined = Joined(name);
    if (name.starts_with(kFileSeparator)) {
        TraceDebug(u"mkdir %s", joined.c_str());
        ::mkdir(Utf8(joined).c_str(), 0777); // an existing folder is what was wanted
    }
    return CFile(joined);
}

DWORD CFile::Size() { return static_cast<DWORD>(Details().size); }

const FindData& CFile::Details()
{
    if (m_detailsValid) return m_details;
    const std::u16string& name = Name();
    int error = 0;
    auto details = ReadDetails(Utf8(Path()), name.starts_with(kFileSeparator) ? name.substr(1) : name, true, error);
    if (!details) ThrowErrno(error);
    m_details = std::move(*details);
    m_detailsValid = true;
    return m_details;
}

struct CFile::iterator::Search {
    struct FolderCloser {
        void operator()(DIR* folder) const { ::closedir(folder); }
    };
    std::unique_ptr<DIR, FolderCloser> folder;
    std::string pattern;
};

CFile::iterator::iterator(std::u16string_view folder, std::u16string_view pattern) : m_folder(folder)
{
    DIR* opened = ::opendir(Utf8(folder).c_str());
    if (opened == nullptr) {
        const int error = errno;
        throw CWinException(error == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorOfErrno(error));
    }
    m_search = std::make_shared<Search>(Search{std::unique_ptr<DIR, Search::FolderCloser>(opened), Utf8(pattern)});
    if (!Advance()) throw CWinException(ERROR_FILE_NOT_FOUND);
}

CFile CFile::iterator::operator*() const
{
    const bool isFolder = (m_details.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return CFile(m_folder, isFolder ? kFileSeparator + m_details.name : m_details.name, m_details);
}

CFile::iterator& CFile::iterator::operator++()
{
    Advance();
    return *this;
}

// Moves to the next matching entry, or to the end. An entry removed
// between the listing and the look at its details is passed over.
bool CFile::iterator::Advance()
{
    const std::string folder = Utf8(m_folder) + "/";
    while (const dirent* entry = ::readdir(m_search->folder.get())) {
        const std::string& pattern = m_search->pattern;
        if (pattern != "*.*" && ::fnmatch(pattern.c_str(), entry->d_name, 0) != 0) continue;
        int error = 0;
        if (auto details = ReadDetails(folder + entry->d_name, valmorin::text::Widen(entry->d_name), false, error)) {
            m_details = std::move(*details);
            return true;
        }
    }
    m_folder.clear();
    m_details = {};
    m_search.reset();
    return false;
}

} // namespace qmt
