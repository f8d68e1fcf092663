#include "platform/registry/key_tree.h"

#include <algorithm>
#include <utility>

namespace valmorin::registry {

namespace {

char16_t FoldCase(char16_t c)
{
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c >= u'\u00E0' && c <= u'\u00FE' && c != u'\u00F7') return static_cast<char16_t>(c - 0x20);
    return c;
}

template <typename Range>
auto LowerBound(Range& keys, std::u16string_view name)
{
    return std::lower_bound(keys.begin(), keys.end(), name,
                            [](const Key& key, std::u16string_view wanted) { return NameLess(key.name, wanted); });
}

} // namespace

bool SameName(std::u16string_view a, std::u16string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

bool NameLess(std::u16string_view a, std::u16string_view b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return FoldCase(x) < FoldCase(y); });
}

const Key* Key::FindSubkey(std::u16string_view subkeyName) const
{
    const auto it = LowerBound(subkeys, subkeyName);
    return it != subkeys.end() && SameName(it->name, subkeyName) ? &*it : nullptr;
}

Key* Key::FindSubkey(std::u16string_view subkeyName)
{
    return const_cast<Key*>(std::as_const(*this).FindSubkey(subkeyName));
}

Key& Key::FindOrAddSubkey(std::u16string_view subkeyName)
{
    const auto it = LowerBound(subkeys, subkeyName);
    if (it != subkeys.end() && SameName(it->name, subkeyName)) return *it;
    return *subkeys.insert(it, Key{std::u16string(subkeyName), {}, {}});
}

bool Key::RemoveSubkey(std::u16string_view subkeyName)
{
    const auto it = LowerBound(subkeys, subkeyName);
    if (it == subkeys.end() || !SameName(it->name, subkeyName)) return false;
    subkeys.erase(it);
    return true;
}

const Value* Key::FindValue(std::u16string_view valueName) const
{
    const auto it =
        std::find_if(values.begin(), values.end(), [&](const Value& value) { return SameName(value.name, valueName); });
    return it != values.end() ? &*it : nullptr;
}

void Key::SetValue(Value value)
{
    if (auto* existing = const_cast<Value*>(FindValue(value.name))) {
        existing->type = value.type;
        existing->data = std::move(value.data);
        return;
    }
    values.push_back(std::move(value));
}

bool Key::RemoveValue(std::u16string_view valueName)
{
    return std::erase_if(values, [&](const Value& value) { return SameName(value.name, valueName); }) != 0;
}

std::vector<BYTE> StringData(std::u16string_view text)
{
    std::vector<BYTE> data;
    for (const char16_t c : text) {
        data.push_back(static_cast<BYTE>(c & 0xFF));
        data.push_back(static_cast<BYTE>(c >> 8));
    }
    data.insert(data.end(), {0, 0});
    return data;
}

std::u16string DataText(const std::vector<BYTE>& data)
{
    std::u16string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    return text;
}

KeyPath SplitKeyPath(std::u16string_view path)
{
    KeyPath levels;
    for (std::size_t from = 0; from <= path.size();) {
        const std::size_t to = std::min(path.find(u'\\', from), path.size());
        if (to > from) levels.emplace_back(path.substr(from, to - from));
        from = to + 1;
    }
    return levels;
}

const Key* FindKey(const Key& root, const KeyPath& path)
{
    const Key* key = &root;
    for (auto level = path.begin(); key != nullptr && level != path.end(); ++level) key = key->FindSubkey(*level);
    return key;
}

Key* FindKey(Key& root, const KeyPath& path) { return const_cast<Key*>(FindKey(std::as_const(root), path)); }

Key& FindOrAddKey(Key& root, const KeyPath& path)
{
    Key* key = &root;
    for (const std::u16string& level : path) key = &key->FindOrAddSubkey(level);
    return *key;
}

} // namespace valmorin::registry
