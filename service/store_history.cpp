#include "service/store_history.h"

#include "platform/text/ascii.h"
#include "qmt/diag/exception.h"
#include "service/store_routines.h"
#include "service/statement_texts.h"

namespace {

// SQLite has no setting that lasts a transaction: the component's
// connections mark each of their changes with triggers of their own
// (TEMP: no other connection has them), which the store's triggers read
// and clear as they record the change. The temporary store stays SQLite's
// own: in memory, it would hold every statement journal too, which SQLite
// then builds in 1 KiB pieces (a tenth of a transadd's cost), where on
// file it buffers the first 64 KiB in one.
void MarkComponentChanges(qmt::CAdoConnection& connection)
{
    static constexpr std::u16string_view kTables[] = {u"QM_VALMOR", u"QM_DICO", u"QM_TABLES", u"QM_APPROVAL"};
    static constexpr std::u16string_view kChanges[] = {u"INSERT", u"UPDATE", u"DELETE"};
    for (const std::u16string_view table : kTables) {
        for (const std::u16string_view change : kChanges) {
            const std::u16string name = std::u16string(table) + u"_" + std::u16string(change);
            connection.execute(Sql<statements::kMarkComponentChanges>(
                                   qmt::StatementPiece(name), qmt::StatementPiece(change), qmt::StatementPiece(table)),
                               -1);
        }
    }
}

} // namespace

bool StoreIs(const qmt::CAdoConnection& connection, std::u16string_view family)
{
    const std::u16string dbms = connection.dbmsName();
    const std::u16string name = valmorin::text::AsciiUpper(dbms.empty() ? connection.provider() : dbms);
    return name.starts_with(valmorin::text::AsciiUpper(family));
}

void StoreHistory::Attach(qmt::CAdoConnection& connection)
{
    m_kept = false;
    m_recordedOnly.clear();
    if (StoreIs(connection, u"SQLite")) {
        m_kept = QueryNumber(connection, Sql<statements::kSqliteKeepsHistory>()) > 0;
        if (m_kept) MarkComponentChanges(connection);
    } else if (StoreIs(connection, u"PostgreSQL")) {
        m_kept = QueryNumber(connection, Sql<statements::kPostgresKeepsHistory>()) > 0;
    } else if (StoreIs(connection, u"Microsoft SQL Server")) {
        m_kept = QueryNumber(connection, Sql<statements::kSqlServerKeepsHistory>()) > 0;
        m_recordedOnly = u"SQL Server";
    } else if (StoreIs(connection, u"Oracle")) {
        m_kept = QueryNumber(connection, Sql<statements::kOracleKeepsHistory>()) > 0;
        m_recordedOnly = u"Oracle";
    }
}

WriteTransaction::WriteTransaction(qmt::CAdoConnection& connection, const StoreHistory& history,
                                   std::u16string_view user)
    : m_transaction(connection)
{
    if (history.kept()) connection.execute(Sql<statements::kOpenRevision>(qmt::Doubled(user)), -1);
}

WriteTransaction::WriteTransaction(qmt::CAdoConnection& connection, const StoreHistory& history,
                                   const Approval& approval)
    : m_transaction(connection)
{
    history.RefuseWithout();
    connection.execute(Sql<statements::kOpenApprovedRevision>(qmt::Doubled(approval.proposer),
                                                              qmt::Doubled(approval.approver), approval.changeSet),
                       -1);
}

// The history's reads and change sets are written in the SQL of SQLite and
// PostgreSQL; on the other stores its triggers record every change, which
// their own tools read.
void StoreHistory::RefuseWithout() const
{
    if (!m_kept)
        throw qmt::CException(u"CValmorin",
                              u"The store keeps no history; valmorin init gives it one (the component sees it once "
                              u"its connection opens again).",
                              static_cast<DWORD>(E_FAIL));
    if (!m_recordedOnly.empty())
        throw qmt::CException(u"CValmorin",
                              u"The store on " + m_recordedOnly +
                                  u" records its history, but the component reads it back, and keeps change sets, "
                                  u"on SQLite and PostgreSQL stores only; query QM_HISTORY and QM_REVISIONS there.",
                              static_cast<DWORD>(E_NOTIMPL));
}

std::optional<std::u16string> RevisionNumber(std::u16string_view text)
{
    constexpr std::size_t kMostDigits = 18; // within the store's 64-bit integers
    if (text.empty() || text.find_first_not_of(u"0123456789") != std::u16string_view::npos) return std::nullopt;
    const std::size_t first = std::min(text.find_first_not_of(u'0'), text.size() - 1);
    if (text.size() - first > kMostDigits) return std::nullopt;
    return std::u16string(text.substr(first));
}

bool RevisionBefore(const std::u16string& a, const std::u16string& b)
{
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}
