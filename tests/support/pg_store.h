// A PostgreSQL database of its own for one test, on the server that
// scripts/with-postgres starts, dropped at the end of the test if it was
// made.
#pragma once

#include <string>
#include <vector>

// True when the server's whereabouts are in the environment.
bool PostgresAvailable();

class PgDatabase {
public:
    // Creates the database and runs the schema in it (none when empty).
    explicit PgDatabase(const std::string& schema);
    // A name of its own on the server, ending with suffix, the database
    // left for the code under test to make (valmorin init, say).
    struct Unmade {
        std::string suffix;
    };
    explicit PgDatabase(Unmade unmade);
    ~PgDatabase();
    PgDatabase(const PgDatabase&) = delete;
    PgDatabase& operator=(const PgDatabase&) = delete;

    std::u16string connectionString() const;
    const std::string& name() const { return m_name; }
    // Runs SQL (UTF-8, several statements allowed); throws on an error.
    void Run(const std::string& sql) const;
    // The first column of each row as UTF-16 text ("<NULL>" for NULL).
    std::vector<std::u16string> Column(const std::string& sql) const;

private:
    std::string m_name;
};
