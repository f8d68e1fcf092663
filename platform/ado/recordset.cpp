// The Recordset object. With the client cursor, Open fetches every row of
// the statement; Fields read and write the current row; UpdateBatch writes
// the changed rows back through the provider, each addressed by its
// identity. A read-only server cursor holds the current row only, and
// MoveNext reads the next one from the provider.
#include "platform/ado/connection_object.h"
#include "platform/ado/built_in.h"
#include "platform/com/class_factory.h"
#include "platform/text/ascii.h"

#include <atomic>
#include <map>
#include <set>

namespace valmorin::ado {

namespace {

constexpr std::u16string_view kRecordsetSource = u"ADODB.Recordset";
constexpr HRESULT adErrFeatureNotAvailable = MakeHResult(0x800A0CB3);

class RecordsetObject;

HRESULT ItemNotFound(REFIID iid)
{
    return ReportProviderErrors(iid, {AdoError(adErrItemNotFound, kRecordsetSource,
                                               u"Item cannot be found in the collection corresponding to the "
                                               u"requested name or ordinal.")});
}

class FieldObject final : public CComObjectBase<FieldObject, DispatchStub<Field>> {
public:
    FieldObject(CComPtr<RecordsetObject> owner, std::size_t column) : m_owner(std::move(owner)), m_column(column) {}
    HRESULT get_Name(BSTR* name) override;
    HRESULT get_Value(VARIANT* value) override;
    HRESULT put_Value(VARIANT value) override;

private:
    CComPtr<RecordsetObject> m_owner;
    std::size_t m_column;
};

class FieldsObject final : public CComObjectBase<FieldsObject, DispatchStub<Fields>> {
public:
    explicit FieldsObject(CComPtr<RecordsetObject> owner) : m_owner(std::move(owner)) {}
    HRESULT get_Count(LONG* count) override;
    HRESULT get_Item(VARIANT index, Field** field) override;

private:
    CComPtr<RecordsetObject> m_owner;
};

// The last recordset released, kept with the room of its rows for the next
// one created: a lookup opens and closes one per call. Deleted with the
// library.
class KeptRecordset {
public:
    KeptRecordset() = default;
    KeptRecordset(const KeptRecordset&) = delete;
    KeptRecordset& operator=(const KeptRecordset&) = delete;
    ~KeptRecordset();
    RecordsetObject* Take() { return m_object.exchange(nullptr); }
    void Keep(RecordsetObject* object);

private:
    std::atomic<RecordsetObject*> m_object{nullptr};
};

KeptRecordset g_kept;

class RecordsetObject final : public CComObjectBase<RecordsetObject, DispatchStub<_Recordset>> {
public:
    static RecordsetObject* Construct()
    {
        RecordsetObject* kept = g_kept.Take();
        return kept ? kept : new RecordsetObject();
    }
    // Closed and emptied before it is kept.
    static void Destroy(RecordsetObject* object)
    {
        object->Forget();
        object->m_updatable = false;
        object->m_serverCursor = false;
        object->m_maxRecords = kAllRows;
        g_kept.Keep(object);
    }

    HRESULT get_State(LONG* state) override
    {
        if (!state) return E_POINTER;
        *state = m_open ? adStateOpen : adStateClosed;
        return S_OK;
    }

    HRESULT Close() override
    {
        if (!m_open) return Closed();
        Forget();
        return S_OK;
    }

    // adUseServer reads the rows of a read-only recordset one at a time;
    // every other location, and an updatable recordset, behave as
    // adUseClient.
    HRESULT put_CursorLocation(LONG location) override
    {
        if (m_open) return Fail(adErrObjectOpen, u"Operation is not allowed when the object is open.");
        m_serverCursor = location == adUseServer;
        return S_OK;
    }

    // Read by a client cursor's Open, which stops reading there, and by a
    // server cursor's moves, which end there.
    HRESULT put_MaxRecords(LONG maxRecords) override
    {
        if (m_open) return Fail(adErrObjectOpen, u"Operation is not allowed when the object is open.");
        if (maxRecords < 0) return Fail(E_INVALIDARG, u"MaxRecords is a number of rows, 0 for all of them.");
        m_maxRecords = static_cast<std::size_t>(maxRecords);
        return S_OK;
    }

