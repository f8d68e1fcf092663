#include "platform/win32/handle.h"

#include "platform/win32/kernel.h"
#include "platform/win32/kernel_object.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace valmorin::win32 {

namespace {

class HandleTable {
public:
    static HandleTable& Instance()
    {
        static HandleTable table;
        return table;
    }

    HANDLE Insert(std::shared_ptr<KernelObject> object)
    {
        std::lock_guard lock(m_mutex);
        // Multiples of four, as real handle values are; never zero.
        m_last += 4;
        m_objects.emplace(m_last, std::move(object));
        return reinterpret_cast<HANDLE>(m_last);
    }

    std::shared_ptr<KernelObject> Find(HANDLE handle)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : it->second;
    }

    bool Erase(HANDLE handle)
    {
        std::lock_guard lock(m_mutex);
        return m_objects.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
    }

private:
    std::mutex m_mutex;
    std::uintptr_t m_last = 0;
    std::map<std::uintptr_t, std::shared_ptr<KernelObject>> m_objects;
};

} // namespace

HANDLE InsertObject(std::shared_ptr<KernelObject> object) { return HandleTable::Instance().Insert(std::move(object)); }

std::shared_ptr<KernelObject> FindObject(HANDLE handle) { return HandleTable::Instance().Find(handle); }

} // namespace valmorin::win32

BOOL CloseHandle(HANDLE handle)
{
    if (valmorin::win32::HandleTable::Instance().Erase(handle)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
