#include "qmt/sys/system.h"

#include "platform/text/utf.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace qmt {

std::u16string CSystem::userName()
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return text::Widen(std::to_string(geteuid()));
    return text::Widen(found->pw_name);
}

std::u16string CSystem::accountName() { return userName(); }

} // namespace qmt
