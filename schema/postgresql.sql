-- The translation store on PostgreSQL: the same tables and rules as
-- schema/sqlite.sql. Names are unquoted, so the server keeps them in lower
-- case and the component's statements find them whatever their case.
--
-- Each statement ends with a ';' at the end of a line; a ';' inside a
-- statement is followed by more on its line.
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

-- The rules the operations rely on.
CREATE UNIQUE INDEX IF NOT EXISTS QM_TABLES_UNIQUE_NOM ON QM_TABLES (NOM);
CREATE UNIQUE INDEX IF NOT EXISTS QM_VALMOR_UNIQUE_TABLE_INPUT ON QM_VALMOR (ID_TABLE, INPUT);

-- Every column and every correspondence belongs to a table of the
-- catalogue, and a table leaves the catalogue only once its columns and
-- correspondences are gone: no row is orphaned by a delete, and a table
-- made later never starts with rows it was not given.
ALTER TABLE QM_DICO ADD CONSTRAINT QM_DICO_TABLE FOREIGN KEY (ID_TABLE) REFERENCES QM_TABLES (ID_TABLE);
ALTER TABLE QM_VALMOR ADD CONSTRAINT QM_VALMOR_TABLE FOREIGN KEY (ID_TABLE) REFERENCES QM_TABLES (ID_TABLE);

