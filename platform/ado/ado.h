// ADO-shaped data access objects: Connection, its Errors list, Recordset and
// its Fields. Created through CoCreateInstance with the CLSIDs below; the
// database behind a Connection is chosen by the connection string's
// Provider= value (see provider.h).
#pragma once

#include "valmorin/com/unknown.h"

#include <string_view>

inline constexpr CLSID CLSID_Connection = MakeGuid("00000514-0000-0010-8000-00AA006D2EA4");
inline constexpr CLSID CLSID_Recordset = MakeGuid("00000535-0000-0010-8000-00AA006D2EA4");
inline constexpr CLSID CLSID_Command = MakeGuid("00000507-0000-0010-8000-00AA006D2EA4");

inline constexpr LONG adStateClosed = 0;
inline constexpr LONG adStateOpen = 1;
inline constexpr LONG adConnectUnspecified = -1;
inline constexpr LONG adOptionUnspecified = -1;
inline constexpr LONG adUseServer = 2;
inline constexpr LONG adUseClient = 3;
inline constexpr LONG adOpenUnspecified = -1;
inline constexpr LONG adOpenForwardOnly = 0;
inline constexpr LONG adOpenStatic = 3;
inline constexpr LONG adLockUnspecified = -1;
inline constexpr LONG adLockReadOnly = 1;
inline constexpr LONG adLockPessimistic = 2;
inline constexpr LONG adAffectAll = 3;
// The isolation a transaction begun next is given (ADO's IsolationLevel).
inline constexpr LONG adXactReadCommitted = 0x1000;
inline constexpr LONG adXactRepeatableRead = 0x10000;

// OLE DB and ADO result codes the objects report.
inline constexpr HRESULT DB_E_ERRORSINCOMMAND = MakeHResult(0x80040E14);
inline constexpr HRESULT DB_E_INTEGRITYVIOLATION = MakeHResult(0x80040E2F);
inline constexpr HRESULT DB_E_ABORTLIMITREACHED = MakeHResult(0x80040E31);
inline constexpr HRESULT DB_E_CANTCONVERTVALUE = MakeHResult(0x80040E07);
inline constexpr HRESULT DB_E_DATAOVERFLOW = MakeHResult(0x80040E57);
inline constexpr HRESULT DB_SEC_E_PERMISSIONDENIED = MakeHResult(0x80040E09);
inline constexpr HRESULT XACT_E_NOTRANSACTION = MakeHResult(0x8004D00E);
inline constexpr HRESULT XACT_E_XTIONEXISTS = MakeHResult(0x8004D013);
inline constexpr HRESULT adErrProviderNotFound = MakeHResult(0x800A0E7A);
inline constexpr HRESULT adErrObjectClosed = MakeHResult(0x800A0E78);
inline constexpr HRESULT adErrObjectOpen = MakeHResult(0x800A0E79);
inline constexpr HRESULT adErrNoCurrentRecord = MakeHResult(0x800A0BCD);
inline constexpr HRESULT adErrItemNotFound = MakeHResult(0x800A0CC1);
inline constexpr HRESULT adErrInvalidConnection = MakeHResult(0x800A0E7D);

struct Error : IDispatch {
    static constexpr IID iid = MakeGuid("00000500-0000-0010-8000-00AA006D2EA4");
    virtual HRESULT get_Number(LONG* number) = 0;
    virtual HRESULT get_Source(BSTR* source) = 0;
    virtual HRESULT get_Description(BSTR* description) = 0;
    virtual HRESULT get_SQLState(BSTR* sqlState) = 0;
    virtual HRESULT get_NativeError(LONG* nativeError) = 0;

protected:
    ~Error() = default;
};

struct Errors : IDispatch {
    static constexpr IID iid = MakeGuid("00000501-0000-0010-8000-00AA006D2EA4");
    virtual HRESULT get_Count(LONG* count) = 0;
    virtual HRESULT get_Item(VARIANT index, Error** error) = 0;
    virtual HRESULT Clear() = 0;

protected:
    ~Errors() = default;
};

struct Field : IDispatch {
    static constexpr IID iid = MakeGuid("00000569-0000-0010-8000-00AA006D2EA4");
    virtual HRESULT get_Name(BSTR* name) = 0;
    virtual HRESULT get_Value(VARIANT* value) = 0;
    virtual HRESULT put_Value(VARIANT value) = 0;

protected:
    ~Field() = default;
};

struct Fields : IDispatch {
    static constexpr IID iid = MakeGuid("00000564-0000-0010-8000-00AA006D2EA4");
    virtual HRESULT get_Count(LONG* count) = 0;
    virtual HRESULT get_Item(VARIANT index, Field** field) = 0;

protected:
    ~Fields() = default;
};

