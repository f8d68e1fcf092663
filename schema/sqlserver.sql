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

-- The history: every change of a translation table, its columns or its
-- correspondences, recorded by the triggers below in the transaction that
-- makes it, as schema/sqlite.sql describes. Needs SQL Server 2016 or later
-- (SESSION_CONTEXT, index keys past 900 bytes). Names and values are
-- compared as their bytes: a collation that ignores case or trailing
-- blanks would take a change for none.
--
-- QM_REVISIONS: one row per revision, numbered in commit order: whoever
-- draws one holds the application lock valmorin.revisions to its commit.
-- The component opens its transaction's revision by inserting a row with
-- its user and no number; the row is numbered here and the revision kept
-- in the session's context, with the transaction it belongs to, for the
-- triggers that record the transaction's changes. Another program's
-- statement draws a revision of its own, with no user.
CREATE TABLE QM_REVISIONS (
    REVISION BIGINT NOT NULL PRIMARY KEY,
    TIME NVARCHAR(30),
    USER_CODE NVARCHAR(MAX),
    APPROVER NVARCHAR(MAX),
    CHANGESET INT
);

-- QM_HISTORY: what each revision changed, in the order it changed it.
CREATE TABLE QM_HISTORY (
    SEQ BIGINT IDENTITY(1, 1) NOT NULL PRIMARY KEY,
    REVISION BIGINT NOT NULL,
    KIND NVARCHAR(12) NOT NULL,
    ID_TABLE INT,
    NOM NVARCHAR(450),
    INPUT NVARCHAR(448),
    OLD_VALUE NVARCHAR(MAX),
    NEW_VALUE NVARCHAR(MAX)
);
CREATE INDEX QM_HISTORY_BY_KEY ON QM_HISTORY (ID_TABLE, KIND, INPUT, REVISION);

-- The oldest point the history still answers for. Times are written in
-- one culture: FORMAT without one follows the session's language, whose
-- calendar and digits may not be the Gregorian ones the history compares.
CREATE TABLE QM_HISTORY_START (
    REVISION BIGINT NOT NULL,
    TIME NVARCHAR(30) NOT NULL
);
INSERT INTO QM_HISTORY_START (REVISION, TIME) VALUES (0, FORMAT(SYSUTCDATETIME(), 'yyyy-MM-dd''T''HH:mm:ss.fff''Z''', 'en-US'));

-- The tables whose change sets need another user's approval.
CREATE TABLE QM_APPROVAL (
    ID_TABLE INT NOT NULL PRIMARY KEY
);

-- Change sets, as schema/sqlite.sql describes them.
CREATE TABLE QM_CHANGESETS (
    ID INT IDENTITY(1, 1) NOT NULL PRIMARY KEY,
    ID_TABLE INT NOT NULL,
    NOM NVARCHAR(450) NOT NULL,
    STATE NVARCHAR(12) NOT NULL,
    PROPOSER NVARCHAR(MAX) NOT NULL,
    PROPOSED NVARCHAR(30) NOT NULL,
    CHANGES NVARCHAR(MAX) NOT NULL,
    DECIDER NVARCHAR(MAX),
    DECIDED NVARCHAR(30),
    REVISION BIGINT,
    REASON NVARCHAR(MAX)
);
GO

-- Numbers a revision under the lock, at a time never earlier than the one
-- before's. A row given a number is one of the recording triggers' own.
CREATE TRIGGER QM_REVISIONS_NUMBERED ON QM_REVISIONS INSTEAD OF INSERT AS
BEGIN
    SET NOCOUNT ON
    ; DECLARE @r BIGINT, @now NVARCHAR(30) = FORMAT(SYSUTCDATETIME(), 'yyyy-MM-dd''T''HH:mm:ss.fff''Z''', 'en-US'), @previous NVARCHAR(30)
    ; IF EXISTS (SELECT 1 FROM inserted WHERE REVISION IS NOT NULL) BEGIN INSERT INTO QM_REVISIONS (REVISION, TIME, USER_CODE, APPROVER, CHANGESET) SELECT REVISION, TIME, USER_CODE, APPROVER, CHANGESET FROM inserted RETURN END
    ; EXEC sp_getapplock @Resource = N'valmorin.revisions', @LockMode = N'Exclusive', @LockOwner = N'Transaction'
    ; SELECT @r = COALESCE(MAX(REVISION), 0) + 1, @previous = MAX(TIME) FROM QM_REVISIONS
    ; INSERT INTO QM_REVISIONS (REVISION, TIME, USER_CODE, APPROVER, CHANGESET) SELECT @r, CASE WHEN @previous > @now THEN @previous ELSE @now END, USER_CODE, APPROVER, CHANGESET FROM inserted
    ; EXEC sp_set_session_context N'valmorin.revision', @r
    ; DECLARE @transaction BIGINT = CURRENT_TRANSACTION_ID()
    ; EXEC sp_set_session_context N'valmorin.transaction', @transaction
