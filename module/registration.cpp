#include "module/registration.h"

#include "valmorin/com/guid.h"
#include "platform/registry/registry.h"
#include "service/ivalmorin.h"

#include <unistd.h>

#include <new>
#include <vector>

namespace valmorin::module {

namespace {

// How unregistration treats a key, and whether registration clears it first.
enum class Removal {
    IfEmpty, // removed when nothing else is below it
    Whole,   // removed with everything below it, also before it is written
    Never,   // a shared parent such as "CLSID"
};

struct ScriptValue {
    std::u16string name; // empty: the default value
    std::u16string data;
};

struct ScriptKey {
    std::u16string path;
    Removal removal;
    std::vector<ScriptValue> values;
};
using Script = std::vector<ScriptKey>;

constexpr std::u16string_view kClassName = u"CValmorin Class";
constexpr std::u16string_view kTypeLibraryName = u"ValmorinLib";
// The automation marshaler, which serves every dual interface.
constexpr std::u16string_view kAutomationProxy = u"{00020424-0000-0000-C000-000000000046}";
// Type libraries are registered per platform; this runtime keeps the
// layout of 64-bit Windows.
constexpr std::u16string_view kTypeLibraryPlatform = u"win64";
// Registration runs out of room for longer module paths.
constexpr std::size_t kMaxModulePath = 260;

std::u16string Text(std::u16string_view text) { return std::u16string(text); }

Script ServerScript(const std::u16string& modulePath)
{
    const std::u16string clsid = GuidToString(CLSID_CValmorin);
    const std::u16string classKey = u"CLSID\\" + clsid;
    const std::u16string versioned = kValmorinVersionedProgId, independent = kValmorinProgId;
    return {
        {versioned, Removal::IfEmpty, {{u"", Text(kClassName)}}},
        {versioned + u"\\CLSID", Removal::IfEmpty, {{u"", clsid}}},
        {independent, Removal::IfEmpty, {{u"", Text(kClassName)}}},
        {independent + u"\\CLSID", Removal::IfEmpty, {{u"", clsid}}},
        {independent + u"\\CurVer", Removal::IfEmpty, {{u"", versioned}}},
        {u"CLSID", Removal::Never, {}},
        {classKey, Removal::Whole, {{u"", Text(kClassName)}}},
        {classKey + u"\\ProgID", Removal::IfEmpty, {{u"", versioned}}},
        {classKey + u"\\VersionIndependentProgID", Removal::IfEmpty, {{u"", independent}}},
        {classKey + u"\\Programmable", Removal::Whole, {}},
        {classKey + u"\\InprocServer32", Removal::IfEmpty, {{u"", modulePath}, {u"ThreadingModel", u"Both"}}},
        {classKey + u"\\TypeLib", Removal::IfEmpty, {{u"", GuidToString(LIBID_ValmorinLib)}}},
    };
}

std::u16string VersionText()
{
    const std::string text = std::to_string(kValmorinLibMajor) + "." + std::to_string(kValmorinLibMinor);
    return {text.begin(), text.end()};
}

std::u16string Folder(const std::u16string& path) { return path.substr(0, path.find_last_of(u'/') + 1); }

std::u16string TypeLibraryKey() { return u"TypeLib\\" + GuidToString(LIBID_ValmorinLib); }

// The interface's key, as the platform's type-library registration writes
// it for a dual interface.
void AddInterface(Script& script, const IID& iid, std::u16string_view name)
{
    const std::u16string key = u"Interface\\" + GuidToString(iid);
    script.push_back({key, Removal::Whole, {{u"", Text(name)}}});
    script.push_back({key + u"\\ProxyStubClsid", Removal::IfEmpty, {{u"", Text(kAutomationProxy)}}});
    script.push_back({key + u"\\ProxyStubClsid32", Removal::IfEmpty, {{u"", Text(kAutomationProxy)}}});
    script.push_back(
        {key + u"\\TypeLib", Removal::IfEmpty, {{u"", GuidToString(LIBID_ValmorinLib)}, {u"Version", VersionText()}}});
}

Script TypeLibraryScript(const std::u16string& modulePath)
{
    const std::u16string library = TypeLibraryKey();
    const std::u16string version = library + u"\\" + VersionText();
    Script script{
        {u"TypeLib", Removal::Never, {}},
        {library, Removal::IfEmpty, {}},
        {version, Removal::Whole, {{u"", Text(kTypeLibraryName)}}},
        {version + u"\\FLAGS", Removal::IfEmpty, {{u"", u"0"}}},
        {version + u"\\HELPDIR", Removal::IfEmpty, {{u"", Folder(modulePath)}}},
        {version + u"\\0", Removal::IfEmpty, {}},
        {version + u"\\0\\" + Text(kTypeLibraryPlatform), Removal::IfEmpty, {{u"", modulePath}}},
        {u"Interface", Removal::Never, {}},
    };
    AddInterface(script, IID_IValmorin, u"IValmorin");
    AddInterface(script, IID_IValmorin2, u"IValmorin2");
    AddInterface(script, IID_IValmorin3, u"IValmorin3");
    return script;
}

HRESULT FromRegistry(LONG error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

// The superuser registers for the machine; anyone else for themselves.
HRESULT OpenClassesRoot(UniqueHKey& root)
{
    const bool machine = geteuid() == 0;
    HKEY key = nullptr;
    const LONG error = RegCreateKeyExW(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                                       machine ? u"SOFTWARE\\Classes" : u"Software\\Classes", 0, nullptr,
                                       REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    root.reset(key);
    return FromRegistry(error);
}

HRESULT WriteKey(HKEY root, const ScriptKey& entry)
{
    if (entry.removal == Removal::Whole) {
        const LONG error = RegDeleteTreeW(root, entry.path.c_str());
        if (error != 0 && error != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return FromRegistry(error);
    }
    HKEY created = nullptr;
    LONG error = RegCreateKeyExW(root, entry.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &created, nullptr);
    const UniqueHKey key(created);
    for (auto value = entry.values.begin(); error == 0 && value != entry.values.end(); ++value) {
        const auto* bytes = reinterpret_cast<const BYTE*>(value->data.c_str());
        const auto size = static_cast<DWORD>((value->data.size() + 1) * sizeof(char16_t));
        error = RegSetValueExW(key.get(), value->name.c_str(), 0, REG_SZ, bytes, size);
    }
    return FromRegistry(error);
}

// A key that is already gone, or that still holds keys of others, is no
// failure of unregistration.
HRESULT RemoveKey(HKEY root, const ScriptKey& entry)
{
    if (entry.removal == Removal::Never) return S_OK;
    const LONG error = entry.removal == Removal::Whole ? RegDeleteTreeW(root, entry.path.c_str())
                                                       : RegDeleteKeyW(root, entry.path.c_str());
    const bool harmless = error == static_cast<LONG>(ERROR_FILE_NOT_FOUND) ||
                          (entry.removal == Removal::IfEmpty && error == static_cast<LONG>(ERROR_ACCESS_DENIED));
    return harmless ? S_OK : FromRegistry(error);
}

template <typename Step>
HRESULT RunScript(const Script& script, Step step, bool deepestFirst)
{
    try {
        UniqueHKey root;
        if (const HRESULT hr = OpenClassesRoot(root); FAILED(hr)) return hr;
        for (std::size_t i = 0; i < script.size(); ++i) {
            const ScriptKey& entry = script[deepestFirst ? script.size() - 1 - i : i];
            if (const HRESULT hr = step(root.get(), entry); FAILED(hr)) return hr;
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT Register(const Script& script) { return RunScript(script, WriteKey, false); }
HRESULT Unregister(const Script& script) { return RunScript(script, RemoveKey, true); }

bool TypeLibraryRegistered()
{
    UniqueHKey root;
    if (FAILED(OpenClassesRoot(root))) return false;
    HKEY found = nullptr;
    const std::u16string version = TypeLibraryKey() + u"\\" + VersionText();
    const LONG error = RegOpenKeyExW(root.get(), version.c_str(), 0, KEY_READ, &found);
    const UniqueHKey key(found);
    return error == 0;
}

} // namespace

HRESULT RegisterTypeLibrary(const std::u16string& modulePath) { return Register(TypeLibraryScript(modulePath)); }

HRESULT UnregisterTypeLibrary(const std::u16string& modulePath)
{
    if (!TypeLibraryRegistered()) return TYPE_E_REGISTRYACCESS;
    return Unregister(TypeLibraryScript(modulePath));
}

HRESULT RegisterServer(const std::u16string& modulePath)
{
    if (modulePath.size() >= kMaxModulePath) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    if (const HRESULT hr = Register(ServerScript(modulePath)); FAILED(hr)) return hr;
    return RegisterTypeLibrary(modulePath);
}

// The type library goes first; only the server's script runs out of room for
// a long module path, so the type library is gone even then.
HRESULT UnregisterServer(const std::u16string& modulePath)
{
    if (const HRESULT hr = UnregisterTypeLibrary(modulePath); FAILED(hr)) return hr;
    if (modulePath.size() >= kMaxModulePath) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return Unregister(ServerScript(modulePath));
}

} // namespace valmorin::module
