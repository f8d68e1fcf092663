// One transaction of a connection, begun by the constructor and ended in one
// place: commit() makes it last; otherwise the destructor rolls it back, so a
// failure anywhere in the body leaves nothing of it in the store.
#pragma once

namespace qmt {

class CAdoConnection;

class CAdoTransaction {
public:
    // Reads: a transaction that only reads, one snapshot from its first
    // read, and keeps no writer waiting (where the store gives snapshots:
    // SQLite, PostgreSQL); Writes: the writers' own.
    enum class Kind { Writes, Reads };
    explicit CAdoTransaction(CAdoConnection& connection, Kind kind = Kind::Writes);
    ~CAdoTransaction();
    CAdoTransaction(const CAdoTransaction&) = delete;
    CAdoTransaction& operator=(const CAdoTransaction&) = delete;

    void commit();
    void rollback();

private:
    CAdoConnection& m_connection;
    bool m_open = true;
};

} // namespace qmt
