// The texts of the statements the service sends, as FormatSql formats them.
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

inline constexpr const char16_t* kInsertEntry =
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'%s')";
inline constexpr const char16_t* kCountEntries =
    u"SELECT COUNT(INPUT) FROM QM_VALMOR WHERE ID_TABLE = %d AND INPUT = '%s'";
inline constexpr const char16_t* kDeleteEntry =
    u"delete FROM QM_VALMOR WHERE (ID_TABLE = (SELECT b.ID_TABLE  FROM QM_TABLES  b WHERE NOM = N'%s')) AND (INPUT = "
    u"N'%s')";
inline constexpr const char16_t* kInsertImplicitTable =
    u"INSERT INTO QM_TABLES(ID_TABLE, NB_COLS, NOM, DESCRIPTION) VALUES ( %d, 2, N'%s', N'Transadd Creation' )";
inline constexpr const char16_t* kInsertImplicitColumn =
    u"INSERT INTO QM_DICO(ID_TABLE, ID_COL, NAME_COL, INOUT) VALUES ( %d, %d, N'%s', %d )";
inline constexpr const char16_t* kTransdelTrace = u"transdel(%s,%s)";

inline constexpr const char16_t* kSelectCounter = u"SELECT OUTPUT FROM QM_VALMOR WHERE ID_TABLE = %d AND INPUT = N'%s'";
inline constexpr const char16_t* kUpdateCounter =
    u"UPDATE QM_VALMOR SET OUTPUT = N'|%d' WHERE ID_TABLE = %d AND INPUT = N'%s'";
inline constexpr const char16_t* kInsertCounter =
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'|%d')";
inline constexpr const char16_t* kUpdateDayCounter =
    u"UPDATE QM_VALMOR SET OUTPUT = N'%03d|%d' WHERE ID_TABLE = %d AND INPUT = N'%s'";
inline constexpr const char16_t* kInsertDayCounter =
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'%03d|%d')";
inline constexpr const char16_t* kCounterTable = u"GenerationNumbers";

inline constexpr const char16_t* kListTables =
    u"SELECT T.ID_TABLE, T.NOM, T.DESCRIPTION, (SELECT COUNT(*) FROM QM_DICO D WHERE D.ID_TABLE = T.ID_TABLE AND "
    u"D.INOUT=1) AS INPUT, (SELECT COUNT(*) FROM QM_DICO D WHERE D.ID_TABLE = T.ID_TABLE AND D.INOUT=0) AS OUTPUT, "
    u"T.USER_CODE_LASTACTION FROM QM_TABLES T ORDER BY T.NOM ASC";
inline constexpr const char16_t* kSelectDescription = u"SELECT DESCRIPTION FROM QM_TABLES WHERE NOM = N'%s'";
inline constexpr const char16_t* kListColumns =
    u"SELECT ID_COL, NAME_COL, INOUT FROM QM_DICO WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = "
    u"N'%s') ORDER BY ID_COL ASC";

inline constexpr const char16_t* kDeleteTableEntries =
    u"DELETE FROM QM_VALMOR WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')";
inline constexpr const char16_t* kDeleteTableColumns =
    u"DELETE FROM QM_DICO WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')";
inline constexpr const char16_t* kDeleteTable = u"DELETE FROM QM_TABLES WHERE NOM = N'%s'";
inline constexpr const char16_t* kInsertTable =
    u"INSERT INTO QM_TABLES(ID_TABLE, NB_COLS, NOM, DESCRIPTION, USER_CODE_LASTACTION) VALUES (%d, 0, N'%s', "
    u"N'%s', N'%s')";
// The INOUT code goes in as text, unquoted: only validated codes reach it.
inline constexpr const char16_t* kInsertColumn =
    u"INSERT INTO QM_DICO(ID_TABLE, ID_COL, NAME_COL, INOUT) VALUES (%d, %d, N'%s', %s)";

inline constexpr const char16_t* kRenameTableDescribed =
    u"UPDATE QM_TABLES SET NOM = N'%s', DESCRIPTION = N'%s', USER_CODE_LASTACTION = N'%s' WHERE NOM = N'%s'";
inline constexpr const char16_t* kRenameTable =
    u"UPDATE QM_TABLES SET NOM = N'%s', USER_CODE_LASTACTION = N'%s' WHERE NOM = N'%s'";
inline constexpr const char16_t* kSelectTableId = u"SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s'";
inline constexpr const char16_t* kScanColumns =
    u"SELECT ID_COL, INOUT, NAME_COL FROM QM_DICO WHERE ID_TABLE = %d ORDER BY ID_COL ASC";
// The IN list holds only numbers the method parsed itself.
inline constexpr const char16_t* kDeleteColumns = u"DELETE FROM QM_DICO WHERE ID_TABLE = %d AND ID_COL IN (%s)";
inline constexpr const char16_t* kScanValues = u"SELECT INPUT, OUTPUT FROM QM_VALMOR WHERE ID_TABLE = %d";

inline constexpr const char16_t* kListCorrespondences =
    u"SELECT INPUT, OUTPUT, USER_CODE_LASTACTION FROM QM_VALMOR WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES "
    u"WHERE NOM = N'%s')";
inline constexpr const char16_t* kDeleteCorrespondence =
    u"DELETE FROM QM_VALMOR WHERE INPUT = N'%s' AND ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')";
