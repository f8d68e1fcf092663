#include "platform/datasource/directory.h"

#include "platform/win32/errors.h"

#include "platform/com/dispatch_stub.h"
#include "platform/com/class_factory.h"
#include "valmorin/com/errorinfo.h"
#include "platform/datasource/catalogue.h"
#include "platform/text/utf.h"

#include <mutex>
#include <optional>

#include <syslog.h>

namespace valmorin::datasource {

namespace {

constexpr std::u16string_view kErrorSource = u"DataSourceDirectory";

std::u16string_view View(BSTR text) { return {text ? text : u"", SysStringLen(text)}; }

HRESULT Fail(HRESULT hr, std::u16string_view description)
{
    SetThreadErrorInfo(IDataSourceDirectory::iid, kErrorSource, description);
    return hr;
}

// The caller's own log never learns why: its resolver drops the directory's
// errors. So, as sshd does with the key files it refuses, the directory says
// it in the system log.
void LogRefusal(const std::string& refusal)
{
    ::syslog(LOG_AUTH | LOG_WARNING, "Pelkor data-source directory refuses its store: %s", refusal.c_str());
}

class Directory final : public CComObjectBase<Directory, DispatchStub<IDataSourceDirectory>> {
public:
    HRESULT Lookup(BSTR accountName, BSTR dataSourceName, LONG selector, LONG* entry) override
    {
        if (entry == nullptr) return E_POINTER;
        if (selector != kSelectorSchema && selector != kSelectorConnectionString)
            return Fail(E_INVALIDARG, u"Only the selectors 9 (schema) and 11 (connection string) are known.");
        std::lock_guard lock(m_mutex);
        const Catalogue& catalogue = Loaded();
        if (catalogue.refused()) return Fail(E_ACCESSDENIED, text::Widen(catalogue.refusal));
        const std::u16string_view account = View(accountName), name = View(dataSourceName);
        const CatalogueEntry* found = FindEntry(catalogue, account, name);
        if (found == nullptr)
            return Fail(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), u"The data source " + std::u16string(name) +
                                                                 u" is not configured for " + std::u16string(account) +
                                                                 u".");
        m_texts.push_back(selector == kSelectorSchema ? found->source.schema : found->source.connectionString);
        *entry = static_cast<LONG>(m_texts.size() - 1);
        return S_OK;
    }

    HRESULT EntryCount(LONG* count) override
    {
        if (count == nullptr) return E_POINTER;
        std::lock_guard lock(m_mutex);
        *count = static_cast<LONG>(m_texts.size());
        return S_OK;
    }

    HRESULT GetText(LONG entry, BSTR* text) override
    {
        if (text == nullptr) return E_POINTER;
        *text = nullptr;
        std::lock_guard lock(m_mutex);
        if (entry < 0 || static_cast<std::size_t>(entry) >= m_texts.size()) return E_INVALIDARG;
        *text = CComBSTR(m_texts[static_cast<std::size_t>(entry)]).Detach();
        return S_OK;
    }

private:
    const Catalogue& Loaded()
    {
        if (!m_catalogue) {
            m_catalogue = LoadCatalogue();
            if (m_catalogue->refused()) LogRefusal(m_catalogue->refusal);
        }
        return *m_catalogue;
    }

    std::mutex m_mutex;
    std::optional<Catalogue> m_catalogue;
    std::vector<std::u16string> m_texts; // indexed by entry number
};

} // namespace

CComPtr<IUnknown> NewDirectoryClassObject() { return SimpleClassObject<Directory>(); }

} // namespace valmorin::datasource
