/* The least a --batch look-up can cost: a small program that reads the
 * same "translate<TAB>table<TAB>input" lines, runs one statement prepared
 * once with the values bound, on a connection with the pragmas the
 * provider sets (its pages read, never mapped), and prints the answers through stdio's buffer.
 * usage: batch_reference <store file> < lines */
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

static const char kShape[] = "SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM "
                             "QM_TABLES  b WHERE NOM = ?)) AND (a.INPUT = ?)";

/* The field after the tab at or after text, cut off at its own tab. */
static char* NextField(char* text)
{
    char* tab = strchr(text, '\t');
    if (tab == NULL) return NULL;
    *tab = '\0';
    return tab + 1;
}

static int Answer(sqlite3_stmt* stmt, char* line)
{
    line[strcspn(line, "\r\n")] = '\0';
    char* table = NextField(line);
    char* input = table ? NextField(table) : NULL;
    if (input == NULL) return printf("ERROR\tnot a translate line\n") < 0;
    sqlite3_bind_text(stmt, 1, table, -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt, 2, input, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(stmt);
    const unsigned char* output = rc == SQLITE_ROW ? sqlite3_column_text(stmt, 0) : NULL;
    const int failed = printf("OK\t%s\n", output ? (const char*)output : "") < 0;
    sqlite3_reset(stmt);
    return failed || (rc != SQLITE_ROW && rc != SQLITE_DONE);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: batch_reference <store file> < lines\n");
        return 64;
    }
    sqlite3* db = NULL;
    sqlite3_stmt* stmt = NULL;
    if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, NULL) != SQLITE_OK ||
        sqlite3_prepare_v2(db, kShape, -1, &stmt, NULL) != SQLITE_OK) {
        fprintf(stderr, "batch_reference: %s: %s\n", argv[1], sqlite3_errmsg(db));
        sqlite3_close(db);
        return 2;
    }
    int failed = 0;
    char line[4096];
    while (fgets(line, sizeof line, stdin)) failed |= Answer(stmt, line);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return failed ? 2 : 0;
}