-- Every committed change is announced on the channel "valmorin_changes",
-- once per statement and table touched, so that the caches of the
-- component's processes drop what changed: the payload is "T:" and the
-- table's name, or "*" (every table) for a TRUNCATE and for a name too
-- long for a notification. The functions resolve nothing through the
-- writer's search path: theirs is pg_catalog then pg_temp, and the tables
-- are named in the schema of the table the trigger fired on, so that
-- neither a temporary table nor a function of the writer's own can stand
-- in for them. The functions' bodies are single lines: a line that ends
-- with ';' ends a statement of this file. The announcing function is
-- PL/pgSQL, whose statement is planned once per session: as SQL, it was
-- planned at every call, a third of what a write statement cost.
CREATE OR REPLACE FUNCTION QM_NOTIFY_NAMES(names TEXT[]) RETURNS void LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'BEGIN PERFORM pg_catalog.pg_notify(''valmorin_changes'', CASE WHEN pg_catalog.octet_length(n) < 7900 THEN ''T:'' || n ELSE ''*'' END) FROM (SELECT DISTINCT COALESCE(x, '''') AS n FROM pg_catalog.unnest(names) x) d; END';
CREATE OR REPLACE FUNCTION QM_NOTIFY_NEW() RETURNS trigger LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'BEGIN IF TG_TABLE_NAME = ''qm_tables'' THEN EXECUTE pg_catalog.format(''SELECT %I.QM_NOTIFY_NAMES(ARRAY(SELECT NOM FROM new_rows))'', TG_TABLE_SCHEMA); ELSE EXECUTE pg_catalog.format(''SELECT %I.QM_NOTIFY_NAMES(ARRAY(SELECT t.NOM FROM %I.QM_TABLES t WHERE t.ID_TABLE IN (SELECT ID_TABLE FROM new_rows)))'', TG_TABLE_SCHEMA, TG_TABLE_SCHEMA); END IF; RETURN NULL; END';
CREATE OR REPLACE FUNCTION QM_NOTIFY_OLD() RETURNS trigger LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'BEGIN IF TG_TABLE_NAME = ''qm_tables'' THEN EXECUTE pg_catalog.format(''SELECT %I.QM_NOTIFY_NAMES(ARRAY(SELECT NOM FROM old_rows))'', TG_TABLE_SCHEMA); ELSE EXECUTE pg_catalog.format(''SELECT %I.QM_NOTIFY_NAMES(ARRAY(SELECT t.NOM FROM %I.QM_TABLES t WHERE t.ID_TABLE IN (SELECT ID_TABLE FROM old_rows)))'', TG_TABLE_SCHEMA, TG_TABLE_SCHEMA); END IF; RETURN NULL; END';
CREATE OR REPLACE FUNCTION QM_NOTIFY_BOTH() RETURNS trigger LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'BEGIN IF TG_TABLE_NAME = ''qm_tables'' THEN EXECUTE pg_catalog.format(''SELECT %I.QM_NOTIFY_NAMES(ARRAY(SELECT NOM FROM old_rows UNION SELECT NOM FROM new_rows))'', TG_TABLE_SCHEMA); ELSE EXECUTE pg_catalog.format(''SELECT %I.QM_NOTIFY_NAMES(ARRAY(SELECT t.NOM FROM %I.QM_TABLES t WHERE t.ID_TABLE IN (SELECT ID_TABLE FROM old_rows UNION SELECT ID_TABLE FROM new_rows)))'', TG_TABLE_SCHEMA, TG_TABLE_SCHEMA); END IF; RETURN NULL; END';
CREATE OR REPLACE FUNCTION QM_NOTIFY_ALL() RETURNS trigger LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'BEGIN PERFORM pg_catalog.pg_notify(''valmorin_changes'', ''*''); RETURN NULL; END';
CREATE OR REPLACE TRIGGER QM_TABLES_NOTIFY_INSERT AFTER INSERT ON QM_TABLES REFERENCING NEW TABLE AS new_rows
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_NEW();
CREATE OR REPLACE TRIGGER QM_TABLES_NOTIFY_UPDATE AFTER UPDATE ON QM_TABLES REFERENCING OLD TABLE AS old_rows
    NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_BOTH();
CREATE OR REPLACE TRIGGER QM_TABLES_NOTIFY_DELETE AFTER DELETE ON QM_TABLES REFERENCING OLD TABLE AS old_rows
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_OLD();
CREATE OR REPLACE TRIGGER QM_TABLES_NOTIFY_TRUNCATE AFTER TRUNCATE ON QM_TABLES
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_ALL();
CREATE OR REPLACE TRIGGER QM_DICO_NOTIFY_INSERT AFTER INSERT ON QM_DICO REFERENCING NEW TABLE AS new_rows
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_NEW();
CREATE OR REPLACE TRIGGER QM_DICO_NOTIFY_UPDATE AFTER UPDATE ON QM_DICO REFERENCING OLD TABLE AS old_rows
    NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_BOTH();
CREATE OR REPLACE TRIGGER QM_DICO_NOTIFY_DELETE AFTER DELETE ON QM_DICO REFERENCING OLD TABLE AS old_rows
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_OLD();
CREATE OR REPLACE TRIGGER QM_DICO_NOTIFY_TRUNCATE AFTER TRUNCATE ON QM_DICO
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_ALL();
CREATE OR REPLACE TRIGGER QM_VALMOR_NOTIFY_INSERT AFTER INSERT ON QM_VALMOR REFERENCING NEW TABLE AS new_rows
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_NEW();
CREATE OR REPLACE TRIGGER QM_VALMOR_NOTIFY_UPDATE AFTER UPDATE ON QM_VALMOR REFERENCING OLD TABLE AS old_rows
    NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_BOTH();
CREATE OR REPLACE TRIGGER QM_VALMOR_NOTIFY_DELETE AFTER DELETE ON QM_VALMOR REFERENCING OLD TABLE AS old_rows
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_OLD();
CREATE OR REPLACE TRIGGER QM_VALMOR_NOTIFY_TRUNCATE AFTER TRUNCATE ON QM_VALMOR
    FOR EACH STATEMENT EXECUTE FUNCTION QM_NOTIFY_ALL();

-- The history: every change of a translation table, its columns or its
-- correspondences is recorded by the triggers below, in the transaction
-- that makes it, so that nothing writing to the store bypasses it.
--
-- QM_REVISIONS: one row per revision, numbered in commit order: a
-- revision is drawn under the writers' lock (the advisory lock every
-- transaction of the component takes first), which its transaction holds
-- to its end. TIME is UTC, ISO 8601 to the millisecond, never earlier
-- than the revision before. USER_CODE is the acting user of a call of
-- the component ('' for its methods that name none) and NULL for a write
-- of another program, which gets a revision for each row it changes.
-- APPROVER and CHANGESET are those of an approved change set.
CREATE TABLE IF NOT EXISTS QM_REVISIONS (
    REVISION BIGINT NOT NULL PRIMARY KEY,
    TIME TEXT,
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
    SEQ BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    REVISION BIGINT NOT NULL,
    KIND TEXT NOT NULL,
    ID_TABLE INTEGER,
    NOM TEXT,
    INPUT TEXT,
    OLD_VALUE TEXT,
    NEW_VALUE TEXT
);
CREATE INDEX IF NOT EXISTS QM_HISTORY_BY_KEY ON QM_HISTORY (ID_TABLE, KIND, INPUT, REVISION);
CREATE INDEX IF NOT EXISTS QM_HISTORY_NAMES ON QM_HISTORY (OLD_VALUE, NEW_VALUE) WHERE INPUT IS NULL;

-- The oldest point the history still answers for: revision 0, when the
-- history began, until a prune moves it.
CREATE TABLE IF NOT EXISTS QM_HISTORY_START AS SELECT 0::BIGINT AS REVISION, to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"') AS TIME;

-- The tables whose change sets need another user's approval; a table
-- deleted leaves it (the trigger that records the deletion removes it).
CREATE TABLE IF NOT EXISTS QM_APPROVAL (
    ID_TABLE INTEGER NOT NULL PRIMARY KEY
);

-- A revision's number and time, drawn under the writers' lock. A
-- revision that names its user is the component's: the changes of the
-- rest of its transaction are recorded under it. A transaction that reads
-- from a snapshot taken before the lock (REPEATABLE READ, SERIALIZABLE)
-- does not see the revisions committed since: it draws past the highest
-- number ever drawn, which a sequence keeps outside any transaction.
CREATE SEQUENCE IF NOT EXISTS QM_REVISIONS_NUMBERS;
CREATE OR REPLACE FUNCTION QM_REVISIONS_STAMP() RETURNS trigger LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'DECLARE last TEXT; visible BIGINT; numbers TEXT := format(''%I.QM_REVISIONS_NUMBERS'', TG_TABLE_SCHEMA); BEGIN PERFORM pg_advisory_xact_lock(8386676915082767457); EXECUTE format(''SELECT COALESCE(MAX(REVISION), 0) + 1, GREATEST((SELECT TIME FROM %I.QM_HISTORY_START LIMIT 1), (SELECT p.TIME FROM %I.QM_REVISIONS p ORDER BY p.REVISION DESC LIMIT 1)) FROM %I.QM_REVISIONS'', TG_TABLE_SCHEMA, TG_TABLE_SCHEMA, TG_TABLE_SCHEMA) INTO visible, last; IF current_setting(''transaction_isolation'') = ''read committed'' THEN NEW.REVISION := visible; ELSE EXECUTE format(''SELECT CASE WHEN is_called THEN last_value + 1 ELSE 1 END FROM %s'', numbers) INTO NEW.REVISION; NEW.REVISION := GREATEST(NEW.REVISION, visible); END IF; PERFORM setval(numbers::regclass, NEW.REVISION); NEW.TIME := GREATEST(to_char(clock_timestamp() AT TIME ZONE ''UTC'', ''YYYY-MM-DD"T"HH24:MI:SS.MS"Z"''), last); IF NEW.USER_CODE IS NOT NULL THEN PERFORM set_config(''valmorin.revision'', NEW.REVISION::text, true); END IF; RETURN NEW; END';
CREATE OR REPLACE TRIGGER QM_REVISIONS_NUMBERED BEFORE INSERT ON QM_REVISIONS FOR EACH ROW EXECUTE FUNCTION QM_REVISIONS_STAMP();

-- Records one change in the store of schema s under revision r: the
-- transaction's own when the component named one, else a new one (the
-- revision is returned, for the second change of the same row). The
-- counters of the running numbers are not recorded.
CREATE OR REPLACE FUNCTION QM_RECORD(s TEXT, r BIGINT, kind TEXT, id INTEGER, nom TEXT, input TEXT, old_value TEXT, new_value TEXT) RETURNS bigint LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'BEGIN IF nom IS NULL THEN EXECUTE format(''SELECT NOM FROM %I.QM_TABLES WHERE ID_TABLE = $1'', s) INTO nom USING id; END IF; IF nom = ''GenerationNumbers'' THEN RETURN r; END IF; IF r IS NULL THEN r := NULLIF(current_setting(''valmorin.revision'', true), '''')::bigint; END IF; IF r IS NULL THEN EXECUTE format(''INSERT INTO %I.QM_REVISIONS (USER_CODE) VALUES (NULL) RETURNING REVISION'', s) INTO r; END IF; EXECUTE format(''INSERT INTO %I.QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) VALUES ($1, $2, $3, $4, $5, $6, $7)'', s) USING r, kind, id, nom, input, old_value, new_value; RETURN r; END';

