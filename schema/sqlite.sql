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
CREATE TRIGGER IF NOT EXISTS QM_TABLES_KEEPS_ITS_ROWS_ON_UPDATE BEFORE UPDATE OF ID_TABLE ON QM_TABLES
    WHEN NEW.ID_TABLE IS NOT OLD.ID_TABLE
     AND (EXISTS (SELECT 1 FROM QM_DICO WHERE ID_TABLE = OLD.ID_TABLE)
          OR EXISTS (SELECT 1 FROM QM_VALMOR WHERE ID_TABLE = OLD.ID_TABLE))
    BEGIN SELECT RAISE(ABORT, 'QM_TABLES: the table still has columns or correspondences'); END;