    HRESULT Open(VARIANT source, VARIANT activeConnection, LONG, LONG lockType, LONG) override
    {
        if (m_open) return Fail(adErrObjectOpen, u"Operation is not allowed when the object is open.");
        CComPtr<IConnectionInternal> connection;
        if (activeConnection.vt == VT_DISPATCH && activeConnection.pdispVal)
            activeConnection.pdispVal->QueryInterface(IConnectionInternal::iid, reinterpret_cast<void**>(&connection));
        if (!connection || !connection->ActiveSession())
            return Fail(adErrInvalidConnection, u"The connection cannot be used to perform this operation. It is "
                                                u"either closed or invalid in this context.");
        CComPtr<ICommandInternal> command;
        if (source.vt == VT_DISPATCH && source.pdispVal)
            source.pdispVal->QueryInterface(ICommandInternal::iid, reinterpret_cast<void**>(&command));
        if (source.vt != VT_BSTR && !command)
            return Fail(DISP_E_TYPEMISMATCH, u"The source of a recordset must be a statement text or a command.");
        m_updatable = lockType > adLockReadOnly;
        const std::u16string_view sql =
            command ? command->Text()
                    : std::u16string_view(source.bstrVal ? source.bstrVal : u"", SysStringLen(source.bstrVal));
        const std::span<const BoundValue> values = command ? command->Values() : std::span<const BoundValue>();
        try {
            if (m_serverCursor && !m_updatable) {
                m_cursor = connection->ActiveSession()->OpenCursor(sql, values);
                m_cursor->Next(m_set);
            } else {
                connection->ActiveSession()->Query(sql, values, m_updatable, m_maxRecords, m_set);
            }
        } catch (ProviderFailure& failure) {
            m_cursor.reset();
            m_set.Clear();
            return connection->Fail(std::move(failure.errors));
        }
        m_connection = connection;
        m_position = 0;
        m_open = true;
        return S_OK;
    }

