// The in-memory form of registry keys: values and sub-keys under names that
// compare without regard to case and keep the spelling they were created
// with, as the Windows registry does.
#pragma once

#include "valmorin/com/types.h"

#include <string>
#include <string_view>
#include <vector>

namespace valmorin::registry {

// Case-insensitive for ASCII and Latin-1 letters, the names administrators
// type; other characters compare as they are.
VALMORIN_PLATFORM_API bool SameName(std::u16string_view a, std::u16string_view b);
bool NameLess(std::u16string_view a, std::u16string_view b);

struct Value {
    std::u16string name; // empty: the key's default value
    DWORD type = 0;
    std::vector<BYTE> data;

    bool operator==(const Value&) const = default;
};

struct Key {
    std::u16string name;
    std::vector<Value> values; // in the order they were first set
    std::vector<Key> subkeys;  // sorted with NameLess, as enumeration returns them

    bool operator==(const Key&) const = default;

    const Key* FindSubkey(std::u16string_view subkeyName) const;
    Key* FindSubkey(std::u16string_view subkeyName);
    Key& FindOrAddSubkey(std::u16string_view subkeyName);
    bool RemoveSubkey(std::u16string_view subkeyName);

    const Value* FindValue(std::u16string_view valueName) const;
    // An existing value keeps the spelling of its name.
    void SetValue(Value value);
    bool RemoveValue(std::u16string_view valueName);
};

// String data as the registry keeps it: UTF-16LE, and a terminating NUL
// when written from text.
VALMORIN_PLATFORM_API std::vector<BYTE> StringData(std::u16string_view text);
// Every whole UTF-16 unit of the data, NULs included.
VALMORIN_PLATFORM_API std::u16string DataText(const std::vector<BYTE>& data);

// A key path below some key, one name per level.
using KeyPath = std::vector<std::u16string>;

// Splits at backslashes; empty levels (doubled or outer backslashes) are
// dropped.
VALMORIN_PLATFORM_API KeyPath SplitKeyPath(std::u16string_view path);
const Key* FindKey(const Key& root, const KeyPath& path);
Key* FindKey(Key& root, const KeyPath& path);
Key& FindOrAddKey(Key& root, const KeyPath& path);

} // namespace valmorin::registry
