// The component objects the server's threads call: one for each thread
// that answers requests, made at the thread's first request and kept
// until the server ends, as the component's objects serialise their calls
// (threads that want theirs to run side by side take an object each) and
// its log is switched on for the thread that makes an object.
#pragma once

#include "server/server.h"

#include "valmorin/com/unknown.h"
#include "valmorin/valmorin.h"

#include <map>
#include <shared_mutex>
#include <string>
#include <thread>

class ThreadComponents {
public:
    // Each object is opened on connection when one is given (otherwise it
    // connects through the default data source); a lookup that never
    // waits for the store's lock takes one opened on neverWaiting.
    ThreadComponents(ComponentMaker make, std::u16string connection, std::u16string neverWaiting);

    // The calling thread's object; throws Refusal when none can be made or
    // opened.
    IValmorin3& ForThisThread(bool neverWait);
    // The calling thread's object on the read store's standby of that
    // connection string, opened anew when the standby changed.
    IValmorin3& ForReading(const std::u16string& standby);

private:
    struct Slot {
        CComPtr<IValmorin3> object;
        std::u16string on; // the connection string it was opened on
    };
    struct Objects {
        Slot waiting, neverWaiting, reading;
    };
    // The calling thread's object in the slot, made anew unless it holds
    // one opened on that connection string.
    IValmorin3& Held(Slot Objects::*which, const std::u16string& connection);
    // Opened on the connection string when one is given.
    CComPtr<IValmorin3> Make(const std::u16string& connection) const;

    const ComponentMaker m_make;
    const std::u16string m_connection;
    const std::u16string m_neverWaiting;
    std::shared_mutex m_mutex;
    std::map<std::thread::id, Objects> m_objects;
};