-- The changes of a row of QM_VALMOR, QM_DICO, QM_TABLES or QM_APPROVAL.
-- A row that changes its key (INPUT, ID_COL, ID_TABLE) is recorded as the
-- old one gone and the new one made. The rows are read as JSON: a plan
-- kept by a session for a field of OLD or NEW would fail once another
-- program changed the column's type, the row's type never changes.
CREATE OR REPLACE FUNCTION QM_RECORD_ROW() RETURNS trigger LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'DECLARE r BIGINT; q TEXT := format(''SELECT %I.QM_RECORD($1, $2, $3, $4, $5, $6, $7, $8)'', TG_TABLE_SCHEMA); s TEXT := TG_TABLE_SCHEMA; o JSONB := CASE WHEN TG_OP <> ''INSERT'' THEN to_jsonb(OLD) END; n JSONB := CASE WHEN TG_OP <> ''DELETE'' THEN to_jsonb(NEW) END; old_id INTEGER := (o->>''id_table'')::integer; new_id INTEGER := (n->>''id_table'')::integer; ok TEXT; nk TEXT; ov TEXT; nv TEXT; kind TEXT; BEGIN IF TG_TABLE_NAME = ''qm_valmor'' THEN kind := ''row''; ok := o->>''input''; nk := n->>''input''; ov := COALESCE(o->>''output'', ''''); nv := COALESCE(n->>''output'', ''''); ELSIF TG_TABLE_NAME = ''qm_dico'' THEN kind := ''column''; ok := o->>''id_col''; nk := n->>''id_col''; ov := COALESCE(o->>''inout'', '''') || '':'' || COALESCE(o->>''name_col'', ''''); nv := COALESCE(n->>''inout'', '''') || '':'' || COALESCE(n->>''name_col'', ''''); ELSE kind := ''approval''; ov := ''1''; nv := ''1''; END IF; IF TG_OP = ''INSERT'' THEN EXECUTE q INTO r USING s, r, kind, new_id, NULL::text, nk, NULL::text, nv; ELSIF TG_OP = ''DELETE'' THEN EXECUTE q INTO r USING s, r, kind, old_id, NULL::text, ok, ov, NULL::text; ELSIF new_id IS DISTINCT FROM old_id OR nk IS DISTINCT FROM ok THEN EXECUTE q INTO r USING s, r, kind, old_id, NULL::text, ok, ov, NULL::text; EXECUTE q INTO r USING s, r, kind, new_id, NULL::text, nk, NULL::text, nv; ELSIF nv IS DISTINCT FROM ov THEN EXECUTE q INTO r USING s, r, kind, new_id, NULL::text, nk, ov, nv; END IF; RETURN NULL; END';
-- A table deleted takes its approval and its pending change sets with it
-- (rejected), but for the one whose approval deletes it. No table takes or leaves the running numbers' name: the
-- history could not tell its past.
CREATE OR REPLACE FUNCTION QM_RECORD_TABLE() RETURNS trigger LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'DECLARE r BIGINT; q TEXT := format(''SELECT %I.QM_RECORD($1, $2, $3, $4, $5, NULL, $6, $7)'', TG_TABLE_SCHEMA); s TEXT := TG_TABLE_SCHEMA; o JSONB := CASE WHEN TG_OP <> ''INSERT'' THEN to_jsonb(OLD) END; n JSONB := CASE WHEN TG_OP <> ''DELETE'' THEN to_jsonb(NEW) END; old_id INTEGER := (o->>''id_table'')::integer; new_id INTEGER := (n->>''id_table'')::integer; BEGIN IF TG_OP = ''INSERT'' OR (TG_OP = ''UPDATE'' AND new_id IS DISTINCT FROM old_id) THEN IF TG_OP = ''UPDATE'' THEN EXECUTE q INTO r USING s, r, ''table'', old_id, o->>''nom'', o->>''nom'', NULL::text; END IF; EXECUTE q INTO r USING s, r, ''table'', new_id, n->>''nom'', NULL::text, n->>''nom''; IF n->>''description'' IS NOT NULL THEN EXECUTE q INTO r USING s, r, ''description'', new_id, n->>''nom'', NULL::text, n->>''description''; END IF; ELSIF TG_OP = ''DELETE'' THEN IF o->>''description'' IS NOT NULL THEN EXECUTE q INTO r USING s, r, ''description'', old_id, o->>''nom'', o->>''description'', NULL::text; END IF; EXECUTE q INTO r USING s, r, ''table'', old_id, o->>''nom'', o->>''nom'', NULL::text; EXECUTE format(''DELETE FROM %I.QM_APPROVAL WHERE ID_TABLE = $1'', s) USING old_id; EXECUTE format(''UPDATE %I.QM_CHANGESETS SET STATE = $2, DECIDED = (SELECT TIME FROM %I.QM_REVISIONS WHERE REVISION = $3), REASON = $4 WHERE ID_TABLE = $1 AND STATE = $5 AND ID IS DISTINCT FROM (SELECT CHANGESET FROM %I.QM_REVISIONS WHERE REVISION = $3)'', s, s, s) USING old_id, ''rejected'', r, ''the table was deleted'', ''pending''; ELSE IF COALESCE(o->>''nom'' = ''GenerationNumbers'', false) <> COALESCE(n->>''nom'' = ''GenerationNumbers'', false) THEN RAISE EXCEPTION ''GenerationNumbers holds the running numbers, which the history does not record: no table is renamed to or from that name''; END IF; IF n->>''nom'' IS DISTINCT FROM o->>''nom'' THEN EXECUTE q INTO r USING s, r, ''table'', new_id, n->>''nom'', o->>''nom'', n->>''nom''; END IF; IF n->>''description'' IS DISTINCT FROM o->>''description'' THEN EXECUTE q INTO r USING s, r, ''description'', new_id, n->>''nom'', o->>''description'', n->>''description''; END IF; END IF; RETURN NULL; END';
-- A TRUNCATE deletes no row one by one: the rows are deleted first, so
-- that their deletion is recorded, columns and correspondences before
-- their tables.
CREATE OR REPLACE FUNCTION QM_RECORD_TRUNCATE() RETURNS trigger LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS
    'BEGIN IF TG_TABLE_NAME = ''qm_tables'' THEN EXECUTE format(''DELETE FROM %I.QM_VALMOR'', TG_TABLE_SCHEMA); EXECUTE format(''DELETE FROM %I.QM_DICO'', TG_TABLE_SCHEMA); END IF; EXECUTE format(''DELETE FROM %I.%I'', TG_TABLE_SCHEMA, TG_TABLE_NAME); RETURN NULL; END';
