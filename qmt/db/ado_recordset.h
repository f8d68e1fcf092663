// Reading (and, for updatable statements, writing) the rows of a statement.
#pragma once

#include "platform/ado/ado.h"
#include "qmt/db/ado_statement.h"

#include <string>

namespace qmt {

class CAdoConnection;

// The row the recordset's cursor is on, read and written by field position.
class CAdoRecord {
public:
    explicit CAdoRecord(CComPtr<_Recordset> handle) : m_handle(std::move(handle)) {}
    virtual ~CAdoRecord() = default;

    void read(LONG position, VARIANT& value) const;
    // NULL gives 0; other types are converted and raise _com_error when
    // they do not fit.
    void read(LONG position, SHORT& value) const;
    void read(LONG position, LONG& value) const;
    // NULL gives the empty text; a non-text field is converted to text.
    void read(LONG position, std::u16string& value) const;
    void read(LONG position, CComBSTR& value) const;
    // As read(position, value), the field handed over rather than copied:
    // it reads as empty afterwards. False when the field is NULL.
    bool takeText(LONG position, CComBSTR& value) const;

    // Reaches the database only through the recordset's updateBatch.
    void write(LONG position, const VARIANT& value);
    void write(LONG position, const std::u16string& value);
    void write(LONG position, const CComBSTR& value);

private:
    CComPtr<Field> field(LONG position) const;
    template <typename T>
    T readInteger(LONG position, VARTYPE type) const;

    CComPtr<_Recordset> m_handle;
};

class CAdoRecordset {
public:
    class iterator {
    public:
        iterator() = default;
        iterator(CComPtr<_Recordset> handle, LONG position) : m_position(position), m_handle(std::move(handle)) {}
        virtual ~iterator() = default;

        bool operator!=(const iterator& other) const { return m_position != other.m_position; }
        iterator& operator++();
        CAdoRecord operator*() const { return CAdoRecord(m_handle); }

    private:
        LONG m_position = -1;
        CComPtr<_Recordset> m_handle;
    };

    CAdoRecordset();
    // A recordset object the connection kept from an earlier read, given
    // back to it, closed, by the destructor: it must not outlive the
    // connection.
    explicit CAdoRecordset(CAdoConnection& lender);
    virtual ~CAdoRecordset();
    CAdoRecordset(const CAdoRecordset&) = delete;
    CAdoRecordset& operator=(const CAdoRecordset&) = delete;

    void open(const std::u16string& text, CAdoConnection& connection, LONG cursorType, LONG cursorLocation,
              LONG lockType, LONG options);
    // The statement opened with its values bound; its shown text is what
    // the log says was opened.
    void open(const AdoStatement& statement, CAdoConnection& connection, LONG cursorType, LONG cursorLocation,
              LONG lockType, LONG options);
    // The most rows the following opens read, 0 (the default) for all: a
    // reader of the first row alone spares the store the search for more.
    void setMaxRecords(LONG maxRecords) { m_maxRecords = maxRecords; }
    void close();
    iterator begin();
    iterator end() { return {}; }
    void updateBatch(LONG scope);

private:
    friend bool ReadFirstField(CAdoConnection& connection, const AdoStatement& statement, CComVariant& field);
    // open's statement, run without being logged.
    void openStatement(const AdoStatement& statement, CAdoConnection& connection, LONG cursorType, LONG cursorLocation,
                       LONG lockType, LONG options);
    void openSource(const VARIANT& source, CAdoConnection& connection, LONG cursorType, LONG cursorLocation,
                    LONG lockType, LONG options);

    CComPtr<_Recordset> m_handle;
    CAdoConnection* m_connection = nullptr; // the one it was opened on, whose errors its failures are
    CAdoConnection* m_lender = nullptr;     // the one m_handle goes back to
    LONG m_maxRecords = 0;                  // set on the handle at every open: a lent one kept another's
};

// Field 0 of the statement's first row, handed over to field; false when
// there is no row. What a recordset opened on the statement, MaxRecords 1,
// gives as its first field, with the same log line and the same failures,
// read without one: a lookup makes no command or recordset object.
bool ReadFirstField(CAdoConnection& connection, const AdoStatement& statement, CComVariant& field);

// A field's text, its string taken over; NULL (or nothing) gives the empty
// text and false. Another type is converted to text.
bool TakeText(CComVariant& field, CComBSTR& value);

} // namespace qmt
