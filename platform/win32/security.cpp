#include "platform/win32/security.h"

#include "platform/text/utf.h"
#include "platform/win32/kernel.h"
#include "platform/win32/kernel_object.h"
#include "platform/win32/sysinfo.h"
#include "platform/win32/text_buffer.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace {

class TokenObject : public valmorin::win32::KernelObject {
public:
    explicit TokenObject(uid_t user) : m_user(user) {}
    uid_t user() const { return m_user; }

private:
    uid_t m_user;
};

HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(~std::uintptr_t{0}); }

std::u16string AccountName(uid_t user)
{
    if (user == 0) return u"SYSTEM";
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return valmorin::text::Widen(std::to_string(user));
    return valmorin::text::Widen(found->pw_name);
}

std::string NisDomain()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (getdomainname(name, sizeof name - 1) != 0) return {};
    const std::string domain = name;
    return domain == "(none)" ? std::string() : domain;
}

std::string DnsDomain()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    const std::string host = name;
    const std::size_t dot = host.find('.');
    return dot == std::string::npos ? std::string() : host.substr(dot + 1);
}

std::u16string ComputerName()
{
    char16_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::u16string(name, size) : std::u16string();
}

std::u16string AccountDomain()
{
    if (const std::string nis = NisDomain(); !nis.empty()) return valmorin::text::Widen(nis);
    if (const std::string dns = DnsDomain(); !dns.empty()) return valmorin::text::Widen(dns);
    return ComputerName();
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace

HANDLE GetCurrentProcess() { return CurrentProcessPseudoHandle(); }

BOOL OpenProcessToken(HANDLE process, DWORD, HANDLE* token)
{
    if (process != CurrentProcessPseudoHandle() || token == nullptr) return Fail(ERROR_INVALID_HANDLE);
    *token = valmorin::win32::InsertObject(std::make_shared<TokenObject>(geteuid()));
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info, DWORD length,
                         DWORD* returnLength)
{
    const std::shared_ptr<TokenObject> object = valmorin::win32::FindObjectAs<TokenObject>(token);
    if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (infoClass != TokenUser || returnLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *returnLength = sizeof(TOKEN_USER) + sizeof(SID);
    if (info == nullptr || length < *returnLength) return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* bytes = static_cast<unsigned char*>(info);
    SID* sid = new (bytes + sizeof(TOKEN_USER)) SID{static_cast<DWORD>(object->user())};
    new (bytes) TOKEN_USER{{sid, 0}};
    return TRUE;
}

BOOL LookupAccountSidW(const char16_t* systemName, PSID sid, char16_t* name, DWORD* nameSize, char16_t* domain,
                       DWORD* domainSize, SID_NAME_USE* use)
{
    if (systemName != nullptr || sid == nullptr || nameSize == nullptr || domainSize == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    const std::u16string accountName = AccountName(static_cast<uid_t>(sid->UserId));
    const std::u16string accountDomain = AccountDomain();
    if (name == nullptr || domain == nullptr || *nameSize <= accountName.size() ||
        *domainSize <= accountDomain.size()) {
        *nameSize = static_cast<DWORD>(accountName.size() + 1);
        *domainSize = static_cast<DWORD>(accountDomain.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    valmorin::win32::CopyToBuffer(accountName, name, nameSize, ERROR_INSUFFICIENT_BUFFER);
    valmorin::win32::CopyToBuffer(accountDomain, domain, domainSize, ERROR_INSUFFICIENT_BUFFER);
    if (use != nullptr) *use = sid->UserId == 0 ? SidTypeWellKnownGroup : SidTypeUser;
    return TRUE;
}

BOOL GetUserNameW(char16_t* buffer, DWORD* size)
{
    if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!valmorin::win32::CopyToBuffer(AccountName(geteuid()), buffer, size, ERROR_INSUFFICIENT_BUFFER)) return FALSE;
    ++*size;
    return TRUE;
}

BOOL GetUserNameExW(EXTENDED_NAME_FORMAT format, char16_t* buffer, ULONG* size)
{
    if (format != NameSamCompatible) return Fail(ERROR_NONE_MAPPED);
    if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return valmorin::win32::CopyToBuffer(AccountDomain() + u"\\" + AccountName(geteuid()), buffer, size,
                                         ERROR_MORE_DATA);
}

BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision)
{
    if (descriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
    *descriptor = SECURITY_DESCRIPTOR{static_cast<BYTE>(revision), false, nullptr};
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, const ACL* dacl, BOOL)
{
    if (descriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
    descriptor->DaclPresent = daclPresent != FALSE;
    descriptor->Dacl = daclPresent ? dacl : nullptr;
    return TRUE;
}
