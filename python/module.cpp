// The Python module "valmorin": the component as scripts call it, late-bound
// by name. Dispatch(progid) creates the object through the COM runtime (the
// registry maps the ProgID to its class and library); each attribute is a
// method looked up with GetIDsOfNames and called through Invoke, so that
// every method of every interface is there without a wrapper of its own.
#include "platform/ado/connection_string.h"
#include "platform/text/utf.h"
#include "platform/win32/kernel.h"
#include "valmorin/com/errorinfo.h"
#include "valmorin/com/runtime.h"
#include "valmorin/com/typeinfo.h"
#include "valmorin/com/variant.h"

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr const char* kConnectionStringHelp =
    "A connection string of the pairs, in their order; each value reads back as itself whatever it holds "
    "(braced where it holds ';', '=', a brace, a leading quote or outer blanks).";

// A str as the component's text: refused (ValueError) when it holds a NUL,
// which would end the text early, and (UnicodeEncodeError) when it holds a
// lone surrogate, which UTF-16 cannot carry.
CComVariant TextArgument(py::handle arg, std::size_t position)
{
    const py::object bytes =
        py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(arg.ptr(), "utf-16-le", "strict"));
    if (!bytes) throw py::error_already_set();
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw py::error_already_set();
    std::u16string text(static_cast<std::size_t>(size) / 2, u'\0');
    std::memcpy(text.data(), data, text.size() * 2);
    if (text.find(u'\0') != std::u16string::npos)
        throw py::value_error("argument " + std::to_string(position) +
                              " holds a NUL character, which the component's texts cannot carry");
    return CComVariant(std::u16string_view(text));
}

// An int as a LONG; OverflowError when it does not fit, however large.
CComVariant NumberArgument(py::handle arg, std::size_t position)
{
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(arg.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || number < std::numeric_limits<LONG>::min() || number > std::numeric_limits<LONG>::max()) {
        PyErr_SetString(PyExc_OverflowError,
                        ("argument " + std::to_string(position) + " does not fit a LONG (32 bits)").c_str());
        throw py::error_already_set();
    }
    return CComVariant(static_cast<LONG>(number));
}

// The arguments of one call as VARIANTs, last first as Invoke takes them;
// str as a BSTR, None as a NULL BSTR, int as a LONG.
std::vector<CComVariant> Arguments(const py::args& args)
{
    std::vector<CComVariant> values(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        const py::handle arg = args[i];
        CComVariant& value = values[args.size() - 1 - i];
        if (arg.is_none()) {
            value.vt = VT_BSTR;
            value.bstrVal = nullptr;
        } else if (py::isinstance<py::str>(arg)) {
            value = TextArgument(arg, i + 1);
        } else if (py::isinstance<py::int_>(arg) && !py::isinstance<py::bool_>(arg)) {
            value = NumberArgument(arg, i + 1);
        } else {
            throw py::type_error("argument " + std::to_string(i + 1) + " is a " +
                                 std::string(py::str(arg.get_type().attr("__name__"))) +
                                 "; the component takes str, int or None");
        }
    }
    return values;
}

// An object of the component belongs to the process that made it: a child
// made by fork shares its sessions (a socket, a file's locks) and may have
// been forked while another thread held its locks. There it is neither
// called nor released.
class ProcessBound {
public:
    ProcessBound() : m_process(::getpid()) {}
    bool Foreign() const { return ::getpid() != m_process; }
    void RefuseForeign() const
    {
        if (Foreign())
            throw std::runtime_error("the component's object was made in another process (this one is a fork of "
                                     "it); make a new object in this process");
    }

private:
    pid_t m_process;
};

