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
    CComPtr<IValmorin3> made = Make(neverWait);
    const std::unique_lock lock(m_mutex);
    Objects& objects = m_objects[thread];
    CComPtr<IValmorin3>& slot = neverWait ? objects.neverWaiting : objects.waiting;
    slot = std::move(made);
    return *slot.get();
}

CComPtr<IValmorin3> ThreadComponents::Make(bool neverWait) const
{
    CComPtr<IValmorin3> made;
    try {
        const CComPtr<IDispatch> object = m_make();
        Checked(object->QueryInterface(IValmorin3::iid, reinterpret_cast<void**>(&made)));
    } catch (const std::runtime_error& e) {
        Refuse(500, e.what(), E_FAIL);
    }
    const std::u16string& connection = neverWait ? m_neverWaiting : m_connection;
    if (!connection.empty()) Checked(made->Open(CComBSTR(connection).get()));
    return made;
}
