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
    const std::thread::id thread = std::this_thread::get_id();
    {
        const std::shared_lock lock(m_mutex);
        const auto found = m_objects.find(thread);
        if (found != m_objects.end()) {
            const CComPtr<IValmorin3>& object = neverWait ? found->second.neverWaiting : found->second.waiting;
            if (object) return *object.get();
        }
    }
    // Made outside the lock: opening a store may take a while, and only
    // this thread ever reads or writes its own entry's objects.
    CComPtr<IValmorin3> made = Make(neverWait ? m_neverWaiting : m_connection);
    const std::unique_lock lock(m_mutex);
    Objects& objects = m_objects[thread];
    CComPtr<IValmorin3>& slot = neverWait ? objects.neverWaiting : objects.waiting;
    slot = std::move(made);
    return *slot.get();
}

IValmorin3& ThreadComponents::ForReading(const std::u16string& standby)
{
    const std::thread::id thread = std::this_thread::get_id();
    {
        const std::shared_lock lock(m_mutex);
        const auto found = m_objects.find(thread);
        if (found != m_objects.end() && found->second.reading && found->second.readingOn == standby)
            return *found->second.reading.get();
    }
    CComPtr<IValmorin3> made = Make(standby);
    const std::unique_lock lock(m_mutex);
    Objects& objects = m_objects[thread];
    objects.reading = std::move(made);
    objects.readingOn = standby;
    return *objects.reading.get();
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
