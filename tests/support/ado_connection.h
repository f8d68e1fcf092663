// An ADO Connection object of the platform, opened on a store, for the
// platform's own tests: what the component's wrapper does, without it.
#pragma once

#include "platform/ado/ado.h"

#include <string>

class AdoConnection {
public:
    // Throws std::runtime_error when the connection does not open.
    explicit AdoConnection(const std::u16string& connectionString);

    // The rows the statement affected; a failure throws AdoFailure.
    LONG Execute(const std::u16string& sql);
    // The connection as a recordset's active connection.
    CComVariant Active() const;
    _Connection* operator->() const { return m_connection.get(); }

private:
    CComPtr<_Connection> m_connection;
};

struct AdoFailure {
    HRESULT hr;
};
