#include "qmt/db/history_prune.h"

#include "platform/ado/connection_string.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"
#include "qmt/db/ado_connection.h"
#include "qmt/db/ado_recordset.h"
#include "qmt/db/ado_statement.h"
#include "qmt/db/ado_transaction.h"
#include "qmt/db/store_time.h"
#include "qmt/diag/exception.h"

#include <filesystem>

namespace qmt {

namespace {

using valmorin::text::Utf16ToUtf8;

// Revisions travel as decimal text, cast by the store.
constexpr StatementShape kHistoryStart{u"SELECT CAST(REVISION AS TEXT) FROM QM_HISTORY_START"};
constexpr StatementShape kLastRevisionAtOrBefore{
    u"SELECT CAST(MAX(REVISION) AS TEXT) FROM QM_REVISIONS WHERE TIME <= N'%s'"};
// Every change up to the point goes, its changes of approval too: whether a
// table needs approval is kept apart (QM_APPROVAL), and an older change of
// approval kept would be told as the next table's once its number is
// taken again, its creation pruned.
constexpr StatementShape kDropChanges{u"DELETE FROM QM_HISTORY WHERE REVISION <= CAST(N'%s' AS BIGINT)"};
constexpr StatementShape kDropRevisions{u"DELETE FROM QM_REVISIONS WHERE REVISION < CAST(N'%s' AS BIGINT)"};
constexpr StatementShape kMoveStart{
    u"UPDATE QM_HISTORY_START SET REVISION = CAST(N'%s' AS BIGINT), TIME = (SELECT r.TIME FROM QM_REVISIONS r WHERE "
    u"r.REVISION = CAST(N'%s' AS BIGINT))"};
constexpr StatementShape kRevisionTime{u"SELECT TIME FROM QM_REVISIONS WHERE REVISION = CAST(N'%s' AS BIGINT)"};

std::u16string FirstText(CAdoConnection& connection, const AdoStatement& statement)
{
    CAdoRecordset rows;
    rows.open(statement, connection, adOpenForwardOnly, adUseClient, adLockReadOnly, adOptionUnspecified);
    std::u16string text;
    if (auto row = rows.begin(); row != rows.end()) (*row).read(0, text);
    rows.close();
    return text;
}

// Decimal texts without leading zeros, as the store casts numbers.
bool NumberBefore(const std::u16string& a, const std::u16string& b)
{
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// Opening a SQLite file that is not there would make an empty one.
bool NamesMissingSqliteFile(const std::u16string& connectionString)
{
    const valmorin::ado::ConnectionString settings(connectionString);
    if (valmorin::text::AsciiUpper(settings.Get(u"Provider")) != u"SQLITE") return false;
    std::error_code ec;
    return !std::filesystem::exists(Utf16ToUtf8(settings.Get(u"Data Source")), ec);
}

HistoryPruneOutcome Prune(CAdoConnection& connection, const std::u16string& time)
{
    CAdoTransaction transaction(connection);
    std::u16string start;
    try {
        start = FirstText(connection, AdoStatement::Of<kHistoryStart>());
    } catch (const CException&) {
        return {true, "the store keeps no history (valmorin init gives it one); nothing was pruned"};
    }
    const std::u16string revision = FirstText(connection, AdoStatement::Of<kLastRevisionAtOrBefore>(time));
    if (revision.empty())
        return {false, "no revision was made at or before " + Utf16ToUtf8(time) + "; nothing was pruned"};
    if (!NumberBefore(start, revision))
        return {false, "the history starts at revision " + Utf16ToUtf8(start) +
                           " already, the last revision made at or before " + Utf16ToUtf8(time) +
                           " or later; nothing was pruned"};
    const LONG changes = connection.execute(AdoStatement::Of<kDropChanges>(revision), -1);
    const LONG revisions = connection.execute(AdoStatement::Of<kDropRevisions>(revision), -1);
    connection.execute(AdoStatement::Of<kMoveStart>(revision, revision), -1);
    const std::u16string kept = FirstText(connection, AdoStatement::Of<kRevisionTime>(revision));
    transaction.commit();
    return {false, "the history starts at revision " + Utf16ToUtf8(revision) + " (" + Utf16ToUtf8(kept) +
                       "): " + std::to_string(changes) + " changes and " + std::to_string(revisions) +
                       " revisions before it dropped"};
}

} // namespace

HistoryPruneOutcome PruneHistory(const std::u16string& connectionString, std::u16string_view before)
{
    const std::optional<std::u16string> time = StoreTime(before);
    if (!time)
        return {true, "\"" + Utf16ToUtf8(before) + "\" is not an ISO 8601 UTC time such as 2026-01-31T12:00:00Z"};
    if (NamesMissingSqliteFile(connectionString)) return {true, "the connection string names no existing store file"};
    try {
        CAdoConnection connection;
        connection.open(connectionString, u"", u"");
        return Prune(connection, *time);
    } catch (const CException& failure) {
        return {true, "cannot prune the history: " + Utf16ToUtf8(failure.description)};
    }
}

} // namespace qmt
