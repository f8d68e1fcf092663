#include "qmt/sys/pe_file.h"

#include "platform/posix/unique_fd.h"
#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/sys/file_error.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <cerrno>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qmt {

namespace {

constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
// Notes are small; a larger note section is not read whole.
constexpr std::uint64_t kNoteSectionLimit = 1 << 20;

bool ReadAt(int fd, std::uint64_t offset, void* bytes, std::size_t size)
{
    return ::pread(fd, bytes, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

template <typename Record>
bool ReadAt(int fd, std::uint64_t offset, Record& record)
{
    return ReadAt(fd, offset, &record, sizeof record);
}

bool ReadAt(int fd, std::uint64_t offset, std::string& bytes)
{
    return ReadAt(fd, offset, bytes.data(), bytes.size());
}

std::size_t Padded(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

std::optional<std::string> VersionNote(std::string_view notes)
{
    const std::string_view owner(kVersionNoteOwner, sizeof kVersionNoteOwner);
    while (notes.size() >= sizeof(Elf64_Nhdr)) {
        Elf64_Nhdr header;
        std::memcpy(&header, notes.data(), sizeof header);
        notes.remove_prefix(sizeof header);
        const std::size_t nameSize = Padded(header.n_namesz);
        const std::size_t descriptorSize = Padded(header.n_descsz);
        if (nameSize > notes.size() || descriptorSize > notes.size() - nameSize) break;
        if (header.n_type == kVersionNoteType && notes.substr(0, header.n_namesz) == owner) {
            const std::string_view descriptor = notes.substr(nameSize, header.n_descsz);
            return std::string(descriptor.substr(0, descriptor.find('\0')));
        }
        notes.remove_prefix(nameSize + descriptorSize);
    }
    return std::nullopt;
}

bool IsElf64(const Elf64_Ehdr& header)
{
    return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64 &&
           header.e_shentsize == sizeof(Elf64_Shdr);
}

// What GetFileVersionInfoW reads of a Windows module: its version resource.
std::string VersionResource(int module)
{
    Elf64_Ehdr header;
    if (!ReadAt(module, 0, header) || !IsElf64(header)) throw CWinException(ERROR_BAD_EXE_FORMAT);
    for (std::uint64_t index = 0; index < header.e_shnum; ++index) {
        Elf64_Shdr section;
        if (!ReadAt(module, header.e_shoff + index * sizeof section, section))
            throw CWinException(ERROR_BAD_EXE_FORMAT);
        if (section.sh_type != SHT_NOTE || section.sh_size > kNoteSectionLimit) continue;
        std::string notes(section.sh_size, '\0');
        if (!ReadAt(module, section.sh_offset, notes)) throw CWinException(ERROR_BAD_EXE_FORMAT);
        if (auto resource = VersionNote(notes)) return *resource;
    }
    throw CWinException(ERROR_RESOURCE_TYPE_NOT_FOUND);
}

// What VerQueryValueA answers for a sub-block.
std::optional<std::string_view> Query(std::string_view resource, std::string_view subBlock)
{
    for (std::size_t from = 0; from < resource.size();) {
        const std::size_t end = std::min(resource.find('\n', from), resource.size());
        const std::string_view line = resource.substr(from, end - from);
        if (line.size() > subBlock.size() && line.starts_with(subBlock) && line[subBlock.size()] == '=')
            return line.substr(subBlock.size() + 1);
        from = end + 1;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> HexWord(std::string_view digits)
{
    std::uint16_t word = 0;
    const auto [end, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), word, 16);
    return failed == std::errc{} && end == digits.data() + digits.size() ? std::optional(word) : std::nullopt;
}

// The first translation's language and code page, "\StringFileInfo\%04x%04x\".
std::optional<std::string> StringTable(std::string_view resource)
{
    const auto translation = Query(resource, "\\VarFileInfo\\Translation");
    if (!translation || translation->size() < 8) return std::nullopt;
    const auto language = HexWord(translation->substr(0, 4));
    const auto codePage = HexWord(translation->substr(4, 4));
    if (!language || !codePage) return std::nullopt;
    char table[32];
    std::snprintf(table, sizeof table, "\\StringFileInfo\\%04x%04x\\", *language, *codePage);
    return table;
}

// Read without CFile's "open file" and "close file" records: the version is
// read while the log's header is written, and the header's first record
// is its "File:" line.
int OpenModule(const std::u16string& path)
{
    const int module = ::open(valmorin::text::Utf16ToUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (module < 0) throw CWinException(Win32ErrorOfErrno(errno));
    return module;
}

// A FIFO or device in the module's place is no module.
void RequireRegularFile(const UniqueFd& module)
{
    struct stat status {};
    if (::fstat(module.get(), &status) != 0 || !S_ISREG(status.st_mode)) throw CWinException(ERROR_BAD_EXE_FORMAT);
}

} // namespace

CPEFile::CPEFile(std::u16string_view path) : CFile(path) {}

const char* CPEFile::GetClassName() const { return "CPEFile"; }

std::u16string CPEFile::ProductName() const { return VersionString("ProductName"); }

std::u16string CPEFile::ProductVersion() const { return VersionString("ProductVersion"); }

std::u16string CPEFile::VersionString(std::string_view key) const
{
    const UniqueFd module(OpenModule(Path()));
    RequireRegularFile(module);
    const std::string resource = VersionResource(module.get());
    const auto table = StringTable(resource);
    const auto value = table ? Query(resource, *table + std::string(key)) : std::nullopt;
    return value ? valmorin::text::Widen(*value) : std::u16string();
}

} // namespace qmt
