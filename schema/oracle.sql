-- The translation store on Oracle: the same tables and rules as
-- schema/sqlite.sql, for an administrator to run (sqlplus @oracle.sql) or
-- for `valmorin init` over ODBC. Text is national (NVARCHAR2), as the
-- component's statements write their values (N'...'); 2000 characters is
-- the most a compared column holds without MAX_STRING_SIZE = EXTENDED.
-- A data source's schema (valmorin datasource set ... --schema <owner>)
-- names the owner the tables are created for.
--
-- QM_TABLES: one row per translation table. ID_TABLE is unique (two
-- writers that draw the same new identifier: the second insert fails), and
-- so is NOM, so that a look-up by name has exactly one table to answer.
CREATE TABLE QM_TABLES (
    ID_TABLE NUMBER(10) NOT NULL PRIMARY KEY,
    NB_COLS NUMBER(10),
    NOM NVARCHAR2(2000),
    DESCRIPTION NVARCHAR2(2000),
    USER_CODE_LASTACTION NVARCHAR2(2000)
);

-- QM_DICO: the columns of each translation table.
CREATE TABLE QM_DICO (
    ID_TABLE NUMBER(10) NOT NULL,
    ID_COL NUMBER(10) NOT NULL,
    NAME_COL NVARCHAR2(2000),
    INOUT NUMBER(10)
);
CREATE INDEX QM_DICO_BY_TABLE_COL ON QM_DICO (ID_TABLE, ID_COL);

-- QM_VALMOR: the correspondences, one INPUT per table.
CREATE TABLE QM_VALMOR (
    ID_TABLE NUMBER(10) NOT NULL,
    INPUT NVARCHAR2(2000),
    OUTPUT NVARCHAR2(2000),
    USER_CODE_LASTACTION NVARCHAR2(2000)
);

-- The rules the operations rely on. Oracle leaves rows whose whole key is
-- NULL out of an index; a table's rows with no INPUT count as one value.
CREATE UNIQUE INDEX QM_TABLES_UNIQUE_NOM ON QM_TABLES (NOM);
CREATE UNIQUE INDEX QM_VALMOR_UNIQUE_TABLE_INPUT ON QM_VALMOR (ID_TABLE, INPUT);

-- Every column and every correspondence belongs to a table of the
-- catalogue, and a table leaves the catalogue only once its columns and
-- correspondences are gone.
ALTER TABLE QM_DICO ADD CONSTRAINT QM_DICO_TABLE FOREIGN KEY (ID_TABLE) REFERENCES QM_TABLES (ID_TABLE);
ALTER TABLE QM_VALMOR ADD CONSTRAINT QM_VALMOR_TABLE FOREIGN KEY (ID_TABLE) REFERENCES QM_TABLES (ID_TABLE);