// A reference that a forked child leaks rather than releases.
class OwnedDispatch {
public:
    explicit OwnedDispatch(CComPtr<IDispatch> object) : m_object(std::move(object)) {}
    OwnedDispatch(const OwnedDispatch&) = default;
    OwnedDispatch& operator=(const OwnedDispatch&) = default;
    ~OwnedDispatch()
    {
        if (m_owner.Foreign()) m_object.Detach();
    }
    IDispatch* get() const
    {
        m_owner.RefuseForeign();
        return m_object.get();
    }
    CComPtr<IDispatch> share() const
    {
        m_owner.RefuseForeign();
        return m_object;
    }
    explicit operator bool() const { return static_cast<bool>(m_object); }
    void Release()
    {
        if (m_owner.Foreign())
            m_object.Detach();
        else
            m_object.Release();
    }

private:
    ProcessBound m_owner;
    CComPtr<IDispatch> m_object;
};

py::object Result(const VARIANT& result)
{
    switch (result.vt) {
    case VT_EMPTY: return py::none();
    case VT_BSTR: return py::cast(std::u16string(result.bstrVal ? result.bstrVal : u"", SysStringLen(result.bstrVal)));
    case VT_I4: return py::int_(result.lVal);
    case VT_I2: return py::int_(result.iVal);
    case VT_BOOL: return py::bool_(result.boolVal != VARIANT_FALSE);
    default: return py::none();
    }
}

// A failing HRESULT, with the error info the failure left, described as
// the command and the server describe it.
CallFailure FromErrorInfo(HRESULT hr) { return Described(TakeCallFailure(hr)); }

// valmorin.ComError, set when the module loads and kept for the life of
// the interpreter.
PyObject* g_comError = nullptr;

[[noreturn]] void Raise(const CallFailure& failure)
{
    const unsigned code = static_cast<unsigned>(failure.hr);
    const py::object type = py::reinterpret_borrow<py::object>(g_comError);
    const py::object error = type(code, failure.description, failure.source, failure.sqlState);
    PyErr_SetObject(g_comError, error.ptr());
    throw py::error_already_set();
}

// A method of an object, bound to it; called as f(*args).
class Method {
public:
    Method(CComPtr<IDispatch> object, DISPID id, std::string name)
        : m_object(std::move(object)), m_id(id), m_name(std::move(name))
    {}

    py::object Call(const py::args& args) const
    {
        IDispatch* object = m_object.get();
        std::vector<CComVariant> values = Arguments(args);
        DISPPARAMS params{values.empty() ? nullptr : values.data(), nullptr, static_cast<UINT>(values.size()), 0};
        CComVariant result;
        EXCEPINFO exception{};
        UINT argErr = 0;
        HRESULT hr = S_OK;
        {
            const py::gil_scoped_release unlocked;
            hr = object->Invoke(m_id, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, &exception, &argErr);
        }
        CComBSTR source, description; // the exception's texts, freed here
        source.Attach(exception.bstrSource);
        description.Attach(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        // The error object stays the thread's beside EXCEPINFO, with the
        // store's SQLSTATE that EXCEPINFO has no room for.
        if (hr == DISP_E_EXCEPTION)
            Raise(Described({exception.scode, std::u16string(source.view()), std::u16string(description.view()),
                             TakeCallFailure(exception.scode).sqlState}));
        if (hr == DISP_E_BADPARAMCOUNT)
            throw py::type_error(m_name + "() does not take " + std::to_string(values.size()) + " argument(s)");
        if (FAILED(hr)) Raise(FromErrorInfo(hr));
        return Result(result);
    }

    std::string Repr() const { return "<valmorin method " + m_name + ">"; }

private:
    OwnedDispatch m_object;
    DISPID m_id;
    std::string m_name;
};

// One object of the component. Released when Python drops it, or at the
// end of a with block.
class DispatchObject {
public:
    explicit DispatchObject(CComPtr<IDispatch> object) : m_object(std::move(object)) {}

