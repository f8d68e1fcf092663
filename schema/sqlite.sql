-- The translation store on SQLite.
--
-- Each statement ends with a ';' at the end of a line; a ';' inside a
-- statement (a trigger's body) is followed by more on its line.
--
-- QM_TABLES: one row per translation table. ID_TABLE is unique (two
-- writers that draw the same new identifier: the second insert fails), and
-- so is NOM, so that a look-up by name has exactly one table to answer.
CREATE TABLE QM_TABLES (
    ID_TABLE INTEGER NOT NULL PRIMARY KEY,
    NB_COLS INTEGER,
    NOM TEXT,
    DESCRIPTION TEXT,
    USER_CODE_LASTACTION TEXT
);

-- QM_DICO: the columns of each translation table.
CREATE TABLE QM_DICO (
    ID_TABLE INTEGER NOT NULL,
    ID_COL INTEGER NOT NULL,
    NAME_COL TEXT,
    INOUT INTEGER
);
CREATE INDEX QM_DICO_BY_TABLE_COL ON QM_DICO (ID_TABLE, ID_COL);

-- QM_VALMOR: the correspondences, one INPUT per table.
CREATE TABLE QM_VALMOR (
    ID_TABLE INTEGER NOT NULL,
    INPUT TEXT,
    OUTPUT TEXT,
    USER_CODE_LASTACTION TEXT
);

-- The rules the operations rely on. `valmorin init` adds them to a store
-- made before they existed, once no rows break them.
CREATE UNIQUE INDEX IF NOT EXISTS QM_TABLES_UNIQUE_NOM ON QM_TABLES (NOM);
CREATE UNIQUE INDEX IF NOT EXISTS QM_VALMOR_UNIQUE_TABLE_INPUT ON QM_VALMOR (ID_TABLE, INPUT);

-- Every column and every correspondence belongs to a table of the
-- catalogue, and a table leaves the catalogue only once its columns and
-- correspondences are gone: no row is orphaned by a delete, and a table
-- made later never starts with rows it was not given. These are triggers
-- rather than foreign keys, which SQLite enforces only on connections that
-- ask it to (the sqlite3 shell and the ODBC driver do not).
CREATE TRIGGER IF NOT EXISTS QM_DICO_NEEDS_TABLE BEFORE INSERT ON QM_DICO
    WHEN NOT EXISTS (SELECT 1 FROM QM_TABLES WHERE ID_TABLE = NEW.ID_TABLE)
    BEGIN SELECT RAISE(ABORT, 'QM_DICO: no table of QM_TABLES has this ID_TABLE'); END;
CREATE TRIGGER IF NOT EXISTS QM_DICO_NEEDS_TABLE_ON_UPDATE BEFORE UPDATE OF ID_TABLE ON QM_DICO
    WHEN NOT EXISTS (SELECT 1 FROM QM_TABLES WHERE ID_TABLE = NEW.ID_TABLE)
    BEGIN SELECT RAISE(ABORT, 'QM_DICO: no table of QM_TABLES has this ID_TABLE'); END;
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_NEEDS_TABLE BEFORE INSERT ON QM_VALMOR
    WHEN NOT EXISTS (SELECT 1 FROM QM_TABLES WHERE ID_TABLE = NEW.ID_TABLE)
    BEGIN SELECT RAISE(ABORT, 'QM_VALMOR: no table of QM_TABLES has this ID_TABLE'); END;
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_NEEDS_TABLE_ON_UPDATE BEFORE UPDATE OF ID_TABLE ON QM_VALMOR
    WHEN NOT EXISTS (SELECT 1 FROM QM_TABLES WHERE ID_TABLE = NEW.ID_TABLE)
    BEGIN SELECT RAISE(ABORT, 'QM_VALMOR: no table of QM_TABLES has this ID_TABLE'); END;
CREATE TRIGGER IF NOT EXISTS QM_TABLES_KEEPS_ITS_ROWS BEFORE DELETE ON QM_TABLES
    WHEN EXISTS (SELECT 1 FROM QM_DICO WHERE ID_TABLE = OLD.ID_TABLE)
      OR EXISTS (SELECT 1 FROM QM_VALMOR WHERE ID_TABLE = OLD.ID_TABLE)
    BEGIN SELECT RAISE(ABORT, 'QM_TABLES: the table still has columns or correspondences'); END;
CREATE TRIGGER IF NOT EXISTS QM_TABLES_KEEPS_ITS_ROWS_ON_UPDATE BEFORE UPDATE ON QM_TABLES
    WHEN NEW.ID_TABLE IS NOT OLD.ID_TABLE
     AND (EXISTS (SELECT 1 FROM QM_DICO WHERE ID_TABLE = OLD.ID_TABLE)
          OR EXISTS (SELECT 1 FROM QM_VALMOR WHERE ID_TABLE = OLD.ID_TABLE))
    BEGIN SELECT RAISE(ABORT, 'QM_TABLES: the table still has columns or correspondences'); END;

-- The history: every change of a translation table, its columns or its
-- correspondences is recorded by the triggers below, in the transaction
-- that makes it, so that nothing writing to the store bypasses it.
--
-- QM_REVISIONS: one row per revision, numbered in commit order (writers
-- hold the store's write lock from their first write to their commit).
-- TIME is UTC, ISO 8601 to the millisecond, set when the revision is
-- drawn and moved up to the revision before's in the rare case that the
-- clock went back. USER_CODE is the acting user of a call of the
-- component ('' for its methods that name none) and NULL for a write of
-- another program, which gets a revision for each row it changes.
-- APPROVER and CHANGESET are those of an approved change set.
CREATE TABLE IF NOT EXISTS QM_REVISIONS (
    REVISION INTEGER NOT NULL PRIMARY KEY,
    TIME TEXT DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')),
    USER_CODE TEXT,
    APPROVER TEXT,
    CHANGESET INTEGER
);

-- QM_HISTORY: what each revision changed, in the order it changed it.
-- KIND 'row': the OUTPUT of the correspondence INPUT of table ID_TABLE
-- before and after (NULL: there was none, or there is none any more; a
-- NULL OUTPUT, which translate answers as the empty text, is kept as it);
-- 'table': the table's name; 'description': its description; 'column':
-- the column whose ID_COL is INPUT, as INOUT:NAME_COL; 'approval': '1'
-- while the table's change sets need approval. NOM is the table's name
-- when the change was made. Answers as of an earlier revision are read
-- backwards from the present: the first change after it holds, in
-- OLD_VALUE, what was there then.
CREATE TABLE IF NOT EXISTS QM_HISTORY (
    SEQ INTEGER NOT NULL PRIMARY KEY,
    REVISION INTEGER NOT NULL,
    KIND TEXT NOT NULL,
    ID_TABLE INTEGER,
    NOM TEXT,
    INPUT TEXT,
    OLD_VALUE TEXT,
    NEW_VALUE TEXT
);
-- An answer as of a point reads, for the row and for the table's name, the
-- first change after it: both indexes hold what that read needs (SEQ
-- orders a revision's changes, OLD_VALUE is the answer), so that it ends in
-- the index rather than in the table. The table's own changes, INPUT NULL,
-- are also kept apart, a few among all the rows' changes; INPUT, always
-- NULL there, is in that index too, since the read names it.
CREATE INDEX IF NOT EXISTS QM_HISTORY_BY_KEY ON QM_HISTORY (ID_TABLE, KIND, INPUT, REVISION, SEQ, OLD_VALUE);
CREATE INDEX IF NOT EXISTS QM_HISTORY_TABLE_CHANGES ON QM_HISTORY (ID_TABLE, KIND, INPUT, REVISION, SEQ, OLD_VALUE)
    WHERE INPUT IS NULL;
CREATE INDEX IF NOT EXISTS QM_HISTORY_NAMES ON QM_HISTORY (OLD_VALUE, NEW_VALUE) WHERE INPUT IS NULL;

-- The oldest point the history still answers for: revision 0, when the
-- history began, until a prune moves it.
CREATE TABLE IF NOT EXISTS QM_HISTORY_START AS SELECT 0 AS REVISION, strftime('%Y-%m-%dT%H:%M:%fZ', 'now') AS TIME;

-- ACTIVE is 1 from just before a row of the component's changes to just
-- after it is recorded: the component's connections set it with
-- triggers of their own (TEMP, so that no other program's writes see
-- them), the triggers below clear it. A change recorded while it is 0 is
-- another program's. It is never 1 outside a statement that changes a
-- row, so a commit never keeps it.
CREATE TABLE IF NOT EXISTS QM_WRITER AS SELECT 0 AS ACTIVE;

-- The row an INSERT OR REPLACE (or an UPDATE OR REPLACE of a key) of
-- another program is about to replace: SQLite deletes it without firing
-- the triggers of a deletion, so the change records it as the value it
-- replaced. Set before each
-- insertion (emptied first: an insertion that ends up ignored, or turned
-- into an update, leaves nothing for the next one). Emptied row by row
-- (WHERE true): emptied whole, SQLite rewrites its page even when it holds
-- nothing, one page more for every commit to write.
CREATE TABLE IF NOT EXISTS QM_REPLACED (
    ID_TABLE INTEGER,
    INPUT TEXT,
    OUTPUT TEXT
);
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_HISTORY_REPLACING BEFORE INSERT ON QM_VALMOR
    BEGIN DELETE FROM QM_REPLACED WHERE true
    ; INSERT INTO QM_REPLACED (ID_TABLE, INPUT, OUTPUT) SELECT ID_TABLE, INPUT, OUTPUT FROM QM_VALMOR WHERE ID_TABLE = NEW.ID_TABLE AND INPUT = NEW.INPUT; END;
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_HISTORY_REPLACING_ON_UPDATE BEFORE UPDATE OF ID_TABLE, INPUT ON QM_VALMOR
    BEGIN DELETE FROM QM_REPLACED WHERE true
    ; INSERT INTO QM_REPLACED (ID_TABLE, INPUT, OUTPUT) SELECT ID_TABLE, INPUT, OUTPUT FROM QM_VALMOR WHERE ID_TABLE = NEW.ID_TABLE AND INPUT = NEW.INPUT AND rowid <> OLD.rowid; END;
-- A row replaced through its rowid (an INSERT OR REPLACE naming one, an
-- UPDATE OR REPLACE moving a row onto one) is deleted the same silent way,
-- and no key says which it was: refused when it is another row than the
-- key names. A column has no key of its own, so any is. NEW.rowid is -1 in
-- an insertion that leaves the rowid to SQLite.
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_ROWID_NOT_REPLACED BEFORE INSERT ON QM_VALMOR
    WHEN EXISTS (SELECT 1 FROM QM_VALMOR WHERE rowid = NEW.rowid AND (ID_TABLE IS NOT NEW.ID_TABLE OR INPUT IS NOT NEW.INPUT))
    BEGIN SELECT RAISE(ABORT, 'QM_VALMOR: another correspondence has this rowid; delete it first'); END;
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_ROWID_NOT_REPLACED_ON_UPDATE BEFORE UPDATE ON QM_VALMOR
    WHEN NEW.rowid <> OLD.rowid AND EXISTS (SELECT 1 FROM QM_VALMOR WHERE rowid = NEW.rowid)
    BEGIN SELECT RAISE(ABORT, 'QM_VALMOR: another correspondence has this rowid; delete it first'); END;
CREATE TRIGGER IF NOT EXISTS QM_DICO_ROWID_NOT_REPLACED BEFORE INSERT ON QM_DICO
    WHEN EXISTS (SELECT 1 FROM QM_DICO WHERE rowid = NEW.rowid)
    BEGIN SELECT RAISE(ABORT, 'QM_DICO: another column has this rowid; delete it first'); END;
CREATE TRIGGER IF NOT EXISTS QM_DICO_ROWID_NOT_REPLACED_ON_UPDATE BEFORE UPDATE ON QM_DICO
    WHEN NEW.rowid <> OLD.rowid AND EXISTS (SELECT 1 FROM QM_DICO WHERE rowid = NEW.rowid)
    BEGIN SELECT RAISE(ABORT, 'QM_DICO: another column has this rowid; delete it first'); END;
-- A table replaced would leave its columns and correspondences to another
-- table without a deletion recorded: refused, as a plain insertion or
-- update onto the same table would be. Its rowid is matched too (a store
-- made by another program may keep ID_TABLE apart from it), and updates
-- of any column are looked at: one that sets rowid, _rowid_ or oid names
-- none of the columns an UPDATE OF trigger lists, yet moves ID_TABLE.
CREATE TRIGGER IF NOT EXISTS QM_TABLES_NOT_REPLACED BEFORE INSERT ON QM_TABLES
    WHEN EXISTS (SELECT 1 FROM QM_TABLES WHERE ID_TABLE = NEW.ID_TABLE OR NOM = NEW.NOM OR rowid = NEW.rowid)
    BEGIN SELECT RAISE(ABORT, 'QM_TABLES: a table with this ID_TABLE or NOM exists; change it with UPDATE'); END;
CREATE TRIGGER IF NOT EXISTS QM_TABLES_NOT_REPLACED_ON_UPDATE BEFORE UPDATE ON QM_TABLES
    WHEN (NEW.ID_TABLE IS NOT OLD.ID_TABLE OR NEW.NOM IS NOT OLD.NOM OR NEW.rowid <> OLD.rowid)
     AND EXISTS (SELECT 1 FROM QM_TABLES WHERE (ID_TABLE = NEW.ID_TABLE OR NOM = NEW.NOM OR rowid = NEW.rowid) AND rowid <> OLD.rowid)
    BEGIN SELECT RAISE(ABORT, 'QM_TABLES: another table has this ID_TABLE or NOM'); END;

-- The tables whose change sets need another user's approval; a table
-- deleted leaves it (the trigger that records the deletion removes it).
CREATE TABLE IF NOT EXISTS QM_APPROVAL (
    ID_TABLE INTEGER NOT NULL PRIMARY KEY
);

CREATE TRIGGER IF NOT EXISTS QM_REVISIONS_TIME AFTER INSERT ON QM_REVISIONS
    WHEN NEW.TIME IS NULL OR NEW.TIME < (SELECT p.TIME FROM QM_REVISIONS p WHERE p.REVISION < NEW.REVISION ORDER BY p.REVISION DESC LIMIT 1)
    BEGIN UPDATE QM_REVISIONS SET TIME = max(COALESCE(NEW.TIME, ''), (SELECT TIME FROM QM_HISTORY_START), COALESCE((SELECT p.TIME FROM QM_REVISIONS p WHERE p.REVISION < NEW.REVISION ORDER BY p.REVISION DESC LIMIT 1), '')) WHERE REVISION = NEW.REVISION; END;

-- Each trigger: a revision of its own for another program's change (the
-- counters of the running numbers are not recorded), the change, and the
-- component's mark cleared.
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_HISTORY_INSERT AFTER INSERT ON QM_VALMOR
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER w, QM_TABLES t WHERE w.ACTIVE = 0 AND t.ID_TABLE = NEW.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers'
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'row', NEW.ID_TABLE, t.NOM, NEW.INPUT, (SELECT COALESCE(r.OUTPUT, '') FROM QM_REPLACED r WHERE r.ID_TABLE = NEW.ID_TABLE AND r.INPUT = NEW.INPUT), COALESCE(NEW.OUTPUT, '') FROM QM_TABLES t WHERE t.ID_TABLE = NEW.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers'
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_HISTORY_DELETE AFTER DELETE ON QM_VALMOR
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER w, QM_TABLES t WHERE w.ACTIVE = 0 AND t.ID_TABLE = OLD.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers'
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'row', OLD.ID_TABLE, t.NOM, OLD.INPUT, COALESCE(OLD.OUTPUT, ''), NULL FROM QM_TABLES t WHERE t.ID_TABLE = OLD.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers'
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
-- A correspondence that changes its INPUT or its table is recorded as the
-- old one gone and the new one made; one that keeps both, as its OUTPUT
-- changed, when it did. Another program's change opens a revision when
-- either side is recorded: a row moved into the running numbers' table is
-- recorded as gone, under a revision of its own.
CREATE TRIGGER IF NOT EXISTS QM_VALMOR_HISTORY_UPDATE AFTER UPDATE ON QM_VALMOR
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER w WHERE w.ACTIVE = 0 AND (NEW.OUTPUT IS NOT OLD.OUTPUT OR NEW.INPUT IS NOT OLD.INPUT OR NEW.ID_TABLE IS NOT OLD.ID_TABLE) AND EXISTS (SELECT 1 FROM QM_TABLES t WHERE t.ID_TABLE IN (OLD.ID_TABLE, NEW.ID_TABLE) AND t.NOM IS NOT 'GenerationNumbers')
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'row', OLD.ID_TABLE, t.NOM, OLD.INPUT, COALESCE(OLD.OUTPUT, ''), NULL FROM QM_TABLES t WHERE t.ID_TABLE = OLD.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers' AND (NEW.INPUT IS NOT OLD.INPUT OR NEW.ID_TABLE IS NOT OLD.ID_TABLE)
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'row', NEW.ID_TABLE, t.NOM, NEW.INPUT, CASE WHEN NEW.INPUT IS OLD.INPUT AND NEW.ID_TABLE IS OLD.ID_TABLE THEN COALESCE(OLD.OUTPUT, '') ELSE (SELECT COALESCE(r.OUTPUT, '') FROM QM_REPLACED r WHERE r.ID_TABLE = NEW.ID_TABLE AND r.INPUT = NEW.INPUT) END, COALESCE(NEW.OUTPUT, '') FROM QM_TABLES t WHERE t.ID_TABLE = NEW.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers' AND (NEW.OUTPUT IS NOT OLD.OUTPUT OR NEW.INPUT IS NOT OLD.INPUT OR NEW.ID_TABLE IS NOT OLD.ID_TABLE)
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
CREATE TRIGGER IF NOT EXISTS QM_TABLES_HISTORY_INSERT AFTER INSERT ON QM_TABLES
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER WHERE ACTIVE = 0 AND NEW.NOM IS NOT 'GenerationNumbers'
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), k.KIND, NEW.ID_TABLE, NEW.NOM, NULL, NULL, k.VALUE FROM (SELECT 1 AS N, 'table' AS KIND, NEW.NOM AS VALUE UNION ALL SELECT 2, 'description', NEW.DESCRIPTION WHERE NEW.DESCRIPTION IS NOT NULL) k WHERE NEW.NOM IS NOT 'GenerationNumbers' ORDER BY k.N
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
CREATE TRIGGER IF NOT EXISTS QM_TABLES_HISTORY_DELETE AFTER DELETE ON QM_TABLES
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER WHERE ACTIVE = 0 AND OLD.NOM IS NOT 'GenerationNumbers'
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), k.KIND, OLD.ID_TABLE, OLD.NOM, NULL, k.VALUE, NULL FROM (SELECT 1 AS N, 'description' AS KIND, OLD.DESCRIPTION AS VALUE WHERE OLD.DESCRIPTION IS NOT NULL UNION ALL SELECT 2, 'table', OLD.NOM) k WHERE OLD.NOM IS NOT 'GenerationNumbers' ORDER BY k.N
    ; DELETE FROM QM_APPROVAL WHERE ID_TABLE = OLD.ID_TABLE
    ; UPDATE QM_CHANGESETS SET STATE = 'rejected', DECIDED = (SELECT TIME FROM QM_REVISIONS WHERE REVISION = (SELECT MAX(REVISION) FROM QM_REVISIONS)), REASON = 'the table was deleted' WHERE ID_TABLE = OLD.ID_TABLE AND STATE = 'pending' AND ID IS NOT (SELECT CHANGESET FROM QM_REVISIONS WHERE REVISION = (SELECT MAX(REVISION) FROM QM_REVISIONS))
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
-- The running numbers are not recorded, so a table that took their name, or
-- left it, would have a past the history cannot tell.
CREATE TRIGGER IF NOT EXISTS QM_TABLES_KEEP_COUNTERS BEFORE UPDATE OF NOM ON QM_TABLES
    WHEN (OLD.NOM IS 'GenerationNumbers') <> (NEW.NOM IS 'GenerationNumbers')
    BEGIN SELECT RAISE(ABORT, 'GenerationNumbers holds the running numbers, which the history does not record: no table is renamed to or from that name'); END;