END;
GO

-- The revision of the transaction's changes: the component's, when it
-- opened one in this transaction, else a new one with no user.
CREATE PROCEDURE QM_REVISION_FOR_CHANGE @r BIGINT OUTPUT AS
BEGIN
    SET NOCOUNT ON
    ; IF CAST(SESSION_CONTEXT(N'valmorin.transaction') AS BIGINT) = CURRENT_TRANSACTION_ID() BEGIN SET @r = CAST(SESSION_CONTEXT(N'valmorin.revision') AS BIGINT) RETURN END
    ; DECLARE @now NVARCHAR(30) = FORMAT(SYSUTCDATETIME(), 'yyyy-MM-dd''T''HH:mm:ss.fff''Z''', 'en-US'), @previous NVARCHAR(30)
    ; EXEC sp_getapplock @Resource = N'valmorin.revisions', @LockMode = N'Exclusive', @LockOwner = N'Transaction'
    ; SELECT @r = COALESCE(MAX(REVISION), 0) + 1, @previous = MAX(TIME) FROM QM_REVISIONS
    ; INSERT INTO QM_REVISIONS (REVISION, TIME, USER_CODE) VALUES (@r, CASE WHEN @previous > @now THEN @previous ELSE @now END, NULL)
END;
GO

-- The changes of one statement, recorded under one revision in the order
-- they are listed.
CREATE TYPE QM_CHANGE_LIST AS TABLE (N INT IDENTITY(1, 1) PRIMARY KEY, KIND NVARCHAR(12), ID_TABLE INT, NOM NVARCHAR(450), INPUT NVARCHAR(448), OLD_VALUE NVARCHAR(MAX), NEW_VALUE NVARCHAR(MAX));
GO

CREATE PROCEDURE QM_RECORD_CHANGES @changes QM_CHANGE_LIST READONLY AS
BEGIN
    SET NOCOUNT ON
    ; DECLARE @r BIGINT
    ; IF NOT EXISTS (SELECT 1 FROM @changes) RETURN
    ; EXEC QM_REVISION_FOR_CHANGE @r OUTPUT
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT @r, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE FROM @changes ORDER BY N
END;
GO

