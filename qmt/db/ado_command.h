// A statement run again and again with new values: each ? of its text takes
// the next value, bound by the store and never written into the text.
#pragma once

#include "platform/ado/ado.h"

#include <initializer_list>
#include <string>

namespace qmt {

class CAdoConnection;

class CAdoCommand {
public:
    // The connection must stay open while the command is used.
    CAdoCommand(CAdoConnection& connection, const std::u16string& text, ULONG parameters);
    ~CAdoCommand();
    CAdoCommand(const CAdoCommand&) = delete;
    CAdoCommand& operator=(const CAdoCommand&) = delete;

    // Runs the statement with these values, one per ?; the rows affected.
    // Failures as CAdoConnection::execute throws them.
    LONG execute(std::initializer_list<std::u16string_view> values);

private:
    CAdoConnection& m_connection;
    CComPtr<_Command> m_handle;
    SAFEARRAY* m_values; // kept from run to run, each element replaced
};

} // namespace qmt
