#include "platform/ado/connection_object.h"
#include "platform/ado/built_in.h"

#include "valmorin/com/errorinfo.h"
#include "platform/com/class_factory.h"

#include <utility>

namespace valmorin::ado {

namespace {

constexpr std::u16string_view kConnectionSource = u"ADODB.Connection";

class ErrorObject final : public CComObjectBase<ErrorObject, DispatchStub<Error>> {
public:
    explicit ErrorObject(ProviderError error) : m_error(std::move(error)) {}

    HRESULT get_Number(LONG* number) override { return Give(m_error.number, number); }
    HRESULT get_NativeError(LONG* nativeError) override { return Give(m_error.nativeError, nativeError); }
    HRESULT get_Source(BSTR* source) override { return CopyToBstr(m_error.source, source); }
    HRESULT get_Description(BSTR* description) override { return CopyToBstr(m_error.description, description); }
    HRESULT get_SQLState(BSTR* sqlState) override { return CopyToBstr(m_error.sqlState, sqlState); }

private:
    static HRESULT Give(LONG value, LONG* out)
    {
        if (!out) return E_POINTER;
        *out = value;
        return S_OK;
    }

    ProviderError m_error;
};

} // namespace

class ErrorList final : public CComObjectBase<ErrorList, DispatchStub<Errors>> {
public:
    HRESULT get_Count(LONG* count) override
    {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(m_errors.size());
        return S_OK;
    }
    HRESULT get_Item(VARIANT index, Error** error) override
    {
        if (!error) return E_POINTER;
        *error = nullptr;
        CComVariant position;
        if (FAILED(VariantChangeType(&position, &index, 0, VT_I4)) || position.lVal < 0 ||
            position.lVal >= static_cast<LONG>(m_errors.size()))
            return adErrItemNotFound;
        *error = ErrorObject::Create(m_errors[static_cast<std::size_t>(position.lVal)]).Detach();
        return S_OK;
    }
    HRESULT Clear() override
    {
        m_errors.clear();
        return S_OK;
    }

