#include "qmt/db/ado_datasource.h"

#include "platform/com/com_error.h"
#include "platform/win32/errors.h"
#include "valmorin/com/runtime.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/system.h"

namespace qmt {

CAdoDataSource::CAdoDataSource() : m_com(COINIT_MULTITHREADED) {}

CAdoDataSourceNK::CAdoDataSourceNK() : m_accountName(CSystem::accountName()) {}

std::u16string CAdoDataSourceNK::lookup(const std::u16string& name, LONG selector)
{
    if (!m_directory)
        CoCreateInstance(CLSID_DataSourceDirectory, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                         IDataSourceDirectory::iid, reinterpret_cast<void**>(&m_directory));
    if (!m_directory) throw _com_error(E_POINTER);
    LONG entry = 0;
    ThrowIfFailed(m_directory->Lookup(CComBSTR(m_accountName).get(), CComBSTR(name).get(), selector, &entry));
    CComBSTR text;
    if (m_directory->GetText(entry, &text) != S_OK) return {};
    return std::u16string(text.view());
}

std::u16string CAdoDataSourceNK::get(const std::u16string& name, LONG selector)
{
    if (name.empty()) throw CWinException(ERROR_INVALID_PARAMETER);
    std::u16string result;
    try {
        result = lookup(name, selector);
    } catch (...) {
        // an unknown name or a missing directory is an empty answer
    }
    if (result.empty() && (selector == 0 || selector == kSelectorConnectionString)) {
        Trace(LogLevel::Error, u"CAdoDataSourceNK::get(%s) - connection string is empty", name.c_str());
        throw CWinException(ERROR_NOT_FOUND);
    }
    return result;
}

} // namespace qmt