    Method Attribute(const std::string& name)
    {
        CComPtr<IDispatch> object = Held();
        const std::u16string wide = valmorin::text::Widen(name);
        auto* text = const_cast<LPOLESTR>(wide.c_str());
        DISPID id = DISPID_UNKNOWN;
        if (FAILED(object->GetIDsOfNames(GUID_NULL, &text, 1, 0, &id)))
            throw py::attribute_error("the component has no method " + name);
        return Method(std::move(object), id, name);
    }

    // The methods the type information names.
    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        CComPtr<ITypeInfo> info;
        if (FAILED(Held()->GetTypeInfo(0, 0, &info)) || !info) return names;
        TYPEATTR* attr = nullptr;
        if (FAILED(info->GetTypeAttr(&attr))) return names;
        const WORD count = attr->cFuncs;
        info->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < count; ++i) {
            FUNCDESC* desc = nullptr;
            if (FAILED(info->GetFuncDesc(i, &desc))) continue;
            CComBSTR name;
            info->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr);
            info->ReleaseFuncDesc(desc);
            names.push_back(valmorin::text::Utf16ToUtf8(name.view()));
        }
        return names;
    }

    void Release() { m_object.Release(); }

private:
    CComPtr<IDispatch> Held() const
    {
        if (!m_object) throw py::value_error("the component's object was released at the end of its with block");
        return m_object.share();
    }

    OwnedDispatch m_object;
};

DispatchObject Dispatch(const std::u16string& progId)
{
    CLSID clsid = GUID_NULL;
    HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
    CComPtr<IDispatch> object;
    if (SUCCEEDED(hr)) {
        const py::gil_scoped_release unlocked;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::iid, reinterpret_cast<void**>(&object));
    }
    if (FAILED(hr)) {
        CallFailure failure = FromErrorInfo(hr);
        failure.description = u"cannot create " + progId + u": " + failure.description;
        Raise(failure);
    }
    return DispatchObject(std::move(object));
}

constexpr const char* kComErrorSource = R"(
class ComError(Exception):
    """A call of the component failed: its HRESULT (unsigned), the
    description and source of the error information it left, and the
    store's SQLSTATE when a store gave one ("" otherwise)."""

    def __init__(self, hresult, description="", source="", sqlstate=""):
        super().__init__(hresult, description, source)
        self.hresult = hresult
        self.description = description
        self.source = source
        self.sqlstate = sqlstate

    def __str__(self):
        return "0x%08X %s: %s" % (self.hresult, self.source or "valmorin", self.description)
)";

// The pairs in their order, built as the platform builds connection
// strings; a key no text can hold is a ValueError.
std::u16string ConnectionStringOf(const py::dict& pairs)
{
    valmorin::ado::ConnectionString built;
    for (const auto& [key, value] : pairs) built = built.With(key.cast<std::u16string>(), value.cast<std::u16string>());
    return std::move(built).Text();
}

} // namespace

PYBIND11_MODULE(valmorin, module)
{
    module.doc() = "The Valmorin translation-table component, late-bound by name as COM clients call it.";
    py::dict scope;
    scope["__name__"] = "valmorin";
    py::exec(kComErrorSource, scope);
    const py::object comError = scope["ComError"];
    g_comError = comError.inc_ref().ptr();
    module.attr("ComError") = comError;

    py::class_<Method>(module, "Method").def("__call__", &Method::Call).def("__repr__", &Method::Repr);
    py::class_<DispatchObject>(module, "Dispatch")
        .def(py::init(&Dispatch), py::arg("progid"), "Creates the component registered under the ProgID.")
        .def("__getattr__", &DispatchObject::Attribute)
        .def("__dir__", &DispatchObject::Names)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](DispatchObject& self, py::args) {
            self.Release();
            return false;
        });
    module.def(
        "Valmorin", [] { return Dispatch(u"CValmorin.CValmorin"); },
        "The component, created by its ProgID CValmorin.CValmorin.");
    module.def("connection_string", &ConnectionStringOf, py::arg("pairs"), kConnectionStringHelp);
}
