// IUnknown, IDispatch and the interfaces around them, with an owning
// interface pointer and the reference-counting plumbing of COM objects.
#pragma once

#include "valmorin/com/guid.h"
#include "valmorin/com/variant.h"

#include <atomic>
#include <type_traits>
#include <utility>

struct IUnknown {
    static constexpr IID iid = MakeGuid("00000000-0000-0000-C000-000000000046");
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct DISPPARAMS {
    VARIANTARG* rgvarg = nullptr; // arguments in reverse order
    DISPID* rgdispidNamedArgs = nullptr;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
};

struct EXCEPINFO {
    WORD wCode = 0;
    WORD wReserved = 0;
    BSTR bstrSource = nullptr;
    BSTR bstrDescription = nullptr;
    BSTR bstrHelpFile = nullptr;
    DWORD dwHelpContext = 0;
    void* pvReserved = nullptr;
    void* pfnDeferredFillIn = nullptr;
    HRESULT scode = 0;
};

inline constexpr WORD DISPATCH_METHOD = 1;
inline constexpr WORD DISPATCH_PROPERTYGET = 2;
inline constexpr DISPID DISPID_UNKNOWN = -1;

struct ITypeInfo;

struct IDispatch : IUnknown {
    static constexpr IID iid = MakeGuid("00020400-0000-0000-C000-000000000046");
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* excepInfo, UINT* argErr) = 0;

protected:
    ~IDispatch() = default;
};

struct IClassFactory : IUnknown {
    static constexpr IID iid = MakeGuid("00000001-0000-0000-C000-000000000046");
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT LockServer(int lock) = 0;

protected:
    ~IClassFactory() = default;
};

// Owning interface pointer.
template <typename T>
class CComPtr {
public:
    CComPtr() = default;
    CComPtr(T* p) : m_p(p) // adds a reference
    {
        if (m_p) m_p->AddRef();
    }
    CComPtr(const CComPtr& other) : CComPtr(other.m_p) {}
    CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    CComPtr& operator=(CComPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~CComPtr() { Release(); }

    void Release()
    {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    // Takes over a reference the caller already owns.
    void Attach(T* p)
    {
        Release();
        m_p = p;
    }
    T* Detach() { return std::exchange(m_p, nullptr); }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    T** operator&() // receives an [out] interface pointer
    {
        Release();
        return &m_p;
    }

    template <typename U>
    HRESULT QueryInterface(CComPtr<U>& out) const
    {
        if (!m_p) return E_POINTER;
        return m_p->QueryInterface(U::iid, reinterpret_cast<void**>(&out));
    }

private:
    T* m_p = nullptr;
};

// Interlocked reference counting for an object implementing the interfaces
// Bases...; QueryInterface answers IUnknown, each base's iid and those of
// the interfaces a base extends (its Base). The last Release destroys the object, or
// hands it to the class's own Destroy, which a class that keeps released
// objects for reuse declares together with Construct.
template <typename Derived, typename... Bases>
class CComObjectBase : public Bases... {
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0) Derived::Destroy(static_cast<Derived*>(this));
        return left;
    }
    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid == IUnknown::iid) {
            *object = static_cast<IUnknown*>(static_cast<First*>(this));
        } else {
            (TryCast<Bases>(riid, object) || ...);
        }
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    // Creates an object holding one reference, owned by the returned pointer.
    template <typename... Args>
    static CComPtr<Derived> Create(Args&&... args)
    {
        Derived* object = Derived::Construct(std::forward<Args>(args)...);
        static_cast<CComObjectBase*>(object)->m_refs = 1; // a reused object comes back with none
        CComPtr<Derived> result;
        result.Attach(object);
        return result;
    }

protected:
    CComObjectBase() = default;
    virtual ~CComObjectBase() = default;

    template <typename... Args>
    static Derived* Construct(Args&&... args)
    {
        return new Derived(std::forward<Args>(args)...);
    }
    static void Destroy(Derived* object) { delete object; }

private:
    template <typename... T>
    struct FirstOf;
    template <typename T, typename... Rest>
    struct FirstOf<T, Rest...> {
        using type = T;
    };
    using First = typename FirstOf<Bases...>::type;

    // An interface that extends another (Base::Base) answers for it too.
    template <typename Base>
    bool TryCast(REFIID riid, void** object)
    {
        if (riid == Base::iid) {
            *object = static_cast<Base*>(this);
            return true;
        }
        if constexpr (requires { typename Base::Base; }) {
            if (TryCastBase<Base, typename Base::Base>(riid, object)) return true;
        }
        if constexpr (std::is_base_of_v<IDispatch, Base>) {
            if (riid == IDispatch::iid) {
                *object = static_cast<IDispatch*>(static_cast<Base*>(this));
                return true;
            }
        }
        return false;
    }

    template <typename Derived2, typename Extended>
    bool TryCastBase(REFIID riid, void** object)
    {
        if (riid == Extended::iid) {
            *object = static_cast<Extended*>(static_cast<Derived2*>(this));
            return true;
        }
        if constexpr (requires { typename Extended::Base; })
            return TryCastBase<Derived2, typename Extended::Base>(riid, object);
        return false;
    }

    std::atomic<ULONG> m_refs{1};
};
