#include "platform/com/inproc_server.h"

#include "valmorin/com/errorinfo.h"
#include "valmorin/com/runtime.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"

#include <dlfcn.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using GetClassObjectEntry = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowEntry = HRESULT (*)();

struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using UniqueLibrary = std::unique_ptr<void, LibraryCloser>;

struct LoadedLibrary {
    UniqueLibrary handle;
    GetClassObjectEntry getClassObject = nullptr;
    CanUnloadNowEntry canUnloadNow = nullptr;
};

// ERROR_MOD_NOT_FOUND, with the loader's reason (no such file, not an ELF
// library, a symbol missing) as the thread's error info.
HRESULT NotLoaded(const std::string& file)
{
    const char* why = dlerror();
    SetThreadErrorInfo(GUID_NULL, u"CoCreateInstance",
                       u"The server library " + valmorin::text::Widen(file) + u" cannot be loaded: " +
                           valmorin::text::Widen(why != nullptr ? why : "the loader gave no reason"));
    return HRESULT_FROM_WIN32(126);
}

// A caller still asking a library for a class object holds it loaded, even
// while CoFreeUnusedLibraries takes it out of the table.
class LibraryTable {
public:
    static LibraryTable& Instance()
    {
        static LibraryTable table;
        return table;
    }

    HRESULT Load(const std::string& file, std::shared_ptr<LoadedLibrary>& library)
    {
        if ((library = Find(file))) return S_OK;
        // Loaded outside the table's lock: the library's own start-up may
        // activate classes in its turn.
        auto loaded = std::make_shared<LoadedLibrary>();
        loaded->handle.reset(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
        if (!loaded->handle) return NotLoaded(file);
        loaded->getClassObject = reinterpret_cast<GetClassObjectEntry>(dlsym(loaded->handle.get(), "DllGetClassObject"));
        loaded->canUnloadNow = reinterpret_cast<CanUnloadNowEntry>(dlsym(loaded->handle.get(), "DllCanUnloadNow"));
        if (loaded->getClassObject == nullptr) return CO_E_ERRORINDLL;
        const std::lock_guard lock(m_mutex);
        library = m_libraries.emplace(file, std::move(loaded)).first->second; // a racing load of the same file joins the first
        return S_OK;
    }

    void FreeUnused()
    {
        std::vector<std::shared_ptr<LoadedLibrary>> unloaded; // closed once the lock is given back
        const std::lock_guard lock(m_mutex);
        for (auto it = m_libraries.begin(); it != m_libraries.end();) {
            const bool unused = it->second->canUnloadNow != nullptr && it->second->canUnloadNow() == S_OK;
            if (unused) {
                unloaded.push_back(std::move(it->second));
                it = m_libraries.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    std::shared_ptr<LoadedLibrary> Find(const std::string& file)
    {
        const std::lock_guard lock(m_mutex);
        const auto it = m_libraries.find(file);
        return it == m_libraries.end() ? nullptr : it->second;
    }

    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<LoadedLibrary>> m_libraries;
};

// The default value of a key below HKEY_CLASSES_ROOT, as text.
bool ReadClassesText(const std::u16string& path, std::u16string& text)
{
    HKEY opened = nullptr;
    const LONG error = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &opened);
    const UniqueHKey key(opened);
    if (error != 0) return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &size) != 0 || type != REG_SZ) return false;
    std::u16string data(size / sizeof(char16_t), u'\0');
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size) != 0)
        return false;
    data.resize(std::min<std::size_t>(data.size(), size / sizeof(char16_t)));
    text = data.substr(0, data.find(u'\0'));
    return true;
}

// A chain of CurVer keys is followed this far, so that a loop ends.
constexpr int kMaxCurVerHops = 8;

std::u16string CurrentVersion(std::u16string progId)
{
    std::u16string next, clsid;
    for (int hop = 0; hop < kMaxCurVerHops; ++hop) {
        if (!ReadClassesText(progId + u"\\CurVer", next) || next.empty() || !ReadClassesText(next + u"\\CLSID", clsid))
            break;
        progId = next;
    }
    return progId;
}

template <typename Call>
HRESULT Guarded(Call call)
{
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace

HRESULT CoGetClassObjectFromLibrary(const std::u16string& library, REFCLSID clsid, REFIID riid, void** object)
{
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    return Guarded([&] {
        std::shared_ptr<LoadedLibrary> loaded;
        if (const HRESULT hr = LibraryTable::Instance().Load(valmorin::text::Utf16ToUtf8(library), loaded); FAILED(hr))
            return hr;
        return loaded->getClassObject(clsid, riid, object);
    });
}

HRESULT CoGetInprocServerPath(REFCLSID clsid, std::u16string& library)
{
    return Guarded([&] {
        const std::u16string key = u"CLSID\\" + GuidToString(clsid) + u"\\InprocServer32";
        return ReadClassesText(key, library) && !library.empty() ? S_OK : REGDB_E_CLASSNOTREG;
    });
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid)
{
    if (progId == nullptr || clsid == nullptr) return E_INVALIDARG;
    *clsid = GUID_NULL;
    return Guarded([&] {
        std::u16string text;
        if (!ReadClassesText(CurrentVersion(progId) + u"\\CLSID", text)) return CO_E_CLASSSTRING;
        return CLSIDFromString(text.c_str(), clsid);
    });
}

void CoFreeUnusedLibraries()
{
    Guarded([] {
        LibraryTable::Instance().FreeUnused();
        return S_OK;
    });
}