    void Assign(std::vector<ProviderError> errors) { m_errors = std::move(errors); }

private:
    std::vector<ProviderError> m_errors;
};

namespace {

class ConnectionObject final
    : public CComObjectBase<ConnectionObject, DispatchStub<_Connection>, IConnectionInternal> {
public:
    HRESULT get_State(LONG* state) override
    {
        if (!state) return E_POINTER;
        ForgetLostSession();
        if (m_session && !m_inTransaction && m_session->LinkClosedWhileIdle()) m_session.reset();
        *state = m_session ? adStateOpen : adStateClosed;
        return S_OK;
    }
    HRESULT put_IsolationLevel(LONG level) override
    {
        if (level != adXactReadCommitted && level != adXactRepeatableRead) return E_INVALIDARG;
        m_isolationLevel = level;
        return S_OK;
    }
    HRESULT put_CommandTimeout(LONG seconds) override
    {
        if (seconds < 0) return E_INVALIDARG;
        m_commandTimeout = seconds;
        return S_OK;
    }

    HRESULT Open(BSTR connectionString, BSTR userId, BSTR password, LONG) override
    {
        if (m_session) return Fail({AdoError(adErrObjectOpen, kConnectionSource,
                                             u"Operation is not allowed when the object is open.")});
        ClearErrors();
        const ConnectionString cs(View(connectionString));
        if (!cs.RepeatedKey().empty())
            return Fail({AdoError(E_INVALIDARG, kConnectionSource,
                                  u"The connection string gives the keyword \"" + cs.RepeatedKey() +
                                      u"\" more than once; give each keyword once.")});
        const std::shared_ptr<Provider> provider = FindProvider(cs.Get(u"Provider"));
        if (!provider)
            return Fail({AdoError(adErrProviderNotFound, kConnectionSource,
                                  u"Provider cannot be found. It may not be properly installed.")});
        const HRESULT hr = Guard([&] {
            try {
                m_session = provider->Connect(cs, View(userId), View(password), m_commandTimeout);
            } catch (ProviderFailure& failure) {
                // A driver may quote the connection string back (all of it,
                // after a brace it could not close): no password leaves here.
                for (ProviderError& error : failure.errors)
                    error.description = MaskSecrets(error.description, cs.Text(), View(password));
                throw;
            }
        });
        if (SUCCEEDED(hr)) m_provider = provider->Name();
        return hr;
    }

    HRESULT get_Provider(BSTR* provider) override { return CopyToBstr(m_provider, provider); }

    HRESULT get_DbmsName(BSTR* name) override
    {
        if (!m_session) return ObjectClosed();
        return CopyToBstr(m_session->DbmsName(), name);
    }

    HRESULT Close() override
    {
        if (!m_session) return ObjectClosed();
        ClearErrors();
        if (m_inTransaction) Guard([&] { m_session->Rollback(); });
        m_inTransaction = false;
        m_session.reset();
        return S_OK;
    }

    HRESULT Execute(BSTR commandText, VARIANT* recordsAffected, LONG, _Recordset** recordset) override
    {
        if (recordset) *recordset = nullptr;
        return ExecuteWith(View(commandText), {}, recordsAffected);
    }

    HRESULT ExecuteWith(std::u16string_view sql, std::span<const BoundValue> values, VARIANT* recordsAffected) override
    {
        if (!m_session) return ObjectClosed();
        ClearErrors();
        ExecuteOutcome outcome;
        const HRESULT hr = Guard([&] { outcome = m_session->Execute(sql, values); });
        if (SUCCEEDED(hr)) ReportCount(outcome, recordsAffected);
        return hr;
    }

    HRESULT ReadFirstField(std::u16string_view sql, const AdoValue* values, ULONG count, VARIANT* field,
                           VARIANT_BOOL* hasRow) override
    {
        if (!field || !hasRow || (count != 0 && !values)) return E_POINTER;
        VariantInit(field);
        *hasRow = VARIANT_FALSE;
        if (!m_session) return adErrObjectClosed;
        m_firstFieldValues.resize(count);
        for (ULONG i = 0; i < count; ++i) m_firstFieldValues[i] = Bound(values[i]);
        try {
            m_session->Query(sql, m_firstFieldValues, false, 1, m_firstRow);
        } catch (ProviderFailure& failure) {
            m_firstRow.Clear();
            return Fail(std::move(failure.errors));
        }
        if (m_firstRow.rows != 0 && !m_firstRow.columns.empty()) {
            VARIANT& first = m_firstRow.At(0, 0);
            *field = first; // the field's string now belongs to the caller
            VariantInit(&first);
            *hasRow = VARIANT_TRUE;
        }
        m_firstRow.Clear(); // nothing of one lookup's row stays until the next
        return S_OK;
    }

    HRESULT BeginTrans(LONG* level) override
    {
        if (!m_session) return ObjectClosed();
        ClearErrors();
        if (m_inTransaction)
            return Fail({AdoError(XACT_E_XTIONEXISTS, kConnectionSource,
                                  u"Only one transaction can be active on this session.")});
        const HRESULT hr = Guard([&] {
            if (m_isolationLevel == adXactRepeatableRead)
                m_session->BeginSnapshot();
            else
                m_session->Begin();
        });
        if (SUCCEEDED(hr)) m_inTransaction = true;
        if (level) *level = m_inTransaction ? 1 : 0;
        return hr;
    }
    HRESULT CommitTrans() override { return EndTransaction([&] { m_session->Commit(); }); }
    HRESULT RollbackTrans() override { return EndTransaction([&] { m_session->Rollback(); }); }

    HRESULT get_Errors(Errors** errors) override
    {
        if (!errors) return E_POINTER;
        m_errors->AddRef();
        *errors = m_errors.get();
        return S_OK;
    }

    Session* ActiveSession() override { return m_session.get(); }
    HRESULT Fail(std::vector<ProviderError> errors) override
    {
        m_linkSuspect = m_session != nullptr;
        const HRESULT hr = ReportProviderErrors(_Connection::iid, errors);
        m_errors->Assign(std::move(errors));
        return hr;
    }
    void ClearErrors() override
    {
        m_errors->Clear();
        SetErrorInfo(0, nullptr);
    }

private:
    static std::u16string_view View(BSTR text) { return {text ? text : u"", SysStringLen(text)}; }
    static BoundValue Bound(const AdoValue& value)
    {
        return value.isText ? BoundValue{BoundValue::Kind::Text, value.text, 0}
                            : BoundValue{BoundValue::Kind::Number, {}, value.number};
    }

    static void ReportCount(const ExecuteOutcome& outcome, VARIANT* recordsAffected)
    {
        if (!recordsAffected) return;
        VariantClear(recordsAffected);
        if (outcome.kind == ExecuteOutcome::Count::None) return;
        recordsAffected->vt = VT_I4;
        recordsAffected->lVal = outcome.kind == ExecuteOutcome::Count::Rows ? outcome.rows : -1;
    }

    // A session whose link is gone is dropped, its transaction with it (the
    // server has ended it): the connection is closed, and its next Open
    // makes a new session. Nothing is retried here.
    void ForgetLostSession()
    {
        if (!std::exchange(m_linkSuspect, false) || !m_session || !m_session->LinkLost()) return;
        m_session.reset();
        m_inTransaction = false;
    }

    HRESULT ObjectClosed()
    {
        return Fail({AdoError(adErrObjectClosed, kConnectionSource,
                              u"Operation is not allowed when the object is closed.")});
    }

    // Runs a provider call; a provider failure fills the Errors list, its
    // warnings after success too.
    template <typename Call>
    HRESULT Guard(Call&& call)
    {
        try {
            call();
        } catch (ProviderFailure& failure) {
            return Fail(std::move(failure.errors));
        }
        if (m_session) m_errors->Assign(m_session->TakeWarnings());
        return S_OK;
    }

    template <typename Call>
    HRESULT EndTransaction(Call&& call)
    {
        if (!m_session) return ObjectClosed();
        ClearErrors();
        if (!m_inTransaction)
            return Fail({AdoError(XACT_E_NOTRANSACTION, kConnectionSource, u"No transaction is active.")});
        const HRESULT hr = Guard(call);
        // A COMMIT refused (a busy store, say) leaves the transaction open on
        // the server: it stays open here too, so that it can be rolled back.
        m_inTransaction = FAILED(hr) && m_session->InTransaction();
        return hr;
    }

    LONG m_commandTimeout = 30;
    LONG m_isolationLevel = adXactReadCommitted;
    std::u16string m_provider;
    bool m_inTransaction = false;
    bool m_linkSuspect = false; // a call failed since the link was last looked at
    std::unique_ptr<Session> m_session;
    CComPtr<ErrorList> m_errors = ErrorList::Create();
    // ReadFirstField's, kept with their room from one lookup to the next.
    std::vector<BoundValue> m_firstFieldValues;
    RowSet m_firstRow;
};

} // namespace

CComPtr<IUnknown> NewConnectionClassObject() { return SimpleClassObject<ConnectionObject>(); }

HRESULT ReportProviderErrors(REFIID iid, const std::vector<ProviderError>& errors)
{
    if (errors.empty()) return E_FAIL;
    SetThreadErrorInfo(iid, errors.front().source, errors.front().description, errors.front().sqlState,
                       errors.front().nativeError);
    return errors.front().number;
}

} // namespace valmorin::ado
