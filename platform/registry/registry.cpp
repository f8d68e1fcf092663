#include "platform/registry/registry.h"

#include "platform/registry/hive.h"
#include "platform/registry/reg_text.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

using valmorin::registry::HiveId;
using valmorin::registry::Key;
using valmorin::registry::KeyPath;
using valmorin::registry::Value;

namespace {

struct Location {
    HiveId hive;
    KeyPath path;
};

// What a handle names: a place in a hive, or for the classes root the
// user's place and the machine's, in that order.
struct OpenKey {
    std::vector<Location> locations;
    bool predefined = false; // a root key, there even while its hive is empty
};

// Handles are numbers, as on Windows; the table owns what they name.
class HandleTable {
public:
    HKEY Add(OpenKey key)
    {
        const std::lock_guard lock(m_mutex);
        const std::uintptr_t id = m_next;
        m_next += 4;
        m_keys.emplace(id, std::move(key));
        return reinterpret_cast<HKEY>(id);
    }

    std::optional<OpenKey> Find(HKEY key) const
    {
        const std::lock_guard lock(m_mutex);
        const auto it = m_keys.find(reinterpret_cast<std::uintptr_t>(key));
        return it != m_keys.end() ? std::optional(it->second) : std::nullopt;
    }

    bool Remove(HKEY key)
    {
        const std::lock_guard lock(m_mutex);
        return m_keys.erase(reinterpret_cast<std::uintptr_t>(key)) != 0;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::uintptr_t, OpenKey> m_keys;
    std::uintptr_t m_next = 0x1000;
};

HandleTable& Handles()
{
    static HandleTable table;
    return table;
}

std::optional<OpenKey> PredefinedKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) return OpenKey{{{HiveId::LocalMachine, {}}}, true};
    if (key == HKEY_CURRENT_USER) return OpenKey{{{HiveId::CurrentUser, {}}}, true};
    if (key == HKEY_USERS) return OpenKey{{{HiveId::Users, {}}}, true};
    if (key == HKEY_CLASSES_ROOT)
        return OpenKey{
            {{HiveId::CurrentUser, {u"Software", u"Classes"}}, {HiveId::LocalMachine, {u"SOFTWARE", u"Classes"}}},
            true};
    return std::nullopt;
}

std::optional<OpenKey> Resolve(HKEY key)
{
    auto predefined = PredefinedKey(key);
    return predefined ? predefined : Handles().Find(key);
}

std::u16string_view NameOf(LPCWSTR name) { return name != nullptr ? name : u""; }

OpenKey Below(OpenKey key, LPCWSTR subKey)
{
    const KeyPath levels = valmorin::registry::SplitKeyPath(NameOf(subKey));
    if (levels.empty()) return key;
    for (Location& location : key.locations) location.path.insert(location.path.end(), levels.begin(), levels.end());
    key.predefined = false;
    return key;
}