struct _Recordset : IDispatch {
    static constexpr IID iid = MakeGuid("00001556-0000-0010-8000-00AA006D2EA4");
    virtual HRESULT get_State(LONG* state) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT put_CursorLocation(LONG location) = 0;
    // The most rows an Open reads, 0 for all of them.
    virtual HRESULT put_MaxRecords(LONG maxRecords) = 0;
    // The statement's provider errors go to the active connection's Errors.
    virtual HRESULT Open(VARIANT source, VARIANT activeConnection, LONG cursorType, LONG lockType, LONG options) = 0;
    virtual HRESULT get_EOF(VARIANT_BOOL* eof) = 0;
    virtual HRESULT get_BOF(VARIANT_BOOL* bof) = 0;
    virtual HRESULT MoveNext() = 0;
    virtual HRESULT get_Fields(Fields** fields) = 0;
    // The current row's field by name or position, as Fields.Item(index).Value
    // gives it, without creating the Fields and Field objects (ADO's Collect).
    virtual HRESULT get_Collect(VARIANT index, VARIANT* value) = 0;
    // As get_Collect, the field's value handed over rather than copied, for
    // a caller that reads the field once: the field is EMPTY afterwards. An
    // updatable recordset, whose rows go back to the store, gives a copy.
    virtual HRESULT TakeCollect(VARIANT index, VARIANT* value) = 0;
    virtual HRESULT UpdateBatch(LONG affectRecords) = 0;

protected:
    ~_Recordset() = default;
};

// A statement whose values come apart from its text: each ? of the text
// stands for one value, given by index as ADO's Parameters(index).Value
// takes it (VT_BSTR, VT_I4 or VT_NULL), or all at once to Execute as an
// array of BSTR. The values are kept for every run until
// the text changes. The text is the caller's own; no value can change it.
// A Recordset opened with the command as its source runs it with its
// values.
struct _Command : IDispatch {
    static constexpr IID iid = MakeGuid("0000154E-0000-0010-8000-00AA006D2EA4");
    virtual HRESULT putref_ActiveConnection(IDispatch* connection) = 0;
    virtual HRESULT put_CommandText(BSTR text) = 0;
    virtual HRESULT put_Parameter(LONG index, VARIANT value) = 0;
    // A text value set as put_Parameter sets a VT_BSTR one, from the
    // caller's characters: a statement run once per lookup makes no BSTR
    // for its values.
    virtual HRESULT put_ParameterText(LONG index, const char16_t* text, ULONG length) = 0;
    // Rows affected, when given, receives the count as VT_I4.
    virtual HRESULT Execute(VARIANT* recordsAffected, VARIANT* parameters, LONG options, _Recordset** recordset) = 0;

protected:
    ~_Command() = default;
};

// A value for a statement's next ?: a text, viewed where it lies, or a
// number.
struct AdoValue {
    bool isText = false;
    std::u16string_view text;
    LONG number = 0;
};

struct _Connection : IDispatch {
    static constexpr IID iid = MakeGuid("00001550-0000-0010-8000-00AA006D2EA4");
    virtual HRESULT get_State(LONG* state) = 0;
    virtual HRESULT put_CommandTimeout(LONG seconds) = 0;
    // adXactRepeatableRead: the transactions begun next only read: on
    // SQLite and PostgreSQL (through ODBC too) one snapshot of the store,
    // without the lock that keeps its writers out; elsewhere as the
    // writers' own. adXactReadCommitted (the default): the
    // transactions are the writers' own.
    virtual HRESULT put_IsolationLevel(LONG level) = 0;
    virtual HRESULT Open(BSTR connectionString, BSTR userId, BSTR password, LONG options) = 0;
    virtual HRESULT Close() = 0;
    // Rows affected, when given, receives the count as VT_I4: -1 for a
    // statement that returns rows, VT_EMPTY for one with no count.
    virtual HRESULT Execute(BSTR commandText, VARIANT* recordsAffected, LONG options, _Recordset** recordset) = 0;
    virtual HRESULT BeginTrans(LONG* level) = 0;
    virtual HRESULT CommitTrans() = 0;
    virtual HRESULT RollbackTrans() = 0;
    virtual HRESULT get_Errors(Errors** errors) = 0;
    // The name of the provider the connection string chose; empty before
    // the first successful Open.
    virtual HRESULT get_Provider(BSTR* provider) = 0;
    // The database product behind an open connection, as ADO's
    // Properties("DBMS Name") gives it: the driver's name for it through
    // ODBC, which reaches several; empty through the other providers.
    virtual HRESULT get_DbmsName(BSTR* name) = 0;
    // A singleton select, as ADO's Record opened on a statement reads one:
    // field 0 of the statement's first row, each ? bound to the next value,
    // handed over to field (left VT_EMPTY when there is no row, *hasRow
    // then VARIANT_FALSE). Its provider errors go to Errors as those of a
    // recordset's Open do; a lookup then makes no command or recordset.
    // adErrObjectClosed, with nothing run and Errors untouched, when the
    // connection is not open.
    virtual HRESULT ReadFirstField(std::u16string_view text, const AdoValue* values, ULONG count, VARIANT* field,
                                   VARIANT_BOOL* hasRow) = 0;

protected:
    ~_Connection() = default;
};