CREATE OR REPLACE TRIGGER QM_VALMOR_HISTORY AFTER INSERT OR UPDATE OR DELETE ON QM_VALMOR FOR EACH ROW EXECUTE FUNCTION QM_RECORD_ROW();
CREATE OR REPLACE TRIGGER QM_DICO_HISTORY AFTER INSERT OR UPDATE OR DELETE ON QM_DICO FOR EACH ROW EXECUTE FUNCTION QM_RECORD_ROW();
CREATE OR REPLACE TRIGGER QM_APPROVAL_HISTORY AFTER INSERT OR UPDATE OR DELETE ON QM_APPROVAL FOR EACH ROW EXECUTE FUNCTION QM_RECORD_ROW();
CREATE OR REPLACE TRIGGER QM_TABLES_HISTORY AFTER INSERT OR UPDATE OR DELETE ON QM_TABLES FOR EACH ROW EXECUTE FUNCTION QM_RECORD_TABLE();
CREATE OR REPLACE TRIGGER QM_VALMOR_HISTORY_TRUNCATE BEFORE TRUNCATE ON QM_VALMOR FOR EACH STATEMENT EXECUTE FUNCTION QM_RECORD_TRUNCATE();
CREATE OR REPLACE TRIGGER QM_DICO_HISTORY_TRUNCATE BEFORE TRUNCATE ON QM_DICO FOR EACH STATEMENT EXECUTE FUNCTION QM_RECORD_TRUNCATE();
CREATE OR REPLACE TRIGGER QM_APPROVAL_HISTORY_TRUNCATE BEFORE TRUNCATE ON QM_APPROVAL FOR EACH STATEMENT EXECUTE FUNCTION QM_RECORD_TRUNCATE();
CREATE OR REPLACE TRIGGER QM_TABLES_HISTORY_TRUNCATE BEFORE TRUNCATE ON QM_TABLES FOR EACH STATEMENT EXECUTE FUNCTION QM_RECORD_TRUNCATE();

-- Change sets: changes to one table proposed by a user and held apart
-- until another user approves them (or applied at once, for a table whose
-- changes need no approval). CHANGES is JSON: each change with the value
-- it replaces, read when it was proposed, so that an approval can tell
-- what changed since. STATE is 'pending', 'applied' or 'rejected'; a
-- decided one keeps its decider, time, revision (applied) or reason
-- (rejected). The history does not record these rows: the revision an
-- approval makes names its change set and approver.
CREATE TABLE IF NOT EXISTS QM_CHANGESETS (
    ID INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    ID_TABLE INTEGER NOT NULL,
    NOM TEXT NOT NULL,
    STATE TEXT NOT NULL,
    PROPOSER TEXT NOT NULL,
    PROPOSED TEXT NOT NULL,
    CHANGES TEXT NOT NULL,
    DECIDER TEXT,
    DECIDED TEXT,
    REVISION BIGINT,
    REASON TEXT
);
