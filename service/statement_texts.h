// The shapes of the statements the service sends: each text as it is
// shown, a conversion where each value goes (qmt/db/ado_statement.h).
#pragma once

#include "qmt/db/ado_statement.h"

namespace statements {

inline constexpr qmt::StatementShape kTranslate{
    u"SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM QM_TABLES  b WHERE NOM = N'%s')) "
    u"AND (a.INPUT = N'%s')"};

inline constexpr qmt::StatementShape kLookupTableId{u"SELECT ID_TABLE FROM QM_TABLES WHERE ( NOM = N'%s')"};
inline constexpr qmt::StatementShape kSelectMaxTableId{u"SELECT MAX(ID_TABLE) FROM QM_TABLES"};
inline constexpr qmt::StatementShape kSelectMaxColumnId{u"SELECT MAX(ID_COL) FROM QM_DICO WHERE ID_TABLE = '%d'"};

inline constexpr qmt::StatementShape kInsertEntry{
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'%s')"};
inline constexpr qmt::StatementShape kCountEntries{
    u"SELECT COUNT(INPUT) FROM QM_VALMOR WHERE ID_TABLE = %d AND INPUT = '%s'"};
inline constexpr qmt::StatementShape kDeleteEntry{
    u"delete FROM QM_VALMOR WHERE (ID_TABLE = (SELECT b.ID_TABLE  FROM QM_TABLES  b WHERE NOM = N'%s')) AND (INPUT = "
    u"N'%s')"};
inline constexpr qmt::StatementShape kInsertImplicitTable{
    u"INSERT INTO QM_TABLES(ID_TABLE, NB_COLS, NOM, DESCRIPTION) VALUES ( %d, 2, N'%s', N'Transadd Creation' )"};
inline constexpr qmt::StatementShape kInsertImplicitColumn{
    u"INSERT INTO QM_DICO(ID_TABLE, ID_COL, NAME_COL, INOUT) VALUES ( %d, %d, N'%s', %d )"};
inline constexpr const char16_t* kTransdelTrace = u"transdel(%s,%s)";

inline constexpr qmt::StatementShape kSelectCounter{
    u"SELECT OUTPUT FROM QM_VALMOR WHERE ID_TABLE = %d AND INPUT = N'%s'"};
inline constexpr qmt::StatementShape kUpdateCounter{
    u"UPDATE QM_VALMOR SET OUTPUT = N'|%d' WHERE ID_TABLE = %d AND INPUT = N'%s'"};
inline constexpr qmt::StatementShape kInsertCounter{
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'|%d')"};
inline constexpr qmt::StatementShape kUpdateDayCounter{
    u"UPDATE QM_VALMOR SET OUTPUT = N'%03d|%d' WHERE ID_TABLE = %d AND INPUT = N'%s'"};
inline constexpr qmt::StatementShape kInsertDayCounter{
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( %d, N'%s', N'%03d|%d')"};
inline constexpr const char16_t* kCounterTable = u"GenerationNumbers";

inline constexpr qmt::StatementShape kListTables{
    u"SELECT T.ID_TABLE, T.NOM, T.DESCRIPTION, (SELECT COUNT(*) FROM QM_DICO D WHERE D.ID_TABLE = T.ID_TABLE AND "
    u"D.INOUT=1) AS INPUT, (SELECT COUNT(*) FROM QM_DICO D WHERE D.ID_TABLE = T.ID_TABLE AND D.INOUT=0) AS OUTPUT, "
    u"T.USER_CODE_LASTACTION FROM QM_TABLES T ORDER BY T.NOM ASC"};
inline constexpr qmt::StatementShape kSelectDescription{u"SELECT DESCRIPTION FROM QM_TABLES WHERE NOM = N'%s'"};
inline constexpr qmt::StatementShape kListColumns{
    u"SELECT ID_COL, NAME_COL, INOUT FROM QM_DICO WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = "
    u"N'%s') ORDER BY ID_COL ASC"};

inline constexpr qmt::StatementShape kDeleteTableEntries{
    u"DELETE FROM QM_VALMOR WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')"};
inline constexpr qmt::StatementShape kDeleteTableColumns{
    u"DELETE FROM QM_DICO WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')"};
inline constexpr qmt::StatementShape kDeleteTable{u"DELETE FROM QM_TABLES WHERE NOM = N'%s'"};
inline constexpr qmt::StatementShape kInsertTable{
    u"INSERT INTO QM_TABLES(ID_TABLE, NB_COLS, NOM, DESCRIPTION, USER_CODE_LASTACTION) VALUES (%d, 0, N'%s', "
    u"N'%s', N'%s')"};
// The INOUT code is a validated 0 or 1, shown and bound as the number.
inline constexpr qmt::StatementShape kInsertColumn{
    u"INSERT INTO QM_DICO(ID_TABLE, ID_COL, NAME_COL, INOUT) VALUES (%d, %d, N'%s', %d)"};

inline constexpr qmt::StatementShape kRenameTableDescribed{
    u"UPDATE QM_TABLES SET NOM = N'%s', DESCRIPTION = N'%s', USER_CODE_LASTACTION = N'%s' WHERE NOM = N'%s'"};
inline constexpr qmt::StatementShape kRenameTable{
    u"UPDATE QM_TABLES SET NOM = N'%s', USER_CODE_LASTACTION = N'%s' WHERE NOM = N'%s'"};
inline constexpr qmt::StatementShape kSelectTableId{u"SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s'"};
inline constexpr qmt::StatementShape kScanColumns{
    u"SELECT ID_COL, INOUT, NAME_COL FROM QM_DICO WHERE ID_TABLE = %d ORDER BY ID_COL ASC"};
// The IN list is a piece of the text: only numbers the method parsed itself.
inline constexpr qmt::StatementShape kDeleteColumns{u"DELETE FROM QM_DICO WHERE ID_TABLE = %d AND ID_COL IN (%s)"};
inline constexpr qmt::StatementShape kScanValues{u"SELECT INPUT, OUTPUT FROM QM_VALMOR WHERE ID_TABLE = %d"};

inline constexpr qmt::StatementShape kListCorrespondences{
    u"SELECT INPUT, OUTPUT, USER_CODE_LASTACTION FROM QM_VALMOR WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES "
    u"WHERE NOM = N'%s')"};
inline constexpr qmt::StatementShape kDeleteCorrespondence{
    u"DELETE FROM QM_VALMOR WHERE INPUT = N'%s' AND ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')"};
inline constexpr qmt::StatementShape kInsertCorrespondence{
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT, USER_CODE_LASTACTION) SELECT ID_TABLE, N'%s', N'%s', N'%s' FROM "
    u"QM_TABLES WHERE NOM = N'%s'"};
inline constexpr qmt::StatementShape kUpdateCorrespondence{
    u"UPDATE QM_VALMOR SET INPUT = N'%s', OUTPUT = N'%s', USER_CODE_LASTACTION = N'%s' WHERE INPUT = N'%s' AND "
    u"ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')"};
inline constexpr qmt::StatementShape kCorrespondenceTableId{
    u"SELECT QM_VALMOR.ID_TABLE FROM QM_VALMOR WHERE INPUT = N'%s' AND ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES "
    u"WHERE NOM = N'%s')"};

inline constexpr qmt::StatementShape kTableLastUser{
    u"SELECT 1 FROM QM_TABLES WHERE NOM = N'%s' AND USER_CODE_LASTACTION = N'%s'"};
inline constexpr qmt::StatementShape kCorrespondenceLastUser{
    u"SELECT 1 FROM QM_VALMOR WHERE INPUT = N'%s' AND USER_CODE_LASTACTION = N'%s' AND ID_TABLE IN (SELECT ID_TABLE "
    u"FROM QM_TABLES WHERE NOM = N'%s')"};

// The statements of the methods that go beyond the lookups and listings
// above. Every caller text stands quoted (apostrophes doubled) in N'...'.
inline constexpr qmt::StatementShape kTranslateReverse{
    u"SELECT MIN(a.INPUT) FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM QM_TABLES b WHERE NOM = "
    u"N'%s')) AND (a.OUTPUT = N'%s')"};
inline constexpr qmt::StatementShape kListTablesWithRows{
    u"SELECT T.ID_TABLE, T.NOM, T.DESCRIPTION, (SELECT COUNT(*) FROM QM_DICO D WHERE D.ID_TABLE = T.ID_TABLE AND "
    u"D.INOUT=1) AS INPUT, (SELECT COUNT(*) FROM QM_DICO D WHERE D.ID_TABLE = T.ID_TABLE AND D.INOUT=0) AS OUTPUT, "
    u"T.USER_CODE_LASTACTION, (SELECT COUNT(*) FROM QM_VALMOR V WHERE V.ID_TABLE = T.ID_TABLE) AS ROWS_HELD FROM "
    u"QM_TABLES T ORDER BY T.NOM ASC"};
// A page of a table's rows. One table at most bears a name, so its rows
// are matched with =: the store then reads them in the order of its index
// on (ID_TABLE, INPUT) and stops at the end of the page. With IN, which may
// stand for several tables, it sorted every row of the table first.
inline constexpr qmt::StatementShape kCountCorrespondences{
    u"SELECT COUNT(*) FROM QM_VALMOR WHERE ID_TABLE = (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')"};
inline constexpr qmt::StatementShape kListCorrespondencesInOrder{
    u"SELECT INPUT, OUTPUT, USER_CODE_LASTACTION FROM QM_VALMOR WHERE ID_TABLE = (SELECT ID_TABLE FROM QM_TABLES "
    u"WHERE NOM = N'%s') ORDER BY INPUT"};
// The pattern is the searched text with ! % _ and [ escaped by !, between
// two %: LIKE then finds the text as written, wherever it stands.
inline constexpr qmt::StatementShape kListCorrespondencesLike{
    u"SELECT INPUT, OUTPUT, USER_CODE_LASTACTION FROM QM_VALMOR WHERE ID_TABLE = (SELECT ID_TABLE FROM QM_TABLES "
    u"WHERE NOM = N'%s') AND (INPUT LIKE N'%s' ESCAPE N'!' OR OUTPUT LIKE N'%s' ESCAPE N'!') ORDER BY INPUT"};

// The import of a CSV file. Rows of a table that held none go in by one
// insert each; into a table with rows, each INPUT of the file is noted in a
// temporary table (whose key refuses it a second time), then inserted or
// updated; replacing, the rows of no noted INPUT are deleted.
inline constexpr qmt::StatementShape kInsertImported{
    u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT, USER_CODE_LASTACTION) VALUES (%d, N'%s', N'%s', N'%s')"};
inline constexpr qmt::StatementShape kUpdateImported{
    u"UPDATE QM_VALMOR SET OUTPUT = N'%s', USER_CODE_LASTACTION = N'%s' WHERE ID_TABLE = %d AND INPUT = N'%s'"};
inline constexpr qmt::StatementShape kCountTableRows{u"SELECT COUNT(*) FROM QM_VALMOR WHERE ID_TABLE = %d"};
inline constexpr qmt::StatementShape kCreateImportSeen{
    u"CREATE TEMP TABLE VALMORIN_IMPORT_SEEN (INPUT TEXT PRIMARY KEY)"};
inline constexpr qmt::StatementShape kInsertImportSeen{u"INSERT INTO VALMORIN_IMPORT_SEEN(INPUT) VALUES (N'%s')"};
inline constexpr qmt::StatementShape kDeleteUnseen{
    u"DELETE FROM QM_VALMOR WHERE ID_TABLE = %d AND NOT EXISTS (SELECT 1 FROM VALMORIN_IMPORT_SEEN S WHERE S.INPUT = "
    u"QM_VALMOR.INPUT)"};
inline constexpr qmt::StatementShape kDropImportSeen{u"DROP TABLE VALMORIN_IMPORT_SEEN"};

// The export: the rows of one table in INPUT order.
inline constexpr qmt::StatementShape kExportRows{
    u"SELECT INPUT, OUTPUT FROM QM_VALMOR WHERE ID_TABLE = %d ORDER BY INPUT"};

// The history. A write's revision is opened by the one statement that
// names its user (an approved change set's also names its approver); a
// SQLite connection marks its changes as the component's with a trigger
// per table and kind of change, named from the component's own words.
inline constexpr qmt::StatementShape kOpenRevision{u"INSERT INTO QM_REVISIONS (USER_CODE) VALUES (N'%s')"};
inline constexpr qmt::StatementShape kSqliteKeepsHistory{
    u"SELECT COUNT(*) FROM sqlite_schema WHERE upper(name) = 'QM_HISTORY_START'"};
// Found through the search path, as the statements find the store's
// tables: the first schema of the path may be another (one named after
// the role, made since).
inline constexpr qmt::StatementShape kPostgresKeepsHistory{
    u"SELECT COUNT(*) FROM pg_catalog.pg_class WHERE oid = pg_catalog.to_regclass('qm_history_start')"};
inline constexpr qmt::StatementShape kSqlServerKeepsHistory{
    u"SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_NAME = 'QM_HISTORY_START' AND TABLE_SCHEMA = "
    u"SCHEMA_NAME()"};
inline constexpr qmt::StatementShape kOracleKeepsHistory{
    u"SELECT COUNT(*) FROM ALL_TABLES WHERE TABLE_NAME = 'QM_HISTORY_START' AND OWNER = SYS_CONTEXT('USERENV', "
    u"'CURRENT_SCHEMA')"};
inline constexpr qmt::StatementShape kMarkComponentChanges{
    u"CREATE TEMP TRIGGER IF NOT EXISTS VALMORIN_MARKS_%s BEFORE %s ON main.%s BEGIN UPDATE QM_WRITER SET ACTIVE = "
    u"1; END"};

// The read store's lag, in bytes of WAL as decimal text: the standby's
// replay (null from a server that is no standby), then the write store's
// position.
inline constexpr qmt::StatementShape kStandbyReplayed{
    u"SELECT CAST(CASE WHEN pg_is_in_recovery() THEN pg_wal_lsn_diff(pg_last_wal_replay_lsn(), '0/0') END AS TEXT)"};
inline constexpr qmt::StatementShape kPrimaryPosition{
    u"SELECT CAST(pg_wal_lsn_diff(pg_current_wal_lsn(), '0/0') AS TEXT)"};
// The cluster a server belongs to: a standby of another is no read store.
inline constexpr qmt::StatementShape kSystemIdentifier{
    u"SELECT CAST(system_identifier AS TEXT) FROM pg_control_system()"};

// Revisions travel as decimal text, cast by the store, so that no number
// of ours bounds them.
inline constexpr qmt::StatementShape kCurrentRevision{
    u"SELECT CAST(COALESCE(MAX(REVISION), 0) AS TEXT) FROM QM_REVISIONS"};
// The oldest point kept, its time, and the current revision.
inline constexpr qmt::StatementShape kHistoryBounds{
    u"SELECT CAST(h.REVISION AS TEXT), h.TIME, CAST(COALESCE((SELECT MAX(r.REVISION) FROM QM_REVISIONS r), 0) AS "
    u"TEXT) FROM QM_HISTORY_START h"};
inline constexpr qmt::StatementShape kRevisionAtTime{
    u"SELECT CAST(MAX(REVISION) AS TEXT) FROM QM_REVISIONS WHERE TIME <= N'%s'"};
// What translate answered as of a revision, read back from the present:
// the table that bore the name then (the first change of its name after
// that revision says what it was; a table with no change since bears the
// name now, as only the tables that bear it now are found without one),
// and in it the
// OUTPUT of the INPUT. The first change of the row after that revision
// holds what was there (E: '=' and the OUTPUT, '-' for no row), the row
// now answers when there is none. A table that bears the name now and bore
// it then is found twice: both answer alike. With the answer, the bounds it
// is checked against: the oldest point kept, its time, the current revision.
inline constexpr qmt::StatementShape kTranslateAsOf{
    u"SELECT COALESCE((SELECT COALESCE(substr(x.E, 2), (SELECT v.OUTPUT FROM QM_VALMOR v WHERE v.ID_TABLE = "
    u"x.ID AND v.INPUT = N'%s'), '') FROM (SELECT c.ID_TABLE AS ID, (SELECT CASE WHEN h.OLD_VALUE IS NULL THEN "
    u"'-' ELSE '=' || h.OLD_VALUE END FROM QM_HISTORY h WHERE h.ID_TABLE = c.ID_TABLE AND h.KIND = 'row' AND "
    u"h.INPUT = N'%s' AND h.REVISION > CAST(N'%s' AS BIGINT) ORDER BY h.REVISION, h.SEQ LIMIT 1) AS E FROM "
    u"(SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s' UNION ALL SELECT ID_TABLE FROM QM_HISTORY WHERE INPUT "
    u"IS NULL AND KIND = 'table' AND OLD_VALUE = N'%s' AND REVISION > CAST(N'%s' AS BIGINT)) c WHERE "
    u"COALESCE((SELECT CASE WHEN h.OLD_VALUE = N'%s' THEN 1 ELSE 0 END FROM QM_HISTORY h WHERE h.ID_TABLE = "
    u"c.ID_TABLE AND h.KIND = 'table' AND h.INPUT IS NULL AND h.REVISION > CAST(N'%s' AS BIGINT) ORDER BY "
    u"h.REVISION, h.SEQ LIMIT 1), 1) = 1) x LIMIT 1), ''), CAST(s.REVISION AS TEXT), s.TIME, "
    u"CAST(COALESCE((SELECT MAX(r.REVISION) FROM "
    u"QM_REVISIONS r), 0) AS TEXT) FROM QM_HISTORY_START s"};
// The changes of the tables that bear or bore a name, newest first, with
// their revision's time, user and approver (none for a change of approval
// kept by a prune that dropped its revision); of one row of theirs with an
// INPUT. A table number freed by a deletion is taken by the next table
// created, so a number's changes are told apart by life, from one creation
// to the next: the lives in which it bore the name, or bears it now.
inline constexpr char16_t kTableLives[] =
    u"(SELECT DISTINCT x.ID, x.LIFE_FROM, COALESCE((SELECT MIN(c.SEQ) FROM QM_HISTORY c WHERE c.ID_TABLE = x.ID "
    u"AND c.KIND = 'table' AND c.INPUT IS NULL AND c.OLD_VALUE IS NULL AND c.SEQ > x.LIFE_FROM), "
    u"9223372036854775807) AS LIFE_TO FROM (SELECT e.ID_TABLE AS ID, COALESCE((SELECT MAX(c.SEQ) FROM "
    u"QM_HISTORY c WHERE c.ID_TABLE = e.ID_TABLE AND c.KIND = 'table' AND c.INPUT IS NULL AND c.OLD_VALUE IS "
    u"NULL AND c.SEQ <= e.SEQ), 0) AS LIFE_FROM FROM QM_HISTORY e WHERE e.KIND = 'table' AND e.INPUT IS NULL "
    u"AND (e.OLD_VALUE = N'%s' OR e.NEW_VALUE = N'%s') UNION SELECT t.ID_TABLE, COALESCE((SELECT MAX(c.SEQ) "
    u"FROM QM_HISTORY c WHERE c.ID_TABLE = t.ID_TABLE AND c.KIND = 'table' AND c.INPUT IS NULL AND c.OLD_VALUE "
    u"IS NULL), 0) FROM QM_TABLES t WHERE t.NOM = N'%s') x) l ON h.ID_TABLE = l.ID AND h.SEQ >= l.LIFE_FROM AND "
    u"h.SEQ < l.LIFE_TO";
inline constexpr qmt::StatementShape kCountTableHistory{
    qmt::JoinText(u"SELECT COUNT(*) FROM QM_HISTORY h JOIN ", kTableLives).text};
inline constexpr qmt::StatementShape kTableHistory{
    qmt::JoinText(
        u"SELECT CAST(h.REVISION AS TEXT), r.TIME, r.USER_CODE, h.KIND, h.NOM, h.INPUT, h.OLD_VALUE, h.NEW_VALUE, "
        u"r.APPROVER FROM QM_HISTORY h LEFT JOIN QM_REVISIONS r ON r.REVISION = h.REVISION JOIN ",
        kTableLives, u" ORDER BY h.REVISION DESC, h.SEQ DESC")
        .text};
inline constexpr qmt::StatementShape kCountRowHistory{
    qmt::JoinText(u"SELECT COUNT(*) FROM QM_HISTORY h JOIN ", kTableLives, u" WHERE h.KIND = 'row' AND h.INPUT = N'%s'")
        .text};
inline constexpr qmt::StatementShape kRowHistory{
    qmt::JoinText(
        u"SELECT CAST(h.REVISION AS TEXT), r.TIME, r.USER_CODE, h.KIND, h.NOM, h.INPUT, h.OLD_VALUE, h.NEW_VALUE, "
        u"r.APPROVER FROM QM_HISTORY h LEFT JOIN QM_REVISIONS r ON r.REVISION = h.REVISION JOIN ",
        kTableLives, u" WHERE h.KIND = 'row' AND h.INPUT = N'%s' ORDER BY h.REVISION DESC, h.SEQ DESC")
        .text};

// Change sets. An approval's revision names the proposer as its user, and
// its approver and change set; its number is read back under the writers'
// lock, which makes the last revision the transaction's own.
inline constexpr qmt::StatementShape kOpenApprovedRevision{
    u"INSERT INTO QM_REVISIONS (USER_CODE, APPROVER, CHANGESET) VALUES (N'%s', N'%s', %d)"};
inline constexpr qmt::StatementShape kOwnRevision{u"SELECT CAST(MAX(REVISION) AS TEXT) FROM QM_REVISIONS"};
inline constexpr qmt::StatementShape kTableNameOf{u"SELECT NOM FROM QM_TABLES WHERE ID_TABLE = %d"};
// Whether the table of that number was made after that time.
inline constexpr qmt::StatementShape kTableMadeSince{
    u"SELECT COUNT(*) FROM QM_HISTORY h JOIN QM_REVISIONS r ON r.REVISION = h.REVISION WHERE h.ID_TABLE = %d AND "
    u"h.KIND = 'table' AND h.INPUT IS NULL AND h.OLD_VALUE IS NULL AND r.TIME > N'%s'"};
inline constexpr qmt::StatementShape kTableDescriptionOf{u"SELECT DESCRIPTION FROM QM_TABLES WHERE ID_TABLE = %d"};
inline constexpr qmt::StatementShape kTableNeedsApproval{u"SELECT COUNT(*) FROM QM_APPROVAL WHERE ID_TABLE = %d"};
inline constexpr qmt::StatementShape kRequireApproval{
    u"INSERT INTO QM_APPROVAL (ID_TABLE) SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s' AND ID_TABLE NOT IN "
    u"(SELECT ID_TABLE FROM QM_APPROVAL)"};
inline constexpr qmt::StatementShape kDropApproval{
    u"DELETE FROM QM_APPROVAL WHERE ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = N'%s')"};
// A change set is stamped with the time of the revision its transaction
// opened.
inline constexpr qmt::StatementShape kInsertChangeSet{
    u"INSERT INTO QM_CHANGESETS (ID_TABLE, NOM, STATE, PROPOSER, PROPOSED, CHANGES) SELECT %d, N'%s', 'pending', "
    u"N'%s', TIME, N'%s' FROM QM_REVISIONS WHERE REVISION = (SELECT MAX(REVISION) FROM QM_REVISIONS)"};
inline constexpr qmt::StatementShape kLastChangeSet{u"SELECT MAX(ID) FROM QM_CHANGESETS"};
inline constexpr qmt::StatementShape kChangeSet{
    u"SELECT ID, NOM, STATE, PROPOSER, PROPOSED, CHANGES, DECIDER, DECIDED, CAST(REVISION AS TEXT), REASON, "
    u"ID_TABLE FROM QM_CHANGESETS WHERE ID = %d"};
inline constexpr qmt::StatementShape kChangeSets{
    u"SELECT ID, NOM, STATE, PROPOSER, PROPOSED, CHANGES, DECIDER, DECIDED, CAST(REVISION AS TEXT), REASON, "
    u"ID_TABLE FROM QM_CHANGESETS ORDER BY ID DESC"};
inline constexpr qmt::StatementShape kChangeSetsIn{
    u"SELECT ID, NOM, STATE, PROPOSER, PROPOSED, CHANGES, DECIDER, DECIDED, CAST(REVISION AS TEXT), REASON, "
    u"ID_TABLE FROM QM_CHANGESETS WHERE STATE = N'%s' ORDER BY ID DESC"};
// A decision is taken once: only a change set still pending is decided.
// A change set applied at once is named by the revision that applies it,
// as an approved one is: its table's deletion then leaves it be.
inline constexpr qmt::StatementShape kNameAppliedChangeSet{
    u"UPDATE QM_REVISIONS SET CHANGESET = %d WHERE REVISION = (SELECT MAX(REVISION) FROM QM_REVISIONS)"};
inline constexpr qmt::StatementShape kMarkApplied{
    u"UPDATE QM_CHANGESETS SET STATE = 'applied', DECIDER = N'%s', DECIDED = (SELECT TIME FROM QM_REVISIONS WHERE "
    u"REVISION = (SELECT MAX(REVISION) FROM QM_REVISIONS)), REVISION = (SELECT MAX(REVISION) FROM QM_REVISIONS) "
    u"WHERE ID = %d AND STATE = 'pending'"};
inline constexpr qmt::StatementShape kMarkRejected{
    u"UPDATE QM_CHANGESETS SET STATE = 'rejected', DECIDER = N'%s', DECIDED = (SELECT TIME FROM QM_REVISIONS WHERE "
    u"REVISION = (SELECT MAX(REVISION) FROM QM_REVISIONS)), REASON = N'%s' WHERE ID = %d AND STATE = 'pending'"};
// A revert: the changes of one revision in their order, and the keys of
// theirs that a later revision changed again, with the first such
// revision (any later change of the table's columns counts).
inline constexpr qmt::StatementShape kRevisionChanges{
    u"SELECT KIND, ID_TABLE, INPUT, OLD_VALUE, NEW_VALUE FROM QM_HISTORY WHERE REVISION = CAST(N'%s' AS BIGINT) "
    u"ORDER BY SEQ"};
inline constexpr qmt::StatementShape kLaterChangesOfKeys{
    u"SELECT h.KIND, h.INPUT, CAST(MIN(h.REVISION) AS TEXT) FROM QM_HISTORY h WHERE h.ID_TABLE = %d AND "
    u"h.REVISION > CAST(N'%s' AS BIGINT) AND (h.KIND = 'column' OR EXISTS (SELECT 1 FROM QM_HISTORY o WHERE "
    u"o.REVISION = CAST(N'%s' AS BIGINT) AND o.ID_TABLE = h.ID_TABLE AND o.KIND = h.KIND AND COALESCE(o.INPUT, '') "
    u"= COALESCE(h.INPUT, ''))) GROUP BY h.KIND, h.INPUT ORDER BY h.KIND, h.INPUT"};

} // namespace statements

// The statement of one of the shapes above with its values.
template <const auto& Shape, typename... Values>
qmt::AdoStatement Sql(const Values&... values)
{
    return qmt::AdoStatement::Of<Shape>(values...);
}
