// Files and folders: a node with the entry's details read on demand, an
// optional open stream, folder creation on the way down, deletion of files
// and folder trees, the read-only attribute, and folder enumeration.
#pragma once

#include "valmorin/com/types.h"
#include "qmt/sys/node.h"

#include <cstdint>
#include <cstdio>
#include <memory>

namespace qmt {

inline constexpr char16_t kFileSeparator = u'/';

inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;

// What a folder search tells of an entry. A symbolic link is reported as
// itself, not as what it points to, so that deleting a folder tree never
// follows one.
struct FindData {
    DWORD attributes = 0; // FILE_ATTRIBUTE_DIRECTORY or none
    std::uint64_t size = 0;
    std::int64_t lastWriteTime = 0; // nanoseconds since 1970
    std::u16string name;            // the entry's own name

    bool operator==(const FindData&) const = default;
};

class CFile : public CNode {
public:
    explicit CFile(std::u16string_view path = {});
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    // Closes the stream and, when asked to, deletes the file.
    ~CFile() override;

    const char* GetClassName() const override;
    // Opens the stream with an fopen mode; CWinException 5 for a node with
    // no path, the failure's code when the file cannot be opened.
    void Open(std::u16string_view mode) override;
    void Close() override;
    // "name" deletes that file in this folder, "/name" that folder with
    // everything in it.
    void Delete(std::u16string_view name) override;
    // "+r" takes every write bit away, "-r" gives the owner the write bit
    // back. Hidden and archive ("h", "a") are accepted and change nothing:
    // Linux files have no such attributes. Any other sign changes nothing.
    void SetAttribute(std::u16string_view spec) override;

    // The file or folder name below this one; a name starting with the
    // separator is a folder, created here when it does not exist yet.
    CFile Child(std::u16string_view name) const;
    // The low 32 bits of the file's size.
    DWORD Size();
    std::FILE* Stream() const { return m_stream.get(); }
    void DeleteOnDestroy(bool enabled) { m_deleteOnDestroy = enabled; }

    class iterator;

private:
    CFile(std::u16string_view folder, std::u16string_view entry, const FindData& details);
    const FindData& Details();

    struct StreamCloser {
        void operator()(std::FILE* stream) const { std::fclose(stream); }
    };

    bool m_deleteOnDestroy = false;
    FindData m_details;
    bool m_detailsValid = false;
    std::unique_ptr<std::FILE, StreamCloser> m_stream;
};

// The entries of a folder whose names match a pattern ("*" and "?"
// wildcards; "*.*" matches every name, as on Windows), "." and ".."
// included. Copies share one search; the last one to go ends it.
class CFile::iterator {
public:
    iterator() = default; // the end
    // CWinException 3 for a folder that does not exist, 2 when no entry
    // matches.
    iterator(std::u16string_view folder, std::u16string_view pattern);
    virtual ~iterator() = default;
    iterator(const iterator&) = default;
    iterator& operator=(const iterator&) = default;

    // The entry as a file below the folder, named as Child and Delete take
    // it: a folder's name with a leading separator.
    CFile operator*() const;
    iterator& operator++();
    bool operator==(const iterator& other) const { return m_folder == other.m_folder && m_details == other.m_details; }

private:
    struct Search;
    bool Advance();

    std::u16string m_folder;
    FindData m_details;
    std::shared_ptr<Search> m_search;
};

} // namespace qmt
