// The access token of a process, and the account it belongs to.
#pragma once

#include "platform/win32/security.h"
#include "qmt/sys/unique_handle.h"

#include <memory>

namespace qmt {

class CProcessToken {
public:
    // Throws CWinException when the token cannot be opened.
    CProcessToken(HANDLE process, DWORD access);
    virtual ~CProcessToken() = default;
    CProcessToken(const CProcessToken&) = delete;
    CProcessToken& operator=(const CProcessToken&) = delete;

    // The token's user. Its SID points into the returned block, which lives
    // as long as any copy of the pointer. Throws CWinException on failure.
    std::shared_ptr<const TOKEN_USER> user() const;

private:
    CUniqueHandle m_token;
};

} // namespace qmt