-- A correspondence that changes its INPUT or its table is recorded as the
-- old one gone and the new one made. The running numbers are not recorded.
CREATE TRIGGER QM_VALMOR_HISTORY ON QM_VALMOR AFTER INSERT, UPDATE, DELETE AS
BEGIN
    SET NOCOUNT ON
    ; DECLARE @changes QM_CHANGE_LIST
    ; INSERT INTO @changes (KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT N'row', t.ID_TABLE, t.NOM, COALESCE(d.INPUT, i.INPUT), CASE WHEN d.ID_TABLE IS NOT NULL THEN COALESCE(d.[OUTPUT], N'') END, CASE WHEN i.ID_TABLE IS NOT NULL THEN COALESCE(i.[OUTPUT], N'') END FROM deleted d FULL JOIN inserted i ON i.ID_TABLE = d.ID_TABLE AND CAST(i.INPUT AS VARBINARY(896)) = CAST(d.INPUT AS VARBINARY(896)) JOIN QM_TABLES t ON t.ID_TABLE = COALESCE(d.ID_TABLE, i.ID_TABLE) WHERE CAST(COALESCE(t.NOM, N'') AS VARBINARY(900)) <> CAST(N'GenerationNumbers' AS VARBINARY(900)) AND (d.ID_TABLE IS NULL OR i.ID_TABLE IS NULL OR CAST(COALESCE(d.[OUTPUT], N'') AS VARBINARY(MAX)) <> CAST(COALESCE(i.[OUTPUT], N'') AS VARBINARY(MAX)) OR (d.[OUTPUT] IS NULL AND i.[OUTPUT] IS NOT NULL) OR (d.[OUTPUT] IS NOT NULL AND i.[OUTPUT] IS NULL)) ORDER BY CASE WHEN i.ID_TABLE IS NULL THEN 0 ELSE 1 END
    ; EXEC QM_RECORD_CHANGES @changes
END;
GO

CREATE TRIGGER QM_DICO_HISTORY ON QM_DICO AFTER INSERT, UPDATE, DELETE AS
BEGIN
    SET NOCOUNT ON
    ; DECLARE @changes QM_CHANGE_LIST
    ; INSERT INTO @changes (KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT N'column', t.ID_TABLE, t.NOM, CAST(COALESCE(d.ID_COL, i.ID_COL) AS NVARCHAR(12)), CASE WHEN d.ID_TABLE IS NOT NULL THEN COALESCE(CAST(d.INOUT AS NVARCHAR(12)), N'') + N':' + COALESCE(d.NAME_COL, N'') END, CASE WHEN i.ID_TABLE IS NOT NULL THEN COALESCE(CAST(i.INOUT AS NVARCHAR(12)), N'') + N':' + COALESCE(i.NAME_COL, N'') END FROM deleted d FULL JOIN inserted i ON i.ID_TABLE = d.ID_TABLE AND i.ID_COL = d.ID_COL JOIN QM_TABLES t ON t.ID_TABLE = COALESCE(d.ID_TABLE, i.ID_TABLE) WHERE CAST(COALESCE(t.NOM, N'') AS VARBINARY(900)) <> CAST(N'GenerationNumbers' AS VARBINARY(900)) ORDER BY CASE WHEN i.ID_TABLE IS NULL THEN 0 ELSE 1 END
    ; DELETE FROM @changes WHERE CAST(OLD_VALUE AS VARBINARY(MAX)) = CAST(NEW_VALUE AS VARBINARY(MAX))
    ; EXEC QM_RECORD_CHANGES @changes
END;
GO

-- A table deleted takes its approval and its pending change sets with it
-- (rejected), but for the one whose approval deletes it. No table takes or
-- leaves the running numbers' name: the history could not tell its past.
CREATE TRIGGER QM_TABLES_HISTORY ON QM_TABLES AFTER INSERT, UPDATE, DELETE AS
BEGIN
    SET NOCOUNT ON
    ; IF EXISTS (SELECT 1 FROM deleted d JOIN inserted i ON i.ID_TABLE = d.ID_TABLE WHERE (CASE WHEN CAST(d.NOM AS VARBINARY(900)) = CAST(N'GenerationNumbers' AS VARBINARY(900)) THEN 1 ELSE 0 END) <> (CASE WHEN CAST(i.NOM AS VARBINARY(900)) = CAST(N'GenerationNumbers' AS VARBINARY(900)) THEN 1 ELSE 0 END)) BEGIN ; THROW 50001, N'GenerationNumbers holds the running numbers, which the history does not record: no table is renamed to or from that name', 1 END
    ; DECLARE @r BIGINT, @changes TABLE (N INT IDENTITY(1, 1), KIND NVARCHAR(12), ID_TABLE INT, NOM NVARCHAR(450), OLD_VALUE NVARCHAR(MAX), NEW_VALUE NVARCHAR(MAX))
    ; INSERT INTO @changes (KIND, ID_TABLE, NOM, OLD_VALUE, NEW_VALUE) SELECT k.KIND, k.ID_TABLE, k.NOM, k.OLD_VALUE, k.NEW_VALUE FROM (SELECT 1 AS STEP, N'description' AS KIND, d.ID_TABLE, d.NOM, d.DESCRIPTION AS OLD_VALUE, CAST(NULL AS NVARCHAR(MAX)) AS NEW_VALUE FROM deleted d WHERE d.DESCRIPTION IS NOT NULL AND NOT EXISTS (SELECT 1 FROM inserted i WHERE i.ID_TABLE = d.ID_TABLE) UNION ALL SELECT 2, N'table', d.ID_TABLE, d.NOM, d.NOM, NULL FROM deleted d WHERE NOT EXISTS (SELECT 1 FROM inserted i WHERE i.ID_TABLE = d.ID_TABLE) UNION ALL SELECT 3, N'table', i.ID_TABLE, i.NOM, NULL, i.NOM FROM inserted i WHERE NOT EXISTS (SELECT 1 FROM deleted d WHERE d.ID_TABLE = i.ID_TABLE) UNION ALL SELECT 4, N'description', i.ID_TABLE, i.NOM, NULL, i.DESCRIPTION FROM inserted i WHERE i.DESCRIPTION IS NOT NULL AND NOT EXISTS (SELECT 1 FROM deleted d WHERE d.ID_TABLE = i.ID_TABLE) UNION ALL SELECT 5, N'table', i.ID_TABLE, i.NOM, d.NOM, i.NOM FROM deleted d JOIN inserted i ON i.ID_TABLE = d.ID_TABLE WHERE CAST(COALESCE(d.NOM, N'') AS VARBINARY(900)) <> CAST(COALESCE(i.NOM, N'') AS VARBINARY(900)) UNION ALL SELECT 6, N'description', i.ID_TABLE, i.NOM, d.DESCRIPTION, i.DESCRIPTION FROM deleted d JOIN inserted i ON i.ID_TABLE = d.ID_TABLE WHERE CAST(COALESCE(d.DESCRIPTION, N'') AS VARBINARY(MAX)) <> CAST(COALESCE(i.DESCRIPTION, N'') AS VARBINARY(MAX)) OR (d.DESCRIPTION IS NULL AND i.DESCRIPTION IS NOT NULL) OR (d.DESCRIPTION IS NOT NULL AND i.DESCRIPTION IS NULL)) k WHERE CAST(COALESCE(k.NOM, N'') AS VARBINARY(900)) <> CAST(N'GenerationNumbers' AS VARBINARY(900)) ORDER BY k.STEP
    ; IF EXISTS (SELECT 1 FROM @changes) EXEC QM_REVISION_FOR_CHANGE @r OUTPUT
    ; INSERT INTO QM_HISTORY (REVISION, KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT @r, KIND, ID_TABLE, NOM, NULL, OLD_VALUE, NEW_VALUE FROM @changes ORDER BY N
    ; DELETE FROM QM_APPROVAL WHERE ID_TABLE IN (SELECT d.ID_TABLE FROM deleted d WHERE NOT EXISTS (SELECT 1 FROM inserted i WHERE i.ID_TABLE = d.ID_TABLE))
    ; UPDATE QM_CHANGESETS SET STATE = N'rejected', DECIDED = (SELECT TIME FROM QM_REVISIONS WHERE REVISION = @r), REASON = N'the table was deleted' WHERE STATE = N'pending' AND ID_TABLE IN (SELECT d.ID_TABLE FROM deleted d WHERE NOT EXISTS (SELECT 1 FROM inserted i WHERE i.ID_TABLE = d.ID_TABLE)) AND NOT EXISTS (SELECT 1 FROM QM_REVISIONS r WHERE r.REVISION = @r AND r.CHANGESET = QM_CHANGESETS.ID)
END;
GO

CREATE TRIGGER QM_APPROVAL_HISTORY ON QM_APPROVAL AFTER INSERT, DELETE AS
BEGIN
    SET NOCOUNT ON
    ; DECLARE @changes QM_CHANGE_LIST
    ; INSERT INTO @changes (KIND, ID_TABLE, NOM, INPUT, OLD_VALUE, NEW_VALUE) SELECT N'approval', d.ID_TABLE, (SELECT t.NOM FROM QM_TABLES t WHERE t.ID_TABLE = d.ID_TABLE), NULL, N'1', NULL FROM deleted d UNION ALL SELECT N'approval', i.ID_TABLE, (SELECT t.NOM FROM QM_TABLES t WHERE t.ID_TABLE = i.ID_TABLE), NULL, NULL, N'1' FROM inserted i
    ; EXEC QM_RECORD_CHANGES @changes
END;
GO
