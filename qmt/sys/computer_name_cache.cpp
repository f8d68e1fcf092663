#include "qmt/sys/computer_name_cache.h"

namespace qmt {

std::u16string CComputerNameCache::get()
{
    std::lock_guard lock(m_mutex);
    if (m_name.empty()) m_name = m_read();
    return m_name;
}

} // namespace qmt
