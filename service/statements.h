// The statements the service sends, as FormatSql formats.
#pragma once

namespace statements {

inline constexpr const char16_t* kTranslate =
    u"SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM QM_TABLES  b WHERE NOM = N'%s')) "
    u"AND (a.INPUT = N'%s')";

inline constexpr const char16_t* kLookupTableIdHead = u"SELECT ID_TABLE FROM QM_TABLES WHERE ( NOM = N'";
inline constexpr const char16_t* kLookupTableIdTail = u"')";
inline constexpr const char16_t* kSelectMaxHead = u"SELECT MAX(";
inline constexpr const char16_t* kSelectMaxFrom = u") FROM ";
inline constexpr const char16_t* kWhereTableIdQuoted = u" WHERE ID_TABLE = '%d'";

inline constexpr const char16_t* kInsertEntry = u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'%s')";
inline constexpr const char16_t* kCountEntries = u"SELECT COUNT(INPUT) FROM QM_VALMOR WHERE ID_TABLE = %d AND INPUT = '%s'";
inline constexpr const char16_t* kDeleteEntry =
    u"delete FROM QM_VALMOR WHERE (ID_TABLE = (SELECT b.ID_TABLE  FROM QM_TABLES  b WHERE NOM = N'%s')) AND (INPUT = "
    u"N'%s')";
inline constexpr const char16_t* kInsertImplicitTable =
    u"INSERT INTO QM_TABLES(ID_TABLE, NB_COLS, NOM, DESCRIPTION) VALUES ( %d, 2, N'%s', N'Transadd Creation' )";
inline constexpr const char16_t* kInsertImplicitColumn =
    u"INSERT INTO QM_DICO(ID_TABLE, ID_COL, NAME_COL, INOUT) VALUES ( %d, %d, N'%s', %d )";
inline constexpr const char16_t* kTransdelTrace = u"transdel(%s,%s)";

inline constexpr const char16_t* kSelectCounter = u"SELECT OUTPUT FROM QM_VALMOR WHERE ID_TABLE = %d AND INPUT = N'%s'";
inline constexpr const char16_t* kUpdateCounter = u"UPDATE QM_VALMOR SET OUTPUT = N'|%d' WHERE ID_TABLE = %d AND INPUT = N'%s'";
inline constexpr const char16_t* kInsertCounter = u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'|%d')";
inline constexpr const char16_t* kUpdateDayCounter =
    u"UPDATE QM_VALMOR SET OUTPUT = N'%03d|%d' WHERE ID_TABLE = %d AND INPUT = N'%s'";
inline constexpr const char16_t* kInsertDayCounter =
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'%03d|%d')";
inline constexpr const char16_t* kCounterTable = u"GenerationNumbers";

} // namespace statements
