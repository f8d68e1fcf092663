// A PostgreSQL server of one test's own, in a temporary folder, listening on
// a unix socket there only: for tests that restart or stop a server under a
// running component, which the suite's shared server must not be.
#pragma once

#include "support/temp_dir.h"

#include <string>

class PrivatePostgres {
public:
    // Makes a cluster and starts it, with a store in its database "store"
    // made as valmorin init makes one, holding the rows `sql` inserts.
    explicit PrivatePostgres(const std::string& sql = "");
    ~PrivatePostgres();
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    // Why no server can be made here; empty when one can.
    static std::string Unavailable();

    void Restart() const;
    void Stop() const;
    void Start() const;
    // Stops every process of the server (SIGSTOP), as a link that hangs
    // does, or lets them go on (SIGCONT).
    void Pause(bool paused) const;
    // Runs SQL in the database "store" through psql.
    void Run(const std::string& sql) const;
    std::string connectionString() const;

private:
    void Control(const std::string& action) const;

    TempDir m_dir;
    std::string m_account; // the server's: it refuses to run as root
    std::string m_folder;  // data and socket
};
