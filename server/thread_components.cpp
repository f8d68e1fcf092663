#include "server/thread_components.h"
#include "server/refusal.h"

#include <mutex>
#include <stdexcept>
#include <utility>

ThreadComponents::ThreadComponents(ComponentMaker make, std::u16string connection, std::u16string neverWaiting)
    : m_make(std::move(make)), m_connection(std::move(connection)), m_neverWaiting(std::move(neverWaiting))
{}

IValmorin3& ThreadComponents::ForThisThread(bool neverWait)
{
    return neverWait ? Held(&Objects::neverWaiting, m_neverWaiting) : Held(&Objects::waiting, m_connection);
}

IValmorin3& ThreadComponents::ForReading(const std::u16string& standby) { return Held(&Objects::reading, standby); }

IValmorin3& ThreadComponents::Held(Slot Objects::*which, const std::u16string& connection)
{
    const std::thread::id thread = std::this_thread::get_id();
    {
        const std::shared_lock lock(m_mutex);
        const auto found = m_objects.find(thread);
        if (found != m_objects.end()) {
            const Slot& slot = found->second.*which;
            if (slot.object && slot.on == connection) return *slot.object.get();
        }
    }
    // Made outside the lock: opening a store may take a while, and only
    // this thread ever reads or writes its own entry's objects.
    CComPtr<IValmorin3> made = Make(connection);
    const std::unique_lock lock(m_mutex);
    Slot& slot = m_objects[thread].*which;
    slot = {std::move(made), connection};
    return *slot.object.get();
}

CComPtr<IValmorin3> ThreadComponents::Make(const std::u16string& connection) const
{
    CComPtr<IValmorin3> made;
    try {
        const CComPtr<IDispatch> object = m_make();
        Checked(object->QueryInterface(IValmorin3::iid, reinterpret_cast<void**>(&made)));
    } catch (const std::runtime_error& e) {
        Refuse(500, e.what(), E_FAIL);
    }
    if (!connection.empty()) Checked(made->Open(CComBSTR(connection).get()));
    return made;
}
