// One registry key, named by its full path from a root key name
// ("HKEY_LOCAL_MACHINE\SOFTWARE\Pelkor\Common\Valmorin"), with the reads the
// component makes and the deletion of values and key trees. Every step is
// logged; failures are CException-family exceptions.
#pragma once

#include "platform/registry/registry.h"
#include "qmt/sys/node.h"

#include <memory>
#include <string>

namespace qmt {

class CRegistry : public CNode {
public:
    // No registry access until a key is needed.
    explicit CRegistry(std::u16string_view path);

    const char* GetClassName() const override;
    // Opens the key the path names (mode is not used). The root must be
    // spelled out in full, in any case: CWinException 1011 for any other
    // root, CException 1011 "The configuration registry key ... could not be
    // opened." when the key does not exist.
    void Open(std::u16string_view mode) override;
    void Close() override;
    // "name" deletes that value, "\name" that sub-key with all below it.
    void Delete(std::u16string_view name) override;
    bool IsOpen() const override;

    // Both open the key when needed and read through the narrow (UTF-8)
    // interface into a fixed buffer: a text of up to 511 bytes, a 32-bit
    // number; the value's type is not checked. CWinException 2 for a
    // missing value, 234 for a longer one.
    std::u16string ReadValue(std::u16string_view name);
    DWORD ReadSubKey(std::u16string_view name);

    class iterator;

private:
    void DeleteValue(std::u16string_view name);
    static void DeleteTree(const std::u16string& path);
    DWORD QueryNarrow(const char16_t* step, std::u16string_view name, BYTE* buffer, DWORD size);

    UniqueHKey m_key;
};

// The sub-keys of a key, in the registry's order. Dereferencing gives the
// sub-key, whose name is "\" + its own. Copies share the open key; the last
// one to go closes it. Reaching the end leaves an Error record (259) in the
// log.
class CRegistry::iterator {
public:
    iterator() = default; // the end
    // CWinException when the key cannot be opened; the end iterator when it
    // has no sub-keys.
    explicit iterator(std::u16string_view keyPath);
    virtual ~iterator() = default;
    iterator(const iterator&) = default;
    iterator& operator=(const iterator&) = default;

    CRegistry operator*() const;
    iterator& operator++();
    bool operator==(const iterator& other) const { return m_name == other.m_name; }

private:
    std::u16string m_keyPath;
    std::u16string m_name;
    DWORD m_next = 0;
    std::shared_ptr<UniqueHKey> m_key;
};

} // namespace qmt
