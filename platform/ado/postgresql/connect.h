// Connecting to PostgreSQL: the libpq parameters an ADO connection string
// stands for, and a connection opened with them. Shared by the sessions and
// the watch of a store's changes.
#pragma once

#include "platform/ado/connection_string.h"
#include "platform/ado/postgresql/handles.h"
#include "platform/ado/store_watch.h"

#include <string>
#include <vector>

namespace valmorin::ado::postgresql {

struct ConnectParameters {
    std::vector<std::string> keywords, values;
};

// Any key PostgreSQL does not take is refused (a ProviderFailure), so that a
// mistyped one is not silently ignored; userId and password, when given,
// replace the string's. A time-out of 0 waits for ever.
ConnectParameters ConnectionParameters(const ConnectionString& cs, std::u16string_view userId,
                                       std::u16string_view password, LONG commandTimeoutSeconds);
// Throws a ProviderFailure when the server cannot be reached.
Connection OpenConnection(const ConnectParameters& parameters);

// The watch of a store whose triggers announce committed changes on the
// channel "valmorin_changes" (schema/postgresql.sql).
std::unique_ptr<StoreWatch> WatchNotifications(ConnectParameters parameters, WatchOptions options);

} // namespace valmorin::ado::postgresql
