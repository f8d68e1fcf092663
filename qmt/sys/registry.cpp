#include "qmt/sys/registry.h"

#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "platform/text/ascii.h"

#include <array>
#include <utility>
#include <vector>

namespace qmt {

namespace {

constexpr char16_t kKeySeparator = u'\\';
constexpr DWORD kValueCapacity = 512;      // bytes of a text value, its NUL included
constexpr std::size_t kNameCapacity = 512; // wide characters of a sub-key name

struct RootAndSubPath {
    HKEY root;
    std::u16string subPath;
};

// Only the root name's case is folded; the rest of the path goes to the
// registry as it is.
RootAndSubPath ParseRoot(std::u16string_view path)
{
    const std::size_t separator = path.find(kKeySeparator);
    std::u16string rootName(path.substr(0, separator));
    for (char16_t& c : rootName) c = valmorin::text::AsciiUpper(c);
    const std::u16string subPath(separator == std::u16string_view::npos ? u"" : path.substr(separator + 1));
    const std::pair<std::u16string_view, HKEY> roots[] = {{u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                                          {u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                                                          {u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                                          {u"HKEY_USERS", HKEY_USERS}};
    for (const auto& [name, root] : roots)
        if (rootName == name) return {root, subPath};
    throw CWinException(ERROR_CANTOPEN);
}

// The exception for a failed step, after the record that tells which step
// failed on what: a Warning when the thing is missing, an Error otherwise.
CWinException LoggedFailure(DWORD error, const char16_t* step, const std::u16string& subject)
{
    CWinException failure(error);
    Trace(error == ERROR_FILE_NOT_FOUND ? LogLevel::Warning : LogLevel::Error, u"%s %s failed: %s", step,
          subject.c_str(), failure.description.c_str());
    return failure;
}

bool EnumerateSubkey(HKEY key, DWORD index, std::u16string& name, const char16_t* step, const std::u16string& subject)
{
    std::array<char16_t, kNameCapacity> buffer{};
    const auto error = static_cast<DWORD>(RegEnumKeyW(key, index, buffer.data(), buffer.size()));
    if (error != ERROR_SUCCESS) {
        LoggedFailure(error, step, subject);
        return false;
    }
    name = buffer.data();
    return true;
}

} // namespace

CRegistry::CRegistry(std::u16string_view path) : CNode(kKeySeparator, path) {}

const char* CRegistry::GetClassName() const { return "CRegistry"; }

void CRegistry::Open(std::u16string_view)
{
    const std::u16string path = Path();
    TraceDebug(u"Registry Open %s", path.c_str());
    const auto [root, subPath] = ParseRoot(path);
    HKEY key = nullptr;
    const auto error = static_cast<DWORD>(RegOpenKeyW(root, subPath.c_str(), &key));
    if (error == ERROR_FILE_NOT_FOUND)
        throw CException(u"Windows", u"The configuration registry key " + path + u" could not be opened.",
                         ERROR_CANTOPEN);
    if (error != ERROR_SUCCESS) throw CWinException(error);
    m_key.reset(key);
}

void CRegistry::Close() { m_key.reset(); }

bool CRegistry::IsOpen() const { return m_key != nullptr; }

void CRegistry::Delete(std::u16string_view name)
{
    if (name.starts_with(kKeySeparator))
        DeleteTree(Joined(name));
    else
        DeleteValue(name);
}

void CRegistry::DeleteValue(std::u16string_view name)
{
    const std::u16string valueName(name);
    TraceDebug(u"Registry delete value:%s", valueName.c_str());
    if (!IsOpen()) Open({});
    const auto error = static_cast<DWORD>(RegDeleteValueW(m_key.get(), valueName.c_str()));
    if (error != ERROR_SUCCESS) throw LoggedFailure(error, u"Registry delete value", valueName);
}

// Sub-keys go first, depth first: a key is deleted once it has none.
void CRegistry::DeleteTree(const std::u16string& path)
{
    std::vector<std::u16string> subkeys;
    for (iterator subkey(path), end; subkey != end; ++subkey) subkeys.push_back((*subkey).Name());
    CRegistry key(path);
    for (const std::u16string& name : subkeys) key.Delete(name);
    const auto [root, subPath] = ParseRoot(path);
    TraceDebug(u"Registry delete key:%s", subPath.c_str());
    const auto error = static_cast<DWORD>(RegDeleteKeyW(root, subPath.c_str()));
    if (error != ERROR_SUCCESS) throw LoggedFailure(error, u"Registry delete key", subPath);
}

DWORD CRegistry::QueryNarrow(const char16_t* step, std::u16string_view name, BYTE* buffer, DWORD size)
{
    if (!IsOpen()) Open({});
    const std::u16string valueName(name);
    const auto error = static_cast<DWORD>(
        RegQueryValueExA(m_key.get(), valmorin::text::Utf16ToUtf8(name).c_str(), nullptr, nullptr, buffer, &size));
    if (error != ERROR_SUCCESS) throw LoggedFailure(error, step, valueName);
    return size;
}

std::u16string CRegistry::ReadValue(std::u16string_view name)
{
    std::array<BYTE, kValueCapacity + 1> buffer{};
    QueryNarrow(u"Registry read value", name, buffer.data(), kValueCapacity);
    const std::u16string value = valmorin::text::Widen(reinterpret_cast<const char*>(buffer.data()));
    TraceDebug(u"Registry read value %s = %s", std::u16string(name).c_str(), value.c_str());
    return value;
}

DWORD CRegistry::ReadSubKey(std::u16string_view name)
{
    DWORD number = 0;
    QueryNarrow(u"Registry read subkey", name, reinterpret_cast<BYTE*>(&number), sizeof number);
    TraceDebug(u"Registry SubKey %s = %lu", std::u16string(name).c_str(), number);
    return number;
}

CRegistry::iterator::iterator(std::u16string_view keyPath) : m_keyPath(keyPath)
{
    const auto [root, subPath] = ParseRoot(m_keyPath);
    HKEY opened = nullptr;
    const auto error = static_cast<DWORD>(RegOpenKeyW(root, subPath.c_str(), &opened));
    if (error != ERROR_SUCCESS) throw LoggedFailure(error, u"Registry open subkey", subPath);
    UniqueHKey key(opened);
    std::u16string first;
    if (!EnumerateSubkey(key.get(), 0, first, u"Registry enum child of subkey", subPath)) return;
    m_name = kKeySeparator + first;
    m_next = 1;
    m_key = std::make_shared<UniqueHKey>(std::move(key));
}

CRegistry CRegistry::iterator::operator*() const { return CRegistry(m_keyPath + m_name); }

CRegistry::iterator& CRegistry::iterator::operator++()
{
    m_name.clear();
    std::u16string next;
    if (m_key && EnumerateSubkey(m_key->get(), m_next++, next, u"RegEnumKey", u""))
        m_name = kKeySeparator + next;
    else
        m_key.reset();
    return *this;
}

} // namespace qmt
