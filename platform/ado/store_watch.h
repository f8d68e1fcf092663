// What a cache of a store's answers needs in order to know that they still
// hold: the store's version, read without sending a statement, and the
// tables that changes named. Made per store by its provider; providers that
// cannot vouch for their store's version make none, and answers from such
// a store are never kept.
#pragma once

#include "valmorin/com/types.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace valmorin::ado {

struct StoreVersion {
    // An answer read while `entries` had a value holds as long as it keeps
    // that value.
    std::uint64_t entries = 0;
    // Moves at every change the watch learns of, before the tables it names
    // are reported; an answer read after `fills` had a value may be kept
    // only while it still has it.
    std::uint64_t fills = 0;

    bool operator==(const StoreVersion&) const = default;
};

// Called, on a thread of the watch's own, with the name of each table a
// committed change touched, after `fills` has moved.
using TableChanged = std::function<void(std::u16string_view table)>;
// Called, on a thread of the watch's own, when the watch stops vouching for
// the store for a reason an operator should hear of (`trusted` false, and
// why), and when it vouches again (`trusted` true).
using TrustChanged = std::function<void(bool trusted, std::string_view why)>;

struct WatchOptions {
    TableChanged changed;
    TrustChanged trust;
    // A watch that learns of changes over a link trusts it only this long
    // after the link last proved that it delivers them.
    std::chrono::milliseconds linkBound{1000};
};

class StoreWatch {
public:
    virtual ~StoreWatch() = default;
    // The store's version now; false when the watch cannot vouch for it (its
    // link to the store is down, the store is changing this instant): no
    // answer may then be served or kept.
    virtual bool Read(StoreVersion& version) const = 0;
    // Whether the store the connection string names is no longer the one
    // watched (its files replaced or removed): a connection opened now
    // reaches another store, which needs a watch of its own.
    virtual bool Outlived() const { return false; }
    // Returns true once every change committed before the call has been
    // heard, and false when the watch cannot say so by the deadline: then
    // it vouches for nothing until it has. A watch that reads the store's
    // version afresh at every Read has nothing to catch up.
    virtual bool CatchUp(std::chrono::steady_clock::time_point /*deadline*/) { return true; }
};

// The watch of the store a connection string names, made through the
// provider it names; null when the provider cannot watch that store (no
// provider, not in WAL mode, ODBC). Never throws.
VALMORIN_PLATFORM_API std::shared_ptr<StoreWatch> WatchStore(std::u16string_view connectionString,
                                                             std::u16string_view userId, std::u16string_view password,
                                                             WatchOptions options);

// Every watch WatchStore made that is still alive catches up (CatchUp), all
// by the one deadline; true when every one did. A host that promised a
// caller every change committed before the caller asked (a lookup carrying
// the position of a write another process made) calls it before it looks
// anything up.
VALMORIN_PLATFORM_API bool CatchUpWatches(std::chrono::steady_clock::time_point deadline);

} // namespace valmorin::ado
