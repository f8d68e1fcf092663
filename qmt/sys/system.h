// Who and where the process runs: computer, user, domain and account names.
#pragma once

#include <string>
#include <string_view>

namespace qmt {

class CSystem {
public:
    // The name configured for the computer, or the host's computer name when
    // none is; read once per process.
    static std::u16string computerName();
    // The account name of the process's user; "SYSTEM" for the local system
    // account (the superuser). Throws CWinException when it cannot be found.
    static std::u16string userName();
    // The domain of that account; logged at Debug.
    static std::u16string domainName();
    // DOMAIN\user for a domain account, the user name alone for an account
    // of this computer; empty when the name cannot be had.
    static std::u16string accountName();

    // The rule of accountName: a DOMAIN\user whose DOMAIN is the computer
    // name (in any letter case) gives user; anything else stays as it is.
    static std::u16string accountNameOn(std::u16string_view samCompatibleName, std::u16string_view computer);
};

} // namespace qmt
