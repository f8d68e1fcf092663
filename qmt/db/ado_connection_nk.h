// The connection that can open itself from a data-source name.
#pragma once

#include "qmt/db/ado_connection.h"

namespace qmt {

class CAdoConnectionNK : public CAdoConnection {
public:
    using CAdoConnection::open;
    // Resolves the name and opens with its connection string; for an Oracle
    // provider also switches the session to the data source's schema. An
    // unresolved name leaves the connection closed without an error.
    void open(const std::u16string& dataSourceName);
};

} // namespace qmt
