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
