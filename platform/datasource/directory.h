// The data-source directory component: the connection string and schema of
// the data sources configured for an account. Where they are configured,
// and which one answers, is in catalogue.h. Each object reads the store
// once, at its first Lookup, and answers from that reading for its life.
#pragma once

#include "valmorin/com/unknown.h"

inline constexpr CLSID CLSID_DataSourceDirectory = MakeGuid("94524701-0AFC-47B8-BE3F-3675050F2CAA");

inline constexpr LONG kSelectorSchema = 9;
inline constexpr LONG kSelectorConnectionString = 11;

struct IDataSourceDirectory : IDispatch {
    static constexpr IID iid = MakeGuid("CA83749D-FE90-4577-95A7-CE2ADE08250A");
    // Numbers the text that the selector asks for. A failing HRESULT means
    // that the data source is not known, or that the store was refused; the
    // thread's error information says which.
    virtual HRESULT Lookup(BSTR accountName, BSTR dataSourceName, LONG selector, LONG* entry) = 0;
    // How many entries the object has numbered so far.
    virtual HRESULT EntryCount(LONG* count) = 0;
    // Only S_OK is an answer; a null text is the empty text.
    virtual HRESULT GetText(LONG entry, BSTR* text) = 0;

protected:
    ~IDataSourceDirectory() = default;
};

namespace valmorin::datasource {

// The directory's class object, for the runtime's class table.
CComPtr<IUnknown> NewDirectoryClassObject();

} // namespace valmorin::datasource
