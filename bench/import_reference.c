/* The least a CSV import can cost: a small program that reads the same
 * file with the same parser, and inserts its rows into an empty table of
 * the same store with one statement prepared once, the values bound, in
 * one transaction, on a connection with the pragmas the provider sets
 * (its pages read, never mapped).
 * usage: import_reference <store file> <table id> <file.csv> */
#include <csv.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char kInsert[] =
    "INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT, USER_CODE_LASTACTION) VALUES (?, ?, ?, 'reference')";

struct Import {
    sqlite3* db;
    sqlite3_stmt* insert;
    int field;   /* of the record being read */
    long record; /* records read, the header included */
    int failed;
};

static void EndField(void* bytes, size_t length, void* data)
{
    struct Import* import = data;
    if (import->record > 0 && import->field < 2)
        sqlite3_bind_text(import->insert, import->field + 2, length ? bytes : "", (int)length, SQLITE_TRANSIENT);
    ++import->field;
}

static void EndRecord(int terminator, void* data)
{
    (void)terminator;
    struct Import* import = data;
    if (import->field == 0) return; /* a blank line */
    if (import->record++ > 0 && !import->failed) {
        if (sqlite3_step(import->insert) != SQLITE_DONE) {
            fprintf(stderr, "import_reference: %s\n", sqlite3_errmsg(import->db));
            import->failed = 1;
        }
        sqlite3_reset(import->insert);
    }
    import->field = 0;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: import_reference <store file> <table id> <file.csv>\n");
        return 64;
    }
    struct Import import = {NULL, NULL, 0, 0, 0};
    FILE* file = fopen(argv[3], "rb");
    if (file == NULL || sqlite3_open_v2(argv[1], &import.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, NULL) ||
        sqlite3_prepare_v2(import.db, kInsert, -1, &import.insert, NULL) ||
        sqlite3_exec(import.db, "BEGIN IMMEDIATE", NULL, NULL, NULL)) {
        fprintf(stderr, "import_reference: %s\n", file ? sqlite3_errmsg(import.db) : argv[3]);
        return 2;
    }
    sqlite3_bind_int(import.insert, 1, atoi(argv[2]));
    struct csv_parser parser;
    csv_init(&parser, CSV_STRICT | CSV_REPALL_NL);
    static char block[1 << 18];
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0)
        if (csv_parse(&parser, block, got, EndField, EndRecord, &import) != got) import.failed = 1;
    csv_fini(&parser, EndField, EndRecord, &import);
    csv_free(&parser);
    fclose(file);
    if (import.failed || sqlite3_exec(import.db, "COMMIT", NULL, NULL, NULL) != SQLITE_OK) {
        fprintf(stderr, "import_reference: %s\n", sqlite3_errmsg(import.db));
        return 2;
    }
    sqlite3_finalize(import.insert);
    sqlite3_close(import.db);
    printf("%ld\n", import.record > 0 ? import.record - 1 : 0);
    return 0;
}
