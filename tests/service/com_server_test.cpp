// The library's entry points, class object and registration, called in the
// built libvalmorin.so itself; activation by ProgID in a process of its own.
#include "platform/com/inproc_server.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "support/component_library.h"
#include "support/environment.h"
#include "support/process.h"
#include "support/component.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>
#include <fstream>
#include <functional>
#include <map>

namespace {

using GetClassObjectEntry = HRESULT (*)(REFCLSID, REFIID, void**);
using PlainEntry = HRESULT (*)();

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object)
{
    return reinterpret_cast<GetClassObjectEntry>(ComponentExport("DllGetClassObject"))(clsid, riid, object);
}
HRESULT CallEntry(const char* name) { return reinterpret_cast<PlainEntry>(ComponentExport(name))(); }

CComPtr<IClassFactory> ClassObject()
{
    CComPtr<IClassFactory> factory;
    EXPECT_EQ(GetClassObject(CLSID_CValmorin, IClassFactory::iid, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
}

// An outer object that counts the references its inner object passes on.
struct Outer final : IUnknown {
    ULONG refs = 1;
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
};

// Fault caught: a foreign class served, or a stale out pointer left behind.
TEST(ComServer, ClassObjectIsOnlyForTheComponentsClass)
{
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetClassObject(IValmorin::iid, IClassFactory::iid, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(GetClassObject(CLSID_CValmorin, IClassFactory::iid, nullptr), E_POINTER);
    EXPECT_NE(ClassObject().get(), nullptr);
}

// Faults caught: the inner IUnknown answered by the outer (or the reverse),
// references of the aggregate's interfaces kept by the inner object, any
// interface but IUnknown accepted with an outer object.
TEST(ComServer, AggregationHandsTheOuterItsInnerUnknown)
{
    Outer outer;
    CComPtr<IUnknown> inner;
    ASSERT_EQ(ClassObject()->CreateInstance(&outer, IUnknown::iid, reinterpret_cast<void**>(&inner)), S_OK);
    CComPtr<IUnknown> again;
    ASSERT_EQ(inner->QueryInterface(IUnknown::iid, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again.get(), inner.get()) << "the inner IUnknown answers for itself";
    {
        IValmorin* valmorin = nullptr;
        ASSERT_EQ(inner->QueryInterface(IValmorin::iid, reinterpret_cast<void**>(&valmorin)), S_OK);
        EXPECT_EQ(outer.refs, 2u) << "the interface's reference is the outer object's";
        EXPECT_EQ(valmorin->QueryInterface(IUnknown::iid, nullptr), E_NOINTERFACE) << "delegated to the outer";
        valmorin->Release();
        EXPECT_EQ(outer.refs, 1u);
    }
    CComPtr<IValmorin> refused;
    EXPECT_EQ(ClassObject()->CreateInstance(&outer, IValmorin::iid, reinterpret_cast<void**>(&refused)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused.get(), nullptr);
}

// Fault caught: the library unloaded under a live object, a held class
// object or a server lock, or never unloadable once they are gone.
TEST(ComServer, CanUnloadOnlyWithoutObjectsOrLocks)
{
    ASSERT_EQ(CallEntry("DllCanUnloadNow"), S_OK);
    struct Case {
        const char* what;
        std::function<std::function<void()>()> take; // returns how to give it back
    };
    const std::vector<Case> cases = {
        {"a standalone object",
         [] {
             auto object = std::make_shared<CComPtr<IValmorin>>();
             ClassObject()->CreateInstance(nullptr, IValmorin::iid, reinterpret_cast<void**>(&*object));
             return [object] { object->Release(); };
         }},
        {"an aggregated object",
         [] {
             auto outer = std::make_shared<Outer>();
             auto inner = std::make_shared<CComPtr<IUnknown>>();
             ClassObject()->CreateInstance(outer.get(), IUnknown::iid, reinterpret_cast<void**>(&*inner));
             return [outer, inner] { inner->Release(); };
         }},
        {"a server lock",
         [] {
             ClassObject()->LockServer(1);
             return [] { ClassObject()->LockServer(0); };
         }},
        {"a held class object",
         [] {
             auto factory = std::make_shared<CComPtr<IClassFactory>>(ClassObject());
             return [factory] { factory->Release(); };
         }},
    };
    for (const Case& c : cases) {
        const auto giveBack = c.take();
        EXPECT_EQ(CallEntry("DllCanUnloadNow"), S_FALSE) << c.what;
        giveBack();
        EXPECT_EQ(CallEntry("DllCanUnloadNow"), S_OK) << c.what;
    }
}

// Threads that each take a reference to the class object and, holding it,
// ask whether the library may go. Fault caught: the module locked after
// the first client reference exists, so that a second thread's reference
// taken meanwhile finds the library unloadable while it holds one.
TEST(ComServer, AReferenceTakenOnAnotherThreadNeverFindsTheLibraryUnloadable)
{
    const CComPtr<IClassFactory> factory = ClassObject();
    IClassFactory* shared = factory.get();
    shared->Release(); // only the module's own reference is left: each AddRef below may be a first
    const auto entry = reinterpret_cast<PlainEntry>(ComponentExport("DllCanUnloadNow"));
    std::atomic<int> unloadable{0};
    std::vector<std::thread> takers;
    for (int t = 0; t < 4; ++t)
        takers.emplace_back([&] {
            for (int i = 0; i < 200000; ++i) {
                shared->AddRef();
                if (entry() == S_OK) ++unloadable;
                shared->Release();
            }
        });
    for (std::thread& taker : takers) taker.join();
    shared->AddRef(); // given back to the CComPtr that releases it
    EXPECT_EQ(unloadable, 0) << "times a held class object found the library unloadable";
}

// The keys below the classes root this account writes.
std::filesystem::path ClassesHive()
{
    return std::filesystem::path(std::getenv("PELKOR_REGISTRY_DIR")) /
           (geteuid() == 0 ? "HKEY_LOCAL_MACHINE.reg" : "HKEY_CURRENT_USER.reg");
}

std::vector<std::string> HiveLines()
{
    std::ifstream in(ClassesHive());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string ReadText(const std::u16string& key, const char16_t* value = nullptr)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != 0) return "<no key>";
    const UniqueHKey owned(opened);
    char16_t data[1024] = {};
    DWORD size = sizeof data;
    if (RegQueryValueExW(opened, value, nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size) != 0)
        return "<no value>";
    const std::u16string text(data);
    return std::string(text.begin(), text.end());
}

// Faults caught: a key or value missing or misspelt, a stale key left by
// registering again, anything registration wrote left by unregistration,
// "CLSID" itself removed.
TEST(ComServer, RegistrationWritesOneSetOfKeysAndTakesThemAllBack)
{
    ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
    const std::vector<std::string> once = HiveLines();
    ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
    EXPECT_EQ(Joined(HiveLines()), Joined(once));

    const std::string library = ComponentLibraryFile().string();
    const std::u16string clsid = u"CLSID\\{3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B}";
    const std::u16string typeLib = u"TypeLib\\{C3E43E09-DA55-479B-8AD1-9279E7CEB3C7}\\1.3";
    const std::u16string iface = u"Interface\\{A817E7A2-43FA-11D0-9E44-00AA00B6770A}";
    const std::u16string iface2 = u"Interface\\{5B0E7F31-9C2A-4D6E-8F14-3A7C2E9B61D4}";
    const std::map<std::pair<std::u16string, std::u16string>, std::string> expected = {
        {{u"CValmorin.CValmorin.1", u""}, "CValmorin Class"},
        {{u"CValmorin.CValmorin.1\\CLSID", u""}, "{3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B}"},
        {{u"CValmorin.CValmorin", u""}, "CValmorin Class"},
        {{u"CValmorin.CValmorin\\CLSID", u""}, "{3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B}"},
        {{u"CValmorin.CValmorin\\CurVer", u""}, "CValmorin.CValmorin.1"},
        {{clsid, u""}, "CValmorin Class"},
        {{clsid + u"\\ProgID", u""}, "CValmorin.CValmorin.1"},
        {{clsid + u"\\VersionIndependentProgID", u""}, "CValmorin.CValmorin"},
        {{clsid + u"\\InprocServer32", u""}, library},
        {{clsid + u"\\InprocServer32", u"ThreadingModel"}, "Both"},
        {{clsid + u"\\TypeLib", u""}, "{C3E43E09-DA55-479B-8AD1-9279E7CEB3C7}"},
        {{typeLib, u""}, "ValmorinLib"},
        {{typeLib + u"\\0\\win64", u""}, library},
        {{typeLib + u"\\FLAGS", u""}, "0"},
        {{typeLib + u"\\HELPDIR", u""}, ComponentLibraryFile().parent_path().string() + "/"},
        {{iface, u""}, "IValmorin"},
        {{iface + u"\\TypeLib", u""}, "{C3E43E09-DA55-479B-8AD1-9279E7CEB3C7}"},
        {{iface + u"\\TypeLib", u"Version"}, "1.3"},
        {{iface + u"\\ProxyStubClsid32", u""}, "{00020424-0000-0000-C000-000000000046}"},
        {{iface2, u""}, "IValmorin2"},
        {{iface2 + u"\\TypeLib", u""}, "{C3E43E09-DA55-479B-8AD1-9279E7CEB3C7}"},
        {{iface2 + u"\\ProxyStubClsid32", u""}, "{00020424-0000-0000-C000-000000000046}"},
    };
    for (const auto& [where, data] : expected)
        EXPECT_EQ(ReadText(where.first, where.second.empty() ? nullptr : where.second.c_str()), data)
            << std::string(where.first.begin(), where.first.end());
    EXPECT_EQ(ReadText(clsid + u"\\Programmable"), "<no value>") << "an empty key";

    ASSERT_EQ(CallEntry("DllUnregisterServer"), S_OK);
    const std::string text = Joined(HiveLines());
    for (const char* gone : {"CValmorin", "3DE4BFCA", "C3E43E09", "A817E7A2"})
        EXPECT_EQ(text.find(gone), std::string::npos) << gone << " in\n" << text;
    EXPECT_NE(text.find("Classes\\CLSID]"), std::string::npos) << text;
    EXPECT_EQ(CallEntry("DllUnregisterServer"), MakeHResult(0x8002801C)) << "nothing left to unregister";
}

CComPtr<IValmorin> LibraryComponent()
{
    CComPtr<IValmorin> component;
    EXPECT_EQ(ClassObject()->CreateInstance(nullptr, IValmorin::iid, reinterpret_cast<void**>(&component)), S_OK);
    return component;
}

// Faults caught: the registrar methods failing for lack of a registered
// type library, refusing a foreign CLSID, or listing components that have
// no description.
TEST(ComServer, RegistrarMethodsTouchOnlyTheTypeLibrary)
{
    const CComPtr<IValmorin> component = LibraryComponent();
    EXPECT_EQ(component->UnregisterAll(), S_OK) << "nothing registered";
    EXPECT_EQ(component->RegisterComponent(CComBSTR(u"{00000000-0000-0000-0000-000000000001}").get()), S_OK);
    EXPECT_EQ(ReadText(u"TypeLib\\{C3E43E09-DA55-479B-8AD1-9279E7CEB3C7}\\1.3"), "ValmorinLib");
    EXPECT_EQ(ReadText(u"CLSID\\{3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B}"), "<no key>");
    EXPECT_EQ(component->UnregisterComponent(CComBSTR(u"not a clsid").get()), S_OK);
    EXPECT_EQ(component->UnregisterAll(), S_OK);
    EXPECT_EQ(ReadText(u"TypeLib\\{C3E43E09-DA55-479B-8AD1-9279E7CEB3C7}\\1.3"), "<no key>");

    SAFEARRAY* clsids = nullptr;
    SAFEARRAY* descriptions = nullptr;
    EXPECT_EQ(component->GetComponents(&clsids, nullptr), E_POINTER);
    ASSERT_EQ(component->GetComponents(&clsids, &descriptions), S_OK);
    for (SAFEARRAY* list : {clsids, descriptions}) {
        LONG lower = -1, upper = 0;
        SafeArrayGetLBound(list, 1, &lower);
        SafeArrayGetUBound(list, 1, &upper);
        EXPECT_EQ(lower, 0);
        EXPECT_EQ(upper, -1) << "empty";
        SafeArrayDestroy(list);
    }
}

// Faults caught: activation that does not follow the registry to the
// library, a ProgID not followed to its current version, the command
// needing a registration to work at all.
TEST(ComServer, TheCommandCreatesTheComponentByProgIdOrBesideItself)
{
    TestStore store;
    store.Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'Pays');"
              "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'FR', 'France');");
    const std::string connection = valmorin::text::Utf16ToUtf8(store.connectionString());
    auto run = [&](std::vector<std::string> args) { return RunProcess(args); };

    const ProcessResult unregistered = run({VALMORIN_CLI, "--version"});
    EXPECT_EQ(unregistered.exitCode, 0);
    EXPECT_NE(unregistered.out.find("(not registered"), std::string::npos) << unregistered.out;
    EXPECT_EQ(run({VALMORIN_CLI, "--connection", connection, "translate", "Pays", "FR"}).out, "France\n");

    TempDir elsewhere; // registered from a copy, so that the registry decides which file serves
    const std::filesystem::path copy = elsewhere / "libvalmorin.so";
    std::filesystem::copy_file(std::filesystem::canonical(ComponentLibraryFile()), copy);
    const ProcessResult registered = run({VALMORIN_CLI, "regsvr", copy.string()});
    ASSERT_EQ(registered.exitCode, 0) << registered.err;
    EXPECT_EQ(registered.out, "DllRegisterServer in " + copy.string() + " succeeded.\n");
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(kValmorinProgId, &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_CValmorin);
    EXPECT_EQ(run({VALMORIN_CLI, "--version"}).out.find("from " + copy.string() + " (registered)") != std::string::npos,
              true);
    EXPECT_EQ(run({VALMORIN_CLI, "--connection", connection, "translate", "Pays", "FR"}).out, "France\n");

    EXPECT_EQ(run({VALMORIN_CLI, "regsvr", "/u", "/s", copy.string()}).exitCode, 0);
    EXPECT_EQ(run({VALMORIN_CLI, "regsvr", "/u", copy.string()}).exitCode, 5) << "nothing left to unregister";
    EXPECT_EQ(run({VALMORIN_CLI, "regsvr", (elsewhere / "missing.so").string()}).exitCode, 3);
    EXPECT_EQ(run({VALMORIN_CLI, "regsvr", "/s"}).exitCode, 1);
    EXPECT_EQ(CLSIDFromProgID(kValmorinProgId, &clsid), CO_E_CLASSSTRING);
}

// A module at a path of 260 characters or more: registration refuses it
// (0x8007007A) and writes nothing; unregistration takes its type library
// away first and only then fails at the server's keys, as the platform's
// registrar does.
// Fault caught: unregistration failing before it touches the type library,
// which then stays registered for a module that can never remove it.
TEST(ComServer, AModuleAtALongPathUnregistersItsTypeLibraryThenFails)
{
    TempDir base;
    std::filesystem::path folder = base.path();
    while (folder.string().size() < 270) folder /= std::string(60, 'd');
    std::filesystem::create_directories(folder);
    const std::filesystem::path copy = folder / "libvalmorin.so";
    std::filesystem::copy_file(std::filesystem::canonical(ComponentLibraryFile()), copy);
    const std::string typeLib = "TypeLib\\{C3E43E09-DA55-479B-8AD1-9279E7CEB3C7}";

    ProcessResult registered = RunProcess({VALMORIN_CLI, "regsvr", copy.string()});
    EXPECT_EQ(registered.exitCode, 5);
    EXPECT_NE(registered.err.find("0x8007007a"), std::string::npos) << registered.err;
    EXPECT_EQ(Joined(HiveLines()).find("CValmorin"), std::string::npos) << "nothing written";

    {
        CComPtr<IClassFactory> factory;
        ASSERT_EQ(CoGetClassObjectFromLibrary(valmorin::text::Widen(copy.string()), CLSID_CValmorin, IClassFactory::iid,
                                              reinterpret_cast<void**>(&factory)),
                  S_OK);
        CComPtr<IValmorin> component;
        ASSERT_EQ(factory->CreateInstance(nullptr, IValmorin::iid, reinterpret_cast<void**>(&component)), S_OK);
        ASSERT_EQ(component->RegisterAll(), S_OK);
    }
    ASSERT_NE(Joined(HiveLines()).find(typeLib), std::string::npos);
    const ProcessResult unregistered = RunProcess({VALMORIN_CLI, "regsvr", "/u", copy.string()});
    EXPECT_EQ(unregistered.exitCode, 5);
    EXPECT_NE(unregistered.err.find("0x8007007a"), std::string::npos) << unregistered.err;
    EXPECT_EQ(Joined(HiveLines()).find(typeLib), std::string::npos) << "the type library is gone";
}

// A server library that does not load says why: the loader's reason comes
// with ERROR_MOD_NOT_FOUND as the error info.
// Fault caught: 0x8007007E alone, for a file that exists but is no library.
TEST(ComServer, AServerThatDoesNotLoadSaysWhy)
{
    TempDir folder;
    const std::filesystem::path notElf = folder / "libnotelf.so";
    std::ofstream(notElf) << std::string(256, '#') << "\n"; // long enough for the loader to read a header
    CComPtr<IClassFactory> factory;
    EXPECT_EQ(CoGetClassObjectFromLibrary(valmorin::text::Widen(notElf.string()), CLSID_CValmorin, IClassFactory::iid,
                                          reinterpret_cast<void**>(&factory)),
              HRESULT_FROM_WIN32(126));
    CComPtr<IErrorInfo> info;
    CComBSTR description;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    info->GetDescription(&description);
    const std::string text = valmorin::text::Utf16ToUtf8(description.view());
    EXPECT_NE(text.find(notElf.string()), std::string::npos) << text;
    EXPECT_NE(text.find("ELF"), std::string::npos) << text;
}

// regsvr over a registry file that cannot be read names the file and why,
// as reg does.
// Fault caught: "failed with error code 0x800703f1" and nothing more.
TEST(ComServer, RegsvrNamesTheHiveFileThatStoppedIt)
{
    std::ofstream(ClassesHive()) << "not a hive\n";
    const ProcessResult registered = RunProcess({VALMORIN_CLI, "regsvr", ComponentLibraryFile().string()});
    std::filesystem::remove(ClassesHive());
    EXPECT_EQ(registered.exitCode, 5);
    EXPECT_NE(registered.err.find("0x800703f1"), std::string::npos) << registered.err;
    EXPECT_NE(registered.err.find(ClassesHive().string() + ": "), std::string::npos) << registered.err;
}

// Fault caught: a library loaded again for every class object, or never
// given back once it allows it.
TEST(ComServer, OneLoadPerLibraryUntilItIsUnused)
{
    const std::u16string library = valmorin::text::Widen(ComponentLibraryFile().string());
    CComPtr<IClassFactory> first, second;
    ASSERT_EQ(
        CoGetClassObjectFromLibrary(library, CLSID_CValmorin, IClassFactory::iid, reinterpret_cast<void**>(&first)),
        S_OK);
    ASSERT_EQ(
        CoGetClassObjectFromLibrary(library, CLSID_CValmorin, IClassFactory::iid, reinterpret_cast<void**>(&second)),
        S_OK);
    EXPECT_EQ(first.get(), second.get()) << "one library, one class object";
    EXPECT_EQ(CoGetClassObjectFromLibrary(u"/nonexistent/libvalmorin.so", CLSID_CValmorin, IClassFactory::iid,
                                          reinterpret_cast<void**>(&second)),
              HRESULT_FROM_WIN32(126));
}

} // namespace
