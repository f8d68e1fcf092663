#include "qmt/sys/system.h"

#include "platform/win32/kernel.h"
#include "platform/win32/security.h"
#include "platform/win32/sysinfo.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/computer_name_cache.h"
#include "qmt/sys/process_token.h"
#include "qmt/sys/registry.h"
#include "platform/text/ascii.h"

#include <algorithm>
#include <optional>

namespace qmt {

namespace {

constexpr DWORD kAccountTextCapacity = 100;
constexpr ULONG kSamNameCapacity = 1000;

constexpr char16_t kComputerNameKey[] =
    u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
constexpr char16_t kComputerNameValue[] = u"ComputerName";

// The name an administrator configured for the machine. Linux hosts seldom
// carry the key: a missing (or empty) name is no error, the host's name
// stands in. Any other registry failure reaches the caller.
std::optional<std::u16string> RegisteredComputerName()
{
    try {
        CRegistry key(kComputerNameKey);
        std::u16string name = key.ReadValue(kComputerNameValue);
        if (name.empty()) return std::nullopt;
        return name;
    } catch (const CException& e) {
        if (e.code == ERROR_CANTOPEN || e.code == ERROR_FILE_NOT_FOUND) return std::nullopt;
        throw;
    }
}

std::u16string HostComputerName()
{
    char16_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::u16string(name, size) : std::u16string();
}

std::u16string ReadComputerName()
{
    std::optional<std::u16string> registered = RegisteredComputerName();
    return registered ? *std::move(registered) : HostComputerName();
}

struct AccountNames {
    std::u16string name;
    std::u16string domain;
};

AccountNames ProcessAccount()
{
    const CProcessToken token(GetCurrentProcess(), TOKEN_QUERY | READ_CONTROL);
    const std::shared_ptr<const TOKEN_USER> user = token.user();
    char16_t name[kAccountTextCapacity] = {};
    char16_t domain[kAccountTextCapacity] = {};
    DWORD nameSize = kAccountTextCapacity;
    DWORD domainSize = kAccountTextCapacity;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, user->User.Sid, name, &nameSize, domain, &domainSize, &use))
        throw CWinException(GetLastError());
    return {name, domain};
}

} // namespace

std::u16string CSystem::computerName()
{
    static CComputerNameCache cache(ReadComputerName);
    return cache.get();
}

std::u16string CSystem::userName() { return ProcessAccount().name; }

std::u16string CSystem::domainName()
{
    const std::u16string domain = ProcessAccount().domain;
    TraceDebug(u"Domain :%s", domain.c_str());
    return domain;
}

std::u16string CSystem::accountName()
{
    char16_t name[kSamNameCapacity] = {};
    ULONG size = kSamNameCapacity;
    if (!GetUserNameExW(NameSamCompatible, name, &size)) return {};
    return accountNameOn(std::u16string_view(name, size), computerName());
}

std::u16string CSystem::accountNameOn(std::u16string_view samCompatibleName, std::u16string_view computer)
{
    const std::size_t backslash = samCompatibleName.find(u'\\');
    if (backslash != std::u16string_view::npos &&
        valmorin::text::EqualAsciiNoCase(samCompatibleName.substr(0, backslash), computer))
        return std::u16string(samCompatibleName.substr(backslash + 1));
    return std::u16string(samCompatibleName);
}

} // namespace qmt
