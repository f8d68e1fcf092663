// The seam between the ADO objects and the databases behind them. A provider
// is found by the Provider= value of a connection string (compared without
// regard to case) and opens sessions; a session runs statements.
#pragma once

#include "valmorin/com/types.h"

#include "platform/ado/connection_string.h"
#include "platform/ado/store_watch.h"
#include "valmorin/com/variant.h"

#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace valmorin::ado {

struct ProviderError {
    HRESULT number = 0;
    std::u16string source;
    std::u16string description;
    std::u16string sqlState;
    LONG nativeError = 0;
};

VALMORIN_PLATFORM_API ProviderError AdoError(HRESULT number, std::u16string_view source,
                                             std::u16string_view description, std::u16string_view sqlState = u"",
                                             LONG nativeError = 0);

// Thrown by providers; the ADO objects turn it into their Errors list, the
// thread's error info and the failing HRESULT of the first error.
struct ProviderFailure {
    std::vector<ProviderError> errors;
};

struct ExecuteOutcome {
    enum class Count { Rows, NotApplicable, None };
    Count kind = Count::None;
    LONG rows = 0;
};

// A statement's rows, all fetched (the client cursor): the values row after
// row, each row one value per column. A row set filled again keeps its room,
// so that one reused for statement after statement stops allocating. An
// updatable row set also knows where each column comes from and each row's
// identity in the base table, so that changed rows can be written back by
// identity.
struct RowSet {
    std::vector<std::u16string> columns;
    std::vector<CComVariant> values;
    std::size_t rows = 0;
    std::u16string baseTable;               // empty when not updatable
    std::vector<std::u16string> baseColumns; // origin column of each column
    std::vector<std::int64_t> rowIds;        // one per row when updatable

    CComVariant& At(std::size_t row, std::size_t column) { return values[row * columns.size() + column]; }
    const CComVariant& At(std::size_t row, std::size_t column) const
    {
        return values[row * columns.size() + column];
    }
    // Empties the set and keeps its room.
    void Clear();
};

struct ColumnChange {
    std::size_t column;
    const VARIANT* value;
};

// "UPDATE <base table> SET <column> = ?, ... WHERE ", the changed columns
// named as the row set's origins; the caller adds how its store matches
// the row's identity.
std::u16string RowUpdateHead(const RowSet& set, const std::vector<ColumnChange>& changes);

// The rows of a statement read one at a time, as a server cursor reads
// them: nothing is held but the current row, whatever the number of rows.
class RowCursor {
public:
    virtual ~RowCursor() = default;
    // Puts the next row's values in row, the values of the row before
    // dropped and the columns named at the first call; false after the
    // last, row then holding no values.
    virtual bool Next(RowSet& row) = 0;
};

// A Query's limit that is none.
inline constexpr std::size_t kAllRows = 0;

// Whether a Query limited to maxRows reads another row after the rows it has.
inline bool WantsAnotherRow(std::size_t rows, std::size_t maxRows) { return maxRows == kAllRows || rows < maxRows; }

// A value bound to a statement's ? marker: a text, a number or NULL. A text
// is viewed, not copied; it stays valid for the call it is given to.
struct BoundValue {
    enum class Kind : unsigned char { Null, Text, Number };
    Kind kind = Kind::Null;
    std::u16string_view text;
    LONG number = 0;
};

class VALMORIN_PLATFORM_API Session {
public:
    virtual ~Session() = default;
    // Runs one statement, each ? (outside quotes and comments) bound to the
    // next value; a text without markers runs as it is written. Values never
    // become part of the text the database parses.
    virtual ExecuteOutcome Execute(std::u16string_view sql, std::span<const BoundValue> values) = 0;
    // Fills into, emptied first, with the statement's rows, the first
    // maxRows of them unless it is kAllRows: a provider that steps through
    // the rows stops there.
    virtual void Query(std::u16string_view sql, std::span<const BoundValue> values, bool updatable, std::size_t maxRows,
                       RowSet& into) = 0;
    virtual void UpdateRow(const RowSet& set, std::size_t row, const std::vector<ColumnChange>& changes) = 0;
    // The statement's rows one at a time. Providers that cannot read rows
    // as they come fetch them all here and hand them out one by one.
    virtual std::unique_ptr<RowCursor> OpenCursor(std::u16string_view sql, std::span<const BoundValue> values);
    virtual void Begin() = 0;
    // A transaction that only reads: one that takes no writers' lock and
    // reads one snapshot, where the database gives one; elsewhere Begin's.
    virtual void BeginSnapshot() { Begin(); }
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    // True while a transaction begun by Begin is still open in the database.
    virtual bool InTransaction() const = 0;
    // The database product as the driver behind the session names it, for
    // providers that reach several; empty for the others.
    virtual std::u16string DbmsName() const { return {}; }
    // Warnings the last successful call left; empty for most providers.
    virtual std::vector<ProviderError> TakeWarnings() { return {}; }
    // True once the link to the database is gone for good (the server
    // restarted, the session was ended): the session will never answer
    // again, and the connection reports itself closed so that it is opened
    // anew. Asked after a failed call only.
    virtual bool LinkLost() const { return false; }
    // True when the server closed the link while the session sat idle (a
    // restart, a failover, an administrator ending sessions): asked, cheaply,
    // whenever the connection's state is, outside a transaction, so that the
    // next call opens a new session instead of failing on the dead one.
    virtual bool LinkClosedWhileIdle() { return false; }
};

class Provider {
public:
    virtual ~Provider() = default;
    virtual std::u16string Name() const = 0;
    virtual std::unique_ptr<Session> Connect(const ConnectionString& cs, std::u16string_view userId,
                                             std::u16string_view password, LONG commandTimeoutSeconds) = 0;
    // A watch of the store's version (store_watch.h); none by default.
    virtual std::unique_ptr<StoreWatch> Watch(const ConnectionString&, std::u16string_view, std::u16string_view,
                                              WatchOptions)
    {
        return nullptr;
    }
};

// Throws the failure of a command whose markers and values differ in number.
void RefuseMismatchedValues(std::size_t markers, std::size_t values);
// A changed field's value as a statement binds it (a text viewed, not
// copied); a value of a type no store keeps is refused, source named as the
// error's.
BoundValue BoundOf(const VARIANT& value, std::u16string_view source);

// The rows of a statement, in a row set of their own.
VALMORIN_PLATFORM_API RowSet QueryRows(Session& session, std::u16string_view sql, bool updatable);

// Replaces any provider of the same name.
VALMORIN_PLATFORM_API void RegisterProvider(std::shared_ptr<Provider> provider);
VALMORIN_PLATFORM_API void UnregisterProvider(std::u16string_view name);
VALMORIN_PLATFORM_API std::shared_ptr<Provider> FindProvider(std::u16string_view name);

} // namespace valmorin::ado
