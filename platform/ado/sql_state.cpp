#include "platform/ado/sql_state.h"

#include "platform/ado/ado.h"

namespace valmorin::ado {

HRESULT HResultOfSqlState(std::u16string_view state)
{
    if (state.size() != 5) return E_FAIL;
    const std::u16string_view cls = state.substr(0, 2);
    if (cls == u"23" || state == u"P0001") return DB_E_INTEGRITYVIOLATION; // P0001: the store's own rule
    if (state == u"40001" || state == u"40P01" || state == u"57014" || state == u"55P03" || state == u"HYT00" ||
        state == u"HYT01")
        return DB_E_ABORTLIMITREACHED;
    if (state == u"42501" || cls == u"28") return DB_SEC_E_PERMISSIONDENIED;
    if (cls == u"42" || state == u"37000") return DB_E_ERRORSINCOMMAND;
    if (state == u"22001" || state == u"22003" || cls == u"54") return DB_E_DATAOVERFLOW;
    if (cls == u"22" || state == u"07006") return DB_E_CANTCONVERTVALUE;
    if (state == u"HY001" || cls == u"53") return E_OUTOFMEMORY;
    return E_FAIL;
}

} // namespace valmorin::ado
