// Names of the process's account.
#pragma once

#include <string>

namespace qmt {

class CSystem {
public:
    // The effective user's login name.
    static std::u16string userName();
    // DOMAIN\user for a domain account, the user name alone for a local one.
    static std::u16string accountName();
};

} // namespace qmt
