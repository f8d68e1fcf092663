// The statements the service sends, as FormatSql formats.
#pragma once

#include "platform/com/types.h"

namespace statements {

inline constexpr const char16_t* kTranslate =
    u"SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM QM_TABLES  b WHERE NOM = N'%s')) "
    u"AND (a.INPUT = N'%s')";

} // namespace statements

// Argument sets of CAdoRecordset::open: cursor type, cursor location, lock
// type, options.
struct RecordsetArguments {
    LONG cursorType, cursorLocation, lockType, options;
};
inline constexpr RecordsetArguments kReadOnlyQuery{-1, 3, -1, -1};