// The keys an open key sees now, in the order of its locations.
DWORD ReadKeys(const OpenKey& key, std::vector<Key>& found)
{
    for (const Location& location : key.locations) {
        Key root;
        if (const DWORD error = valmorin::registry::ReadHive(location.hive, root)) return error;
        if (Key* held = valmorin::registry::FindKey(root, location.path)) found.push_back(std::move(*held));
    }
    return found.empty() && !key.predefined ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

// Changes the key at the first location whose key chooses accepts; none
// when no location does.
DWORD ChangeKey(const OpenKey& key, const std::function<bool(const Key&)>& chooses,
                const std::function<DWORD(Key&)>& change, DWORD none)
{
    for (const Location& location : key.locations) {
        Key root;
        if (const DWORD error = valmorin::registry::ReadHive(location.hive, root)) return error;
        const Key* held = valmorin::registry::FindKey(root, location.path);
        if (held == nullptr || !chooses(*held)) continue;
        return valmorin::registry::UpdateHive(location.hive, [&](Key& current) -> DWORD {
            Key* target = valmorin::registry::FindKey(current, location.path);
            return target != nullptr ? change(*target) : ERROR_KEY_DELETED;
        });
    }
    return none;
}

// A new key goes where its parent is, the machine's classes when both the
// user's and the machine's hold it; under a root, to the last location.
std::optional<Location> HomeOfNewKey(const OpenKey& parent, const OpenKey& target, DWORD& error)
{
    for (std::size_t i = parent.locations.size(); i-- > 0;) {
        Key root;
        if ((error = valmorin::registry::ReadHive(parent.locations[i].hive, root)) != ERROR_SUCCESS)
            return std::nullopt;
        if (valmorin::registry::FindKey(root, parent.locations[i].path) != nullptr) return target.locations[i];
    }
    if (parent.predefined) return target.locations.back();
    error = ERROR_KEY_DELETED;
    return std::nullopt;
}

std::vector<std::u16string> SubkeyNames(const std::vector<Key>& keys)
{
    std::vector<std::u16string> names;
    for (const Key& key : keys)
        for (const Key& subkey : key.subkeys)
            if (std::none_of(names.begin(), names.end(),
                             [&](const auto& name) { return valmorin::registry::SameName(name, subkey.name); }))
                names.push_back(subkey.name);
    std::sort(names.begin(), names.end(),
              [](const auto& a, const auto& b) { return valmorin::registry::NameLess(a, b); });
    return names;
}

std::vector<Value> VisibleValues(const std::vector<Key>& keys)
{
    std::vector<Value> values;
    for (const Key& key : keys)
        for (const Value& value : key.values)
            if (std::none_of(values.begin(), values.end(),
                             [&](const Value& seen) { return valmorin::registry::SameName(seen.name, value.name); }))
                values.push_back(value);
    return values;
}

DWORD CopyName(std::u16string_view name, LPWSTR buffer, LPDWORD length)
{
    if (buffer == nullptr || length == nullptr) return ERROR_INVALID_PARAMETER;
    if (name.size() + 1 > *length) return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = u'\0';
    *length = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

DWORD CopyData(const Value& value, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    if (type != nullptr) *type = value.type;
    if (dataSize == nullptr) return data != nullptr ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    const DWORD offered = *dataSize;
    *dataSize = static_cast<DWORD>(value.data.size());
    if (data == nullptr) return ERROR_SUCCESS;
    if (offered < value.data.size()) return ERROR_MORE_DATA;
    std::copy(value.data.begin(), value.data.end(), data);
    return ERROR_SUCCESS;
}

DWORD FindValue(HKEY key, std::u16string_view name, Value& found)
{
    const auto open = Resolve(key);
    if (!open) return ERROR_INVALID_HANDLE;
    std::vector<Key> keys;
    if (const DWORD error = ReadKeys(*open, keys)) return error;
    for (const Key& held : keys) {
        if (const Value* value = held.FindValue(name)) {
            found = *value;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

Value Narrowed(Value value)
{
    if (IsText(value.type)) {
        const std::string narrow = valmorin::text::Utf16ToUtf8(valmorin::registry::DataText(value.data));
        value.data.assign(narrow.begin(), narrow.end());
    }
    return value;
}

DWORD DeleteKey(HKEY key, LPCWSTR subKey, bool withSubkeys)
{
    const auto open = Resolve(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
    OpenKey parent = Below(*open, subKey);
    if (parent.predefined) return ERROR_ACCESS_DENIED;
    const std::u16string name = parent.locations.front().path.back();
    for (Location& location : parent.locations) location.path.pop_back();
    return ChangeKey(
        parent, [&](const Key& held) { return held.FindSubkey(name) != nullptr; },
        [&](Key& held) -> DWORD {
            const Key* doomed = held.FindSubkey(name);
            if (doomed == nullptr) return ERROR_FILE_NOT_FOUND;
            if (!withSubkeys && !doomed->subkeys.empty()) return ERROR_ACCESS_DENIED;
            held.RemoveSubkey(name);
            return ERROR_SUCCESS;
        },
        ERROR_FILE_NOT_FOUND);
}

// A name the hive's text cannot carry is refused before anything is
// written: a line break in it would corrupt the hive or start a section of
// its own.
bool CarriesPath(LPCWSTR subKey)
{
    const KeyPath levels = valmorin::registry::SplitKeyPath(NameOf(subKey));
    return std::all_of(levels.begin(), levels.end(),
                       [](const auto& level) { return valmorin::registry::IsCarriedName(level); });
}

// The calls return codes, never exceptions, as the Windows calls do.
template <typename Call>
LONG Guarded(Call call)
{
    try {
        return static_cast<LONG>(call());
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

} // namespace

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result)
{
    return Guarded([&]() -> DWORD {
        if (result == nullptr) return ERROR_INVALID_PARAMETER;
        *result = nullptr;
        const auto parent = Resolve(key);
        if (!parent) return ERROR_INVALID_HANDLE;
        OpenKey target = Below(*parent, subKey);
        std::vector<Key> found;
        if (const DWORD error = ReadKeys(target, found))
            return error == ERROR_KEY_DELETED ? ERROR_FILE_NOT_FOUND : error;
        *result = Handles().Add(std::move(target));
        return ERROR_SUCCESS;
    });
}

LONG RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result)
{
    return RegOpenKeyExW(key, subKey, 0, KEY_ALL_ACCESS, result);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access, void*, PHKEY result,
                     LPDWORD disposition)
{
    if (const LONG refused = Guarded([&] { return CarriesPath(subKey) ? ERROR_SUCCESS : ERROR_BADKEY; }))
        return refused;
    const LONG opened = RegOpenKeyExW(key, subKey, 0, access, result);
    if (opened != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
        if (opened == 0 && disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
        return opened;
    }
    return Guarded([&]() -> DWORD {
        const auto parent = Resolve(key);
        if (!parent) return ERROR_INVALID_HANDLE;
        OpenKey target = Below(*parent, subKey);
        DWORD error = ERROR_SUCCESS;
        const auto home = HomeOfNewKey(*parent, target, error);
        if (!home) return error;
        error = valmorin::registry::UpdateHive(home->hive, [&](Key& root) -> DWORD {
            valmorin::registry::FindOrAddKey(root, home->path);
            return ERROR_SUCCESS;
        });
        if (error != ERROR_SUCCESS) return error;
        if (disposition != nullptr) *disposition = REG_CREATED_NEW_KEY;
        *result = Handles().Add(std::move(target));
        return ERROR_SUCCESS;
    });
}

LONG RegCloseKey(HKEY key)
{
    if (PredefinedKey(key)) return ERROR_SUCCESS;
    return Handles().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    return Guarded([&]() -> DWORD {
        Value value;
        if (const DWORD error = FindValue(key, NameOf(valueName), value)) return error;
        return CopyData(value, type, data, dataSize);
    });
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    return Guarded([&]() -> DWORD {
        Value value;
        if (const DWORD error = FindValue(key, valmorin::text::Widen(valueName != nullptr ? valueName : ""), value))
            return error;
        return CopyData(Narrowed(std::move(value)), type, data, dataSize);
    });
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize)
{
    return Guarded([&]() -> DWORD {
        const auto open = Resolve(key);
        if (!open) return ERROR_INVALID_HANDLE;
        if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
        if (!valmorin::registry::IsCarriedName(NameOf(valueName))) return ERROR_INVALID_PARAMETER;
        Value value{std::u16string(NameOf(valueName)), type, std::vector<BYTE>(data, data + dataSize)};
        return ChangeKey(
            *open, [](const Key&) { return true; },
            [&](Key& held) -> DWORD {
                held.SetValue(value);
                return ERROR_SUCCESS;
            },
            ERROR_KEY_DELETED);
    });
}

LONG RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    return Guarded([&]() -> DWORD {
        const auto open = Resolve(key);
        if (!open) return ERROR_INVALID_HANDLE;
        const std::u16string_view name = NameOf(valueName);
        return ChangeKey(
            *open, [&](const Key& held) { return held.FindValue(name) != nullptr; },
            [&](Key& held) -> DWORD { return held.RemoveValue(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND; },
            ERROR_FILE_NOT_FOUND);
    });
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD, LPWSTR keyClass,
                   LPDWORD classLength, PFILETIME lastWriteTime)
{
    return Guarded([&]() -> DWORD {
        const auto open = Resolve(key);
        if (!open) return ERROR_INVALID_HANDLE;
        std::vector<Key> keys;
        if (const DWORD error = ReadKeys(*open, keys)) return error;
        const std::vector<std::u16string> names = SubkeyNames(keys);
        if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
        if (const DWORD error = CopyName(names[index], name, nameLength)) return error;
        if (keyClass != nullptr && classLength != nullptr && *classLength > 0) keyClass[0] = u'\0';
        if (classLength != nullptr) *classLength = 0;
        if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{};
        return ERROR_SUCCESS;
    });
}

LONG RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameLength)
{
    return RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize)
{
    return Guarded([&]() -> DWORD {
        const auto open = Resolve(key);
        if (!open) return ERROR_INVALID_HANDLE;
        std::vector<Key> keys;
        if (const DWORD error = ReadKeys(*open, keys)) return error;
        const std::vector<Value> values = VisibleValues(keys);
        if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
        if (const DWORD error = CopyName(values[index].name, name, nameLength)) return error;
        return CopyData(values[index], type, data, dataSize);
    });
}

LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    return Guarded([&] { return DeleteKey(key, subKey, false); });
}

LONG RegDeleteTreeW(HKEY key, LPCWSTR subKey)
{
    return Guarded([&] { return DeleteKey(key, subKey, true); });
}
