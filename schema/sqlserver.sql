-- The translation store on SQL Server: the same tables and rules as
-- schema/sqlite.sql, for an administrator to run (sqlcmd -i) or for
-- `valmorin init` over ODBC. Text is national (NVARCHAR), as the component's
-- statements write their values (N'...').
--
-- QM_TABLES: one row per translation table. ID_TABLE is unique (two
-- writers that draw the same new identifier: the second insert fails), and
-- so is NOM, so that a look-up by name has exactly one table to answer.
CREATE TABLE QM_TABLES (
    ID_TABLE INT NOT NULL PRIMARY KEY,
    NB_COLS INT,
    NOM NVARCHAR(450),
    DESCRIPTION NVARCHAR(MAX),
    USER_CODE_LASTACTION NVARCHAR(MAX)
);

-- QM_DICO: the columns of each translation table.
CREATE TABLE QM_DICO (
    ID_TABLE INT NOT NULL,
    ID_COL INT NOT NULL,
    NAME_COL NVARCHAR(MAX),
    INOUT INT
);
CREATE INDEX QM_DICO_BY_TABLE_COL ON QM_DICO (ID_TABLE, ID_COL);

-- QM_VALMOR: the correspondences, one INPUT per table. INPUT is a key
-- column: 4 + 2 x 448 bytes stay within an index key's 900.
CREATE TABLE QM_VALMOR (
    ID_TABLE INT NOT NULL,
    INPUT NVARCHAR(448),
    [OUTPUT] NVARCHAR(MAX),
    USER_CODE_LASTACTION NVARCHAR(MAX)
);

-- The rules the operations rely on. Rows without a value are left out, so
-- that any number of them may exist, as on the other stores.
CREATE UNIQUE INDEX QM_TABLES_UNIQUE_NOM ON QM_TABLES (NOM) WHERE NOM IS NOT NULL;
CREATE UNIQUE INDEX QM_VALMOR_UNIQUE_TABLE_INPUT ON QM_VALMOR (ID_TABLE, INPUT) WHERE INPUT IS NOT NULL;

-- Every column and every correspondence belongs to a table of the
-- catalogue, and a table leaves the catalogue only once its columns and
-- correspondences are gone.
ALTER TABLE QM_DICO ADD CONSTRAINT QM_DICO_TABLE FOREIGN KEY (ID_TABLE) REFERENCES QM_TABLES (ID_TABLE);
ALTER TABLE QM_VALMOR ADD CONSTRAINT QM_VALMOR_TABLE FOREIGN KEY (ID_TABLE) REFERENCES QM_TABLES (ID_TABLE);
