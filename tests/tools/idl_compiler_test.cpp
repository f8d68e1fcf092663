#include "tools/idlc/idl_parser.h"

#include <gtest/gtest.h>

namespace {

// A library whose interface has one method, A, at line 7; the methods under
// test follow it from line 8.
constexpr std::string_view kHead = R"([uuid(C3E43E09-DA55-479B-8AD1-9279E7CEB3C7), version(1.3)]
library L
{
    [object, uuid(A817E7A2-43FA-11D0-9E44-00AA00B6770A), dual]
    interface I : IDispatch
    {
        [id(1), helpstring("first")] HRESULT A([in] BSTR a, [out, retval] LONG* r);
)";
constexpr std::string_view kTail = R"(    };
    [uuid(3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B)]
    coclass C { [default] interface I; };
};
)";

idlc::Library Parse(std::string_view methods)
{
    return idlc::ParseIdl(std::string(kHead) + std::string(methods) + std::string(kTail), "x.idl");
}

TEST(IdlCompiler, ReadsTheLibraryAroundTheMethods)
{
    const idlc::Library library = Parse("[id(2)] HRESULT B([out] SAFEARRAY(BSTR)* list);\n");
    EXPECT_EQ(library.major, 1);
    EXPECT_EQ(library.minor, 3);
    ASSERT_EQ(library.interfaces[0].methods.size(), 2u);
    EXPECT_EQ(library.interfaces[0].methods[0].help, "first");
    EXPECT_EQ(library.interfaces[0].methods[0].parameters[1].direction, idl::Direction::OutRetval);
    EXPECT_EQ(library.interfaces[0].methods[1].parameters[0].type, idl::Type::BstrArrayPointer);
    EXPECT_EQ(library.coclassUuid, "3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B");
}

// A second interface extends the first: its dispatch identifiers continue
// the first's, and IDispatch answers the methods of both by the last one.
constexpr std::string_view kExtended = R"([uuid(C3E43E09-DA55-479B-8AD1-9279E7CEB3C7), version(1.3)]
library L
{
    [object, uuid(A817E7A2-43FA-11D0-9E44-00AA00B6770A), dual]
    interface I : IDispatch
    {
        [id(1)] HRESULT A([in] BSTR a, [out, retval] LONG* r);
    };
    [object, uuid(5B0E7F31-9C2A-4D6E-8F14-3A7C2E9B61D4), dual]
    interface J : I
    {
        %s
    };
    [uuid(3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B)]
    coclass C { [default] interface I; %s };
};
)";

std::string Extended(std::string_view methods, std::string_view coclass = "interface J;")
{
    std::string text(kExtended);
    text.replace(text.find("%s"), 2, methods);
    text.replace(text.find("%s"), 2, coclass);
    return text;
}

TEST(IdlCompiler, AnExtendingInterfaceContinuesTheFirstOne)
{
    const idlc::Library library =
        idlc::ParseIdl(Extended("[id(2)] HRESULT B([in] BSTR b, [in] LONG n, [out, retval] BSTR* r);"), "x.idl");
    ASSERT_EQ(library.interfaces.size(), 2u);
    EXPECT_EQ(library.interfaces[1].base, "I");
    EXPECT_EQ(library.dispatchInterface().name, "J");
    const auto methods = library.MethodsOf(library.dispatchInterface());
    ASSERT_EQ(methods.size(), 2u);
    EXPECT_EQ(methods[0].second->name, "A");
    EXPECT_EQ(methods[1].second->parameters[1].type, idl::Type::Long);

    const struct {
        std::string text;
        std::string_view says;
    } refused[] = {
        {Extended("[id(1)] HRESULT B();"), "dispid 1 of B is taken by A"},
        {Extended("[id(3)] HRESULT B();"), "dispid 3 of B is out of order"},
        {Extended("[id(2)] HRESULT A();"), "A is declared already"},
        {Extended("[id(2)] HRESULT B();", ""), "coclass C does not implement J"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.says);
        try {
            idlc::ParseIdl(c.text, "x.idl");
            ADD_FAILURE() << "accepted";
        } catch (const idlc::IdlError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

// Each refusal stands for a table that would call the wrong slot, or a
// declaration that would not say what the IDL says.
TEST(IdlCompiler, RefusesWhatTheTableCannotHoldWithFileAndLine)
{
    const struct {
        std::string_view methods;
        std::string_view where;
        std::string_view says;
    } cases[] = {
        {"[id(3)] HRESULT B();\n", "x.idl:8: ", "dispid 3 of B is out of order"},
        {"\n[id(1)] HRESULT B();\n", "x.idl:9: ", "dispid 1 of B is taken by A (line 7)"},
        {"[id(2)] HRESULT a();\n", "x.idl:8: ", "a is declared already, at line 7"},
        {"[id(2)] HRESULT Release();\n", "x.idl:8: ", "IDispatch's own"},
        {"[id(2)] HRESULT B([in] VARIANT v);\n", "x.idl:8: ", "unknown type 'VARIANT'"},
        {"[id(2)] HRESULT B([in] BSTR* v);\n", "x.idl:8: ", "an [in] parameter is a BSTR"},
        {"[id(2)] HRESULT B([out, retval] BSTR* r,\n [in] BSTR v);\n", "x.idl:9: ", "which must come last"},
        {"[id(2)] HRESULT B([in] BSTR v, [in] BSTR V);\n", "x.idl:8: ", "taken by an earlier parameter"},
        {"[id(2), propget] HRESULT B();\n", "x.idl:8: ", "'propget' is no attribute of a method"},
        {"[id(2)] HRESULT B()\n", "x.idl:9: ", "expected ';', found '}'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.methods);
        try {
            Parse(c.methods);
            ADD_FAILURE() << "accepted";
        } catch (const idlc::IdlError& e) {
            const std::string message = e.what();
            EXPECT_TRUE(message.starts_with(c.where)) << message;
            EXPECT_NE(message.find(c.says), std::string::npos) << message;
        }
    }
}

} // namespace