inline constexpr const char16_t* kInsertCorrespondence =
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT, USER_CODE_LASTACTION) SELECT ID_TABLE, N'%s', N'%s', N'%s' FROM "
    u"QM_TABLES WHERE NOM = N'%s'";
inline constexpr const char16_t* kUpdateCorrespondence =
    u"UPDATE QM_VALMOR SET INPUT = N'%s', OUTPUT = N'%s', USER_CODE_LASTACTION = N'%s' WHERE INPUT = N'%s' AND "
    u"ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')";
inline constexpr const char16_t* kCorrespondenceTableId =
    u"SELECT QM_VALMOR.ID_TABLE FROM QM_VALMOR WHERE INPUT = N'%s' AND ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES "
    u"WHERE NOM = N'%s')";

inline constexpr const char16_t* kTableLastUser =
    u"SELECT 1 FROM QM_TABLES WHERE NOM = N'%s' AND USER_CODE_LASTACTION = N'%s'";
inline constexpr const char16_t* kCorrespondenceLastUser =
    u"SELECT 1 FROM QM_VALMOR WHERE INPUT = N'%s' AND USER_CODE_LASTACTION = N'%s' AND ID_TABLE IN (SELECT ID_TABLE "
    u"FROM QM_TABLES WHERE NOM = N'%s')";

// The statements of the methods that go beyond the lookups and listings
// above. Every caller text stands quoted (apostrophes doubled) in N'...'.
inline constexpr const char16_t* kTranslateReverse =
    u"SELECT MIN(a.INPUT) FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM QM_TABLES b WHERE NOM = "
    u"N'%s')) AND (a.OUTPUT = N'%s')";
inline constexpr const char16_t* kListTablesWithRows =
    u"SELECT T.ID_TABLE, T.NOM, T.DESCRIPTION, (SELECT COUNT(*) FROM QM_DICO D WHERE D.ID_TABLE = T.ID_TABLE AND "
    u"D.INOUT=1) AS INPUT, (SELECT COUNT(*) FROM QM_DICO D WHERE D.ID_TABLE = T.ID_TABLE AND D.INOUT=0) AS OUTPUT, "
    u"T.USER_CODE_LASTACTION, (SELECT COUNT(*) FROM QM_VALMOR V WHERE V.ID_TABLE = T.ID_TABLE) AS ROWS_HELD FROM "
    u"QM_TABLES T ORDER BY T.NOM ASC";
inline constexpr const char16_t* kCountCorrespondences =
    u"SELECT COUNT(*) FROM QM_VALMOR WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')";
inline constexpr const char16_t* kListCorrespondencesInOrder =
    u"SELECT INPUT, OUTPUT, USER_CODE_LASTACTION FROM QM_VALMOR WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES "
    u"WHERE NOM = N'%s') ORDER BY INPUT";
// The pattern is the searched text with ! % _ and [ escaped by !, between
// two %: LIKE then finds the text as written, wherever it stands.
inline constexpr const char16_t* kListCorrespondencesLike =
    u"SELECT INPUT, OUTPUT, USER_CODE_LASTACTION FROM QM_VALMOR WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES "
    u"WHERE NOM = N'%s') AND (INPUT LIKE N'%s' ESCAPE N'!' OR OUTPUT LIKE N'%s' ESCAPE N'!') ORDER BY INPUT";

// The import of a CSV file. Rows of a table that held none go in by one
// insert each; into a table with rows, each INPUT of the file is noted in a
// temporary table (whose key refuses it a second time), then inserted or
// updated; replacing, the rows of no noted INPUT are deleted. The writes
// repeated for every row are commands: each ? takes a value, the table's
// identifier included, as text.
inline constexpr const char16_t* kInsertImported =
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT, USER_CODE_LASTACTION) VALUES (?, ?, ?, ?)";
inline constexpr const char16_t* kUpdateImported =
    u"UPDATE QM_VALMOR SET OUTPUT = ?, USER_CODE_LASTACTION = ? WHERE ID_TABLE = ? AND INPUT = ?";
inline constexpr const char16_t* kCountTableRows = u"SELECT COUNT(*) FROM QM_VALMOR WHERE ID_TABLE = %d";
inline constexpr const char16_t* kCreateImportSeen = u"CREATE TEMP TABLE VALMORIN_IMPORT_SEEN (INPUT TEXT PRIMARY KEY)";
inline constexpr const char16_t* kInsertImportSeen = u"INSERT INTO VALMORIN_IMPORT_SEEN(INPUT) VALUES (?)";
inline constexpr const char16_t* kDeleteUnseen =
    u"DELETE FROM QM_VALMOR WHERE ID_TABLE = %d AND NOT EXISTS (SELECT 1 FROM VALMORIN_IMPORT_SEEN S WHERE S.INPUT = "
    u"QM_VALMOR.INPUT)";
inline constexpr const char16_t* kDropImportSeen = u"DROP TABLE VALMORIN_IMPORT_SEEN";

// The export: the rows of one table in INPUT order.
inline constexpr const char16_t* kExportRows =
    u"SELECT INPUT, OUTPUT FROM QM_VALMOR WHERE ID_TABLE = %d ORDER BY INPUT";

} // namespace statements
