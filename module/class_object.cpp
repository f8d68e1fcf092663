#include "module/class_object.h"

#include "module/module.h"
#include "service/valmorin.h"

#include <new>

namespace valmorin::module {

namespace {

// Taken before the object is built and given back after it is gone, so
// that the module is never unloaded under a destructor still running.
struct ModuleLockFirst {
    ScopedLock moduleLock;
};

// A CValmorin created on its own; it keeps the module loaded while it lives.
class StandaloneValmorin final : private ModuleLockFirst, public CValmorin {};

// The CValmorin inside an aggregate: its interfaces' IUnknown methods are
// the outer object's, so that the outer object's identity and lifetime are
// the ones clients see.
class ContainedValmorin final : public CValmorin {
public:
    explicit ContainedValmorin(IUnknown* outer) : m_outer(outer) {}
    HRESULT QueryInterface(REFIID riid, void** object) override { return m_outer->QueryInterface(riid, object); }
    ULONG AddRef() override { return m_outer->AddRef(); }
    ULONG Release() override { return m_outer->Release(); }
    // The object's own answer, handed out with a reference on the outer.
    HRESULT OwnQueryInterface(REFIID riid, void** object) { return CValmorin::QueryInterface(riid, object); }

private:
    IUnknown* m_outer; // not owned: the outer object owns this one
};

// The inner, non-delegating IUnknown that the outer object holds: it alone
// counts references to the aggregate and answers IUnknown with itself.
class AggregatedValmorin final : private ModuleLockFirst, public IUnknown {
public:
    explicit AggregatedValmorin(IUnknown* outer) : m_contained(outer) {}
    virtual ~AggregatedValmorin() = default;

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid != IUnknown::iid) return m_contained.OwnQueryInterface(riid, object);
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_refs{1};
    ContainedValmorin m_contained;
};

HRESULT CreateStandalone(REFIID riid, void** object)
{
    CComPtr<IUnknown> created;
    created.Attach(static_cast<IValmorin*>(new StandaloneValmorin));
    return created->QueryInterface(riid, object);
}

// The outer object asks for the inner IUnknown, as aggregation requires.
HRESULT CreateAggregated(IUnknown* outer, void** object)
{
    *object = new AggregatedValmorin(outer);
    return S_OK;
}

// A client's reference to the cached class object keeps the module loaded;
// the cache's own does not, or the module could never be unloaded.
class ValmorinClassObject final : public IClassFactory {
public:
    virtual ~ValmorinClassObject() = default;

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid != IUnknown::iid && riid != IClassFactory::iid) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // The module is locked before the reference exists, and kept locked
    // only by the reference that made a client's first: were it locked
    // after, another thread could take a second reference and find the
    // module unloadable while it holds one.
    ULONG AddRef() override
    {
        Lock();
        const ULONG count = ++m_refs;
        if (count != 2) Unlock();
        return count;
    }
    ULONG Release() override
    {
        const ULONG left = --m_refs;
        if (left == 1) Unlock();
        if (left == 0) delete this;
        return left;
    }

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr && riid != IUnknown::iid) return CLASS_E_NOAGGREGATION;
        try {
            return outer != nullptr ? CreateAggregated(outer, object) : CreateStandalone(riid, object);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;
        }
    }
    HRESULT LockServer(int lock) override
    {
        if (lock)
            Lock();
        else
            Unlock();
        return S_OK;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

// The cache holds the object's first reference for the life of the module.
struct ClassObjectCache {
    ValmorinClassObject* object = nullptr;
    ~ClassObjectCache()
    {
        if (object != nullptr) object->Release();
    }
};

ClassObjectCache g_cache;

} // namespace

HRESULT GetClassObject(IClassFactory** factory)
{
    if (factory == nullptr) return E_POINTER;
    *factory = nullptr;
    try {
        const std::lock_guard lock(CriticalSection());
        if (g_cache.object == nullptr) g_cache.object = new ValmorinClassObject;
        g_cache.object->AddRef();
        *factory = g_cache.object;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace valmorin::module
