#include "qmt/db/ado_transaction.h"

#include "qmt/db/ado_connection.h"

namespace qmt {

CAdoTransaction::CAdoTransaction(CAdoConnection& connection, Kind kind) : m_connection(connection)
{
    if (kind == Kind::Reads)
        m_connection.beginSnapshotTrans();
    else
        m_connection.beginTrans();
}

CAdoTransaction::~CAdoTransaction()
{
    if (!m_open) return;
    try {
        m_connection.rollbackTrans();
    } catch (...) {
        // the failure that unwound the body is the one its caller reports
    }
}

void CAdoTransaction::commit()
{
    // A failed COMMIT leaves the transaction open: the destructor still rolls it back.
    m_connection.commitTrans();
    m_open = false;
}

void CAdoTransaction::rollback()
{
    m_open = false;
    m_connection.rollbackTrans();
}

} // namespace qmt
