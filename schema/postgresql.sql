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
-- with ';' ends a statement of this file.
CREATE OR REPLACE FUNCTION QM_NOTIFY_NAMES(names TEXT[]) RETURNS void LANGUAGE sql SET search_path = pg_catalog, pg_temp AS
    'SELECT pg_catalog.pg_notify(''valmorin_changes'', CASE WHEN pg_catalog.octet_length(n) < 7900 THEN ''T:'' || n ELSE ''*'' END) FROM (SELECT DISTINCT COALESCE(x, '''') AS n FROM pg_catalog.unnest(names) x) d';
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