CREATE TRIGGER IF NOT EXISTS QM_TABLES_HISTORY_UPDATE AFTER UPDATE ON QM_TABLES
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER WHERE ACTIVE = 0 AND (NEW.NOM IS NOT 'GenerationNumbers' OR OLD.NOM IS NOT 'GenerationNumbers') AND (NEW.NOM IS NOT OLD.NOM OR NEW.DESCRIPTION IS NOT OLD.DESCRIPTION OR NEW.ID_TABLE IS NOT OLD.ID_TABLE)
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), k.KIND, k.ID, k.NOM, NULL, k.OLD_VALUE, k.NEW_VALUE FROM (SELECT 1 AS N, 'table' AS KIND, OLD.ID_TABLE AS ID, NEW.NOM AS NOM, OLD.NOM AS OLD_VALUE, NEW.NOM AS NEW_VALUE WHERE NEW.NOM IS NOT OLD.NOM AND NEW.ID_TABLE IS OLD.ID_TABLE UNION ALL SELECT 2, 'description', OLD.ID_TABLE, NEW.NOM, OLD.DESCRIPTION, NEW.DESCRIPTION WHERE NEW.DESCRIPTION IS NOT OLD.DESCRIPTION AND NEW.ID_TABLE IS OLD.ID_TABLE UNION ALL SELECT 3, 'table', OLD.ID_TABLE, OLD.NOM, OLD.NOM, NULL WHERE NEW.ID_TABLE IS NOT OLD.ID_TABLE UNION ALL SELECT 4, 'table', NEW.ID_TABLE, NEW.NOM, NULL, NEW.NOM WHERE NEW.ID_TABLE IS NOT OLD.ID_TABLE) k WHERE NEW.NOM IS NOT 'GenerationNumbers' OR OLD.NOM IS NOT 'GenerationNumbers' ORDER BY k.N
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
CREATE TRIGGER IF NOT EXISTS QM_DICO_HISTORY_INSERT AFTER INSERT ON QM_DICO
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER w, QM_TABLES t WHERE w.ACTIVE = 0 AND t.ID_TABLE = NEW.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers'
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'column', NEW.ID_TABLE, t.NOM, CAST(NEW.ID_COL AS TEXT), NULL, COALESCE(NEW.INOUT, '') || ':' || COALESCE(NEW.NAME_COL, '') FROM QM_TABLES t WHERE t.ID_TABLE = NEW.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers'
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
CREATE TRIGGER IF NOT EXISTS QM_DICO_HISTORY_DELETE AFTER DELETE ON QM_DICO
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER w, QM_TABLES t WHERE w.ACTIVE = 0 AND t.ID_TABLE = OLD.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers'
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'column', OLD.ID_TABLE, t.NOM, CAST(OLD.ID_COL AS TEXT), COALESCE(OLD.INOUT, '') || ':' || COALESCE(OLD.NAME_COL, ''), NULL FROM QM_TABLES t WHERE t.ID_TABLE = OLD.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers'
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
CREATE TRIGGER IF NOT EXISTS QM_DICO_HISTORY_UPDATE AFTER UPDATE ON QM_DICO
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER w WHERE w.ACTIVE = 0 AND (NEW.ID_TABLE IS NOT OLD.ID_TABLE OR NEW.ID_COL IS NOT OLD.ID_COL OR NEW.NAME_COL IS NOT OLD.NAME_COL OR NEW.INOUT IS NOT OLD.INOUT) AND EXISTS (SELECT 1 FROM QM_TABLES t WHERE t.ID_TABLE IN (OLD.ID_TABLE, NEW.ID_TABLE) AND t.NOM IS NOT 'GenerationNumbers')
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'column', OLD.ID_TABLE, t.NOM, CAST(OLD.ID_COL AS TEXT), COALESCE(OLD.INOUT, '') || ':' || COALESCE(OLD.NAME_COL, ''), NULL FROM QM_TABLES t WHERE t.ID_TABLE = OLD.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers' AND (NEW.ID_TABLE IS NOT OLD.ID_TABLE OR NEW.ID_COL IS NOT OLD.ID_COL)
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'column', NEW.ID_TABLE, t.NOM, CAST(NEW.ID_COL AS TEXT), CASE WHEN NEW.ID_TABLE IS OLD.ID_TABLE AND NEW.ID_COL IS OLD.ID_COL THEN COALESCE(OLD.INOUT, '') || ':' || COALESCE(OLD.NAME_COL, '') END, COALESCE(NEW.INOUT, '') || ':' || COALESCE(NEW.NAME_COL, '') FROM QM_TABLES t WHERE t.ID_TABLE = NEW.ID_TABLE AND t.NOM IS NOT 'GenerationNumbers' AND (NEW.ID_TABLE IS NOT OLD.ID_TABLE OR NEW.ID_COL IS NOT OLD.ID_COL OR NEW.NAME_COL IS NOT OLD.NAME_COL OR NEW.INOUT IS NOT OLD.INOUT)
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
CREATE TRIGGER IF NOT EXISTS QM_APPROVAL_HISTORY_INSERT AFTER INSERT ON QM_APPROVAL
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER WHERE ACTIVE = 0
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'approval', NEW.ID_TABLE, (SELECT t.NOM FROM QM_TABLES t WHERE t.ID_TABLE = NEW.ID_TABLE), NULL, NULL, '1'
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;
CREATE TRIGGER IF NOT EXISTS QM_APPROVAL_HISTORY_DELETE AFTER DELETE ON QM_APPROVAL
    BEGIN INSERT INTO QM_REVISIONS (USER_CODE) SELECT NULL FROM QM_WRITER WHERE ACTIVE = 0
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT (SELECT MAX(REVISION) FROM QM_REVISIONS), 'approval', OLD.ID_TABLE, (SELECT t.NOM FROM QM_TABLES t WHERE t.ID_TABLE = OLD.ID_TABLE), NULL, '1', NULL
    ; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END;

-- Change sets: changes to one table proposed by a user and held apart
-- until another user approves them (or applied at once, for a table whose
-- changes need no approval). CHANGES is JSON: each change with the value
-- it replaces, read when it was proposed, so that an approval can tell
-- what changed since. STATE is 'pending', 'applied' or 'rejected'; a
-- decided one keeps its decider, time, revision (applied) or reason
-- (rejected). The history does not record these rows: the revision an
-- approval makes names its change set and approver.
CREATE TABLE IF NOT EXISTS QM_CHANGESETS (
    ID INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    ID_TABLE INTEGER NOT NULL,
    NOM TEXT NOT NULL,
    STATE TEXT NOT NULL,
    PROPOSER TEXT NOT NULL,
    PROPOSED TEXT NOT NULL,
    CHANGES TEXT NOT NULL,
    DECIDER TEXT,
    DECIDED TEXT,
    REVISION INTEGER,
    REASON TEXT
);
