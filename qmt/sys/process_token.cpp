#include "qmt/sys/process_token.h"

#include "platform/win32/kernel.h"
#include "qmt/diag/exception.h"

#include <new>
#include <vector>

namespace qmt {

namespace {

constexpr DWORD kNotEnoughMemory = 8; // ERROR_NOT_ENOUGH_MEMORY

HANDLE OpenToken(HANDLE process, DWORD access)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, access, &token)) throw CWinException(GetLastError());
    return token;
}

std::shared_ptr<std::vector<unsigned char>> AllocateBlock(DWORD size)
{
    try {
        return std::make_shared<std::vector<unsigned char>>(size);
    } catch (const std::bad_alloc&) {
        throw CWinException(kNotEnoughMemory);
    }
}

} // namespace

CProcessToken::CProcessToken(HANDLE process, DWORD access) : m_token(OpenToken(process, access)) {}

std::shared_ptr<const TOKEN_USER> CProcessToken::user() const
{
    DWORD size = 0;
    GetTokenInformation(m_token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) throw CWinException(GetLastError());
    const std::shared_ptr<std::vector<unsigned char>> block = AllocateBlock(size);
    if (!GetTokenInformation(m_token.get(), TokenUser, block->data(), size, &size))
        throw CWinException(GetLastError());
    return {block, reinterpret_cast<const TOKEN_USER*>(block->data())};
}

} // namespace qmt
