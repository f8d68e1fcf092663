// Owning handles of libpq.
#pragma once

#include <libpq-fe.h>

#include <memory>

namespace valmorin::ado::postgresql {

struct ConnectionDeleter {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

} // namespace valmorin::ado::postgresql
