-- The translation store on SQLite.
--
-- QM_TABLES: one row per translation table. ID_TABLE is unique (two
-- writers that draw the same new identifier: the second insert fails);
-- NOM is not, the store allows two tables of one name.
CREATE TABLE QM_TABLES (
    ID_TABLE INTEGER NOT NULL PRIMARY KEY,
    NB_COLS INTEGER,
    NOM TEXT,
    DESCRIPTION TEXT,
    USER_CODE_LASTACTION TEXT
);
CREATE INDEX QM_TABLES_BY_NOM ON QM_TABLES (NOM);

-- QM_DICO: the columns of each translation table.
CREATE TABLE QM_DICO (
    ID_TABLE INTEGER NOT NULL,
    ID_COL INTEGER NOT NULL,
    NAME_COL TEXT,
    INOUT INTEGER
);
CREATE INDEX QM_DICO_BY_TABLE_COL ON QM_DICO (ID_TABLE, ID_COL);

-- QM_VALMOR: the correspondences. INPUT is not unique within a table: the
-- store allows a value to be stored twice.
CREATE TABLE QM_VALMOR (
    ID_TABLE INTEGER NOT NULL,
    INPUT TEXT,
    OUTPUT TEXT,
    USER_CODE_LASTACTION TEXT
);
CREATE INDEX QM_VALMOR_BY_TABLE_INPUT ON QM_VALMOR (ID_TABLE, INPUT);
