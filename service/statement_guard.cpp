#include "service/statement_guard.h"

#include "platform/ado/ado.h"
#include "qmt/diag/exception.h"

void RefuseApostrophe(const qmt::CAdoConnection& connection, std::u16string_view argument, std::u16string_view value)
{
    // Without an open connection no statement can be sent; the call's own
    // step reports the closed connection.
    if (value.find(u'\'') == std::u16string_view::npos || !connection.isOpen()) return;
    throw qmt::CException(connection.provider(),
                          u"The argument " + std::u16string(argument) +
                              u" holds an apostrophe, which this statement cannot carry; the statement was not sent.",
                          static_cast<DWORD>(DB_E_ERRORSINCOMMAND));
}
