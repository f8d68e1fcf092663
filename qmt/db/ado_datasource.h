// Resolution of a data-source name into its connection string and schema,
// asked of the data-source directory component.
#pragma once

#include "platform/datasource/directory.h"
#include "qmt/sys/com_library.h"

#include <string>

namespace qmt {

class CAdoDataSource {
public:
    CAdoDataSource();
    virtual ~CAdoDataSource() = default;
    CAdoDataSource(const CAdoDataSource&) = delete;
    CAdoDataSource& operator=(const CAdoDataSource&) = delete;

private:
    CComLibrary m_com;
};

class CAdoDataSourceNK : public CAdoDataSource {
public:
    CAdoDataSourceNK();

    // The directory's text for the name and selector (11: connection
    // string, 9: schema). An empty connection string is an error; an empty
    // schema is not.
    std::u16string get(const std::u16string& name, LONG selector);

private:
    std::u16string lookup(const std::u16string& name, LONG selector);

    std::u16string m_accountName;
    CComPtr<IDataSourceDirectory> m_directory;
};

} // namespace qmt
