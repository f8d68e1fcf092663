// A location in the file system or the registry: its full path and its last
// component, with the path algebra the file and registry classes share.
#pragma once

#include <string>
#include <string_view>

namespace qmt {

class CNode {
public:
    // Registry paths separate their levels with backslashes, file paths on
    // Linux with slashes; the algebra is the same. The node starts empty and
    // changes to path.
    explicit CNode(char16_t separator, std::u16string_view path = {});
    CNode(const CNode&) = default;
    CNode& operator=(const CNode&) = default;
    virtual ~CNode() = default;

    virtual const char* GetClassName() const;
    virtual void Open(std::u16string_view mode);
    virtual void Close();
    virtual void Delete(std::u16string_view name);
    virtual bool IsOpen() const;
    virtual void SetAttribute(std::u16string_view spec);

    // Moves the node and returns the new path:
    //   ""             nothing changes
    //   ".."           up one level; "C:" or the root "/" stay where they are
    //   "X:\..."       a drive path (X:/... with slashes) replaces the path
    //   "name", "a\b"  goes down to that child (a separator is put between)
    //   "\name"        is appended as it is: the form folders and sub-keys
    //                  are named in; on an empty node, an absolute Linux path
    // One trailing separator of the argument is dropped first.
    std::u16string ChangeTo(std::u16string_view argument);

    // The last component, with its leading separator when the path holds
    // one (and so for folders and sub-keys); a name that ChangeTo went down
    // to has none.
    const std::u16string& Name() const { return m_name; }
    std::u16string Path() const { return m_path; }

protected:
    // The path of a child: a name that starts with the separator is appended
    // as it is, any other after a separator.
    std::u16string Joined(std::u16string_view name) const;

private:
    bool IsDrivePath(std::u16string_view argument) const;
    void GoUp();
    void NameFromPath();

    char16_t m_separator;
    std::u16string m_path;
    std::u16string m_name;
};

} // namespace qmt