    HRESULT get_EOF(VARIANT_BOOL* eof) override
    {
        if (!eof) return E_POINTER;
        if (!m_open) return Closed();
        *eof = m_position >= m_set.rows ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    HRESULT get_BOF(VARIANT_BOOL* bof) override
    {
        if (!bof) return E_POINTER;
        if (!m_open) return Closed();
        *bof = m_set.rows == 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    HRESULT MoveNext() override
    {
        if (!m_open) return Closed();
        if (m_position >= m_set.rows) return NoCurrentRecord();
        if (!m_cursor) {
            ++m_position;
            return S_OK;
        }
        if (!WantsAnotherRow(++m_cursorRows, m_maxRecords)) {
            m_cursor.reset(); // the statement's rest is never read
            m_set.values.clear();
            m_set.rows = 0;
            return S_OK;
        }
        try {
            m_cursor->Next(m_set);
        } catch (ProviderFailure& failure) {
            m_set.values.clear();
            m_set.rows = 0;
            return m_connection->Fail(std::move(failure.errors));
        }
        return S_OK;
    }

    HRESULT get_Fields(Fields** fields) override
    {
        if (!fields) return E_POINTER;
        if (!m_open) return Closed();
        *fields = FieldsObject::Create(CComPtr<RecordsetObject>(this)).Detach();
        return S_OK;
    }

    HRESULT get_Collect(VARIANT index, VARIANT* value) override
    {
        if (!value) return E_POINTER;
        if (!m_open) return Closed();
        std::size_t column = 0;
        if (!FindColumn(index, column)) return ItemNotFound(_Recordset::iid);
        return ReadCurrent(column, value);
    }

    HRESULT TakeCollect(VARIANT index, VARIANT* value) override
    {
        if (m_updatable) return get_Collect(index, value);
        if (!value) return E_POINTER;
        if (!m_open) return Closed();
        std::size_t column = 0;
        if (!FindColumn(index, column)) return ItemNotFound(_Recordset::iid);
        if (m_position >= m_set.rows) return NoCurrentRecord();
        VARIANT& field = m_set.At(m_position, column);
        if (value->vt != VT_EMPTY) VariantClear(value);
        *value = field; // the field's string or reference now belongs to value
        VariantInit(&field);
        return S_OK;
    }

    HRESULT UpdateBatch(LONG) override
    {
        if (!m_open) return Closed();
        Session* session = m_connection->ActiveSession();
        if (!session) return Fail(adErrInvalidConnection, u"The connection of the recordset is closed.");
        try {
            for (auto it = m_changes.begin(); it != m_changes.end(); it = m_changes.erase(it)) {
                std::vector<ColumnChange> changes;
                for (std::size_t column : it->second) changes.push_back({column, &m_set.At(it->first, column)});
                session->UpdateRow(m_set, it->first, changes);
            }
        } catch (ProviderFailure& failure) {
            return m_connection->Fail(std::move(failure.errors));
        }
        return S_OK;
    }

    // Used by the Fields and Field objects.
    std::size_t ColumnCount() const { return m_set.columns.size(); }
    bool FindColumn(const VARIANT& index, std::size_t& column) const
    {
        if (index.vt == VT_BSTR) {
            const std::u16string name = text::AsciiUpper(index.bstrVal ? index.bstrVal : u"");
            for (column = 0; column < m_set.columns.size(); ++column)
                if (text::AsciiUpper(m_set.columns[column]) == name) return true;
            return false;
        }
        LONG ordinal = 0;
        if (index.vt == VT_I4) { // the usual ordinal: no conversion
            ordinal = index.lVal;
        } else {
            CComVariant position;
            if (FAILED(VariantChangeType(&position, &index, 0, VT_I4))) return false;
            ordinal = position.lVal;
        }
        column = static_cast<std::size_t>(ordinal);
        return ordinal >= 0 && column < m_set.columns.size();
    }
    const std::u16string& ColumnName(std::size_t column) const { return m_set.columns[column]; }
    HRESULT ReadCurrent(std::size_t column, VARIANT* value)
    {
        if (!value) return E_POINTER;
        if (!m_open) return Closed();
        if (m_position >= m_set.rows) return NoCurrentRecord();
        return VariantCopy(value, &m_set.At(m_position, column));
    }
    HRESULT WriteCurrent(std::size_t column, const VARIANT& value)
    {
        if (!m_open) return Closed();
        if (!m_updatable)
            return Fail(adErrFeatureNotAvailable, u"Current Recordset does not support updating. This may be a "
                                                  u"limitation of the provider, or of the selected locktype.");
        if (m_position >= m_set.rows) return NoCurrentRecord();
        const HRESULT hr = VariantCopy(&m_set.At(m_position, column), &value);
        if (SUCCEEDED(hr)) m_changes[m_position].insert(column);
        return hr;
    }

private:
    static HRESULT Fail(HRESULT number, std::u16string_view description)
    {
        return ReportProviderErrors(_Recordset::iid, {AdoError(number, kRecordsetSource, description)});
    }
    static HRESULT Closed() { return Fail(adErrObjectClosed, u"Operation is not allowed when the object is closed."); }
    static HRESULT NoCurrentRecord()
    {
        return Fail(adErrNoCurrentRecord, u"Either BOF or EOF is True, or the current record has been deleted. "
                                          u"Requested operation requires a current record.");
    }

    // The room of a large row set is given back rather than held, closed,
    // for the small ones a reopened or kept recordset mostly reads.
    void Forget()
    {
        constexpr std::size_t kKeptValues = 256;
        m_open = false;
        m_position = 0;
        m_cursorRows = 0;
        m_cursor.reset();
        if (m_set.values.capacity() > kKeptValues)
            m_set = RowSet{};
        else
            m_set.Clear();
        m_changes.clear();
        m_connection.Release();
    }

    bool m_open = false;
    bool m_updatable = false;
    bool m_serverCursor = false;
    std::size_t m_maxRecords = kAllRows;
    std::size_t m_cursorRows = 0; // the rows a server cursor has moved past
    // With a server cursor, m_set holds the current row only, at position 0.
    std::unique_ptr<RowCursor> m_cursor;
    RowSet m_set;
    std::size_t m_position = 0;
    std::map<std::size_t, std::set<std::size_t>> m_changes; // row -> changed columns
    CComPtr<IConnectionInternal> m_connection;
};

KeptRecordset::~KeptRecordset() { delete m_object.exchange(nullptr); }

void KeptRecordset::Keep(RecordsetObject* object) { delete m_object.exchange(object); }

HRESULT FieldObject::get_Name(BSTR* name) { return CopyToBstr(m_owner->ColumnName(m_column), name); }

HRESULT FieldObject::get_Value(VARIANT* value) { return m_owner->ReadCurrent(m_column, value); }

HRESULT FieldObject::put_Value(VARIANT value) { return m_owner->WriteCurrent(m_column, value); }

HRESULT FieldsObject::get_Count(LONG* count)
{
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(m_owner->ColumnCount());
    return S_OK;
}

HRESULT FieldsObject::get_Item(VARIANT index, Field** field)
{
    if (!field) return E_POINTER;
    *field = nullptr;
    std::size_t column = 0;
    if (!m_owner->FindColumn(index, column)) return ItemNotFound(Fields::iid);
    *field = FieldObject::Create(m_owner, column).Detach();
    return S_OK;
}

} // namespace

CComPtr<IUnknown> NewRecordsetClassObject() { return SimpleClassObject<RecordsetObject>(); }

} // namespace valmorin::ado
