#include <gtest/gtest.h>

#include "platform/com/Com.h"

// Interface identifiers are declared at namespace scope (their IID trait
// must be specialised there).
MARLIN_DEFINE_IID(ITestThing, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);
MARLIN_DEFINE_GUID(CLSID_TestThing, 0xABCDEF01, 0x2345, 0x6789, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89);

struct ITestThing : IUnknown
{
    virtual int Value() = 0;

protected:
    ~ITestThing() = default;
};

namespace {

class CThing final : public CUnknown, public ITestThing
{
public:
    CThing() : CUnknown("CThing") {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_ITestThing) return GetInterface(static_cast<ITestThing*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    int Value() override { return 42; }
};

}  // namespace

TEST(Guid, FormatsAndParsesTheRegistryTextForm)
{
    auto parsed = GuidFromString(std::string_view("171252A0-8820-4AFE-9DF8-5C92B2D66B04"));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Data1, 0x171252A0u);
    EXPECT_EQ(parsed->Data2, 0x8820);
    EXPECT_EQ(parsed->Data3, 0x4AFE);
    const uint8_t bytes[8] = {0x9D, 0xF8, 0x5C, 0x92, 0xB2, 0xD6, 0x6B, 0x04};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(parsed->Data4[i], bytes[i]);
    EXPECT_EQ(GuidToString(*parsed), "171252A0-8820-4AFE-9DF8-5C92B2D66B04");
    // Lower case and braces are read too; the text form is upper case.
    auto lower = GuidFromString(std::string_view("{ee30215d-164f-4a92-a4eb-9d4c13390f9f}"));
    ASSERT_TRUE(lower);
    EXPECT_EQ(GuidToString(*lower), "EE30215D-164F-4A92-A4EB-9D4C13390F9F");
    EXPECT_EQ(GuidFromString(std::u16string_view(u"E8E73B6B-4CB3-44A4-BE99-4F7BCB96E491")),
              GuidFromString(std::string_view("E8E73B6B-4CB3-44A4-BE99-4F7BCB96E491")));
}

TEST(Guid, RefusesMalformedText)
{
    for (const char* bad : {"", "171252A0-8820-4AFE-9DF8-5C92B2D66B0", "171252A0-8820-4AFE-9DF8-5C92B2D66B045",
                            "171252A0x8820-4AFE-9DF8-5C92B2D66B04", "171252G0-8820-4AFE-9DF8-5C92B2D66B04",
                            "{171252A0-8820-4AFE-9DF8-5C92B2D66B04", "171252A0-8820-4AFE-9DF8-5C92B2D66B-4"})
        EXPECT_FALSE(GuidFromString(std::string_view(bad))) << bad;
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(u"171252A0-8820-4AFE-9DF8-5C92B2D66B04", &clsid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromString(u"{171252A0-8820-4AFE-9DF8-5C92B2D66B04}", &clsid), S_OK);
    OLECHAR text[39];
    EXPECT_EQ(StringFromGUID2(clsid, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{171252A0-8820-4AFE-9DF8-5C92B2D66B04}");
    EXPECT_EQ(StringFromGUID2(clsid, text, 38), 0);
}

TEST(HResult, WindowsValuesAndTests)
{
    EXPECT_EQ(static_cast<uint32_t>(E_INVALIDARG), 0x80070057u);
    EXPECT_EQ(static_cast<uint32_t>(E_ACCESSDENIED), 0x80070005u);
    EXPECT_EQ(static_cast<uint32_t>(E_NOINTERFACE), 0x80004002u);
    EXPECT_EQ(static_cast<uint32_t>(E_FAIL), 0x80004005u);
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_FAIL));
    EXPECT_FALSE(FAILED(S_OK));
}

TEST(Unknown, ReferenceCountingAndQueryInterface)
{
    long baseline = CBaseObject::ObjectsActive();
    {
        ComPtr<CThing> thing(new CThing);
        EXPECT_EQ(CBaseObject::ObjectsActive(), baseline + 1);
        ComPtr<ITestThing> itf;
        ASSERT_EQ(thing.As(&itf), S_OK);
        EXPECT_EQ(itf->Value(), 42);
        ComPtr<IUnknown> a, b;
        itf.As(&a);
        thing.As(&b);
        EXPECT_EQ(a.Get(), b.Get());  // one identity
        ComPtr<IClassFactory> none;
        EXPECT_EQ(thing.As(&none), E_NOINTERFACE);
        EXPECT_FALSE(none);
        ComPtr<ITestThing> moved = std::move(itf);
        EXPECT_FALSE(itf);
        ComPtr<ITestThing> copy = moved;
        EXPECT_EQ(copy.Get(), moved.Get());
    }
    EXPECT_EQ(CBaseObject::ObjectsActive(), baseline);
}

TEST(ClassRegistry, CreatesRegisteredClassesOnly)
{
    long baseline = CBaseObject::ObjectsActive();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    ComPtr<ITestThing> thing;
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC, IID_ITestThing, thing.ReleaseAndGetVoidAddress()),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(thing);
    DWORD cookie = 0;
    {
        ComPtr<CClassFactory> factory(new CClassFactory([](HRESULT*) -> CUnknown* { return new CThing; }));
        ASSERT_EQ(CoRegisterClassObject(CLSID_TestThing, static_cast<IClassFactory*>(factory.Get()), CLSCTX_INPROC_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie),
                  S_OK);
    }
    ASSERT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC, IID_ITestThing, thing.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_EQ(thing->Value(), 42);
    // No aggregation; a refused interface leaves no object behind.
    ComPtr<ITestThing> other;
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, thing.Get(), CLSCTX_INPROC, IID_ITestThing,
                               other.ReleaseAndGetVoidAddress()),
              CLASS_E_NOAGGREGATION);
    long withOne = CBaseObject::ObjectsActive();
    ComPtr<IClassFactory> wrong;
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC, IID_IClassFactory,
                               wrong.ReleaseAndGetVoidAddress()),
              E_NOINTERFACE);
    EXPECT_EQ(CBaseObject::ObjectsActive(), withOne);
    thing = nullptr;
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC, IID_ITestThing, thing.ReleaseAndGetVoidAddress()),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CBaseObject::ObjectsActive(), baseline);
    CoUninitialize();
    CoUninitialize();
}

TEST(RunningObjectTable, RegisterLookUpAndRevoke)
{
    long baseline = CBaseObject::ObjectsActive();
    {
        ComPtr<IRunningObjectTable> rot;
        ASSERT_EQ(GetRunningObjectTable(0, rot.ReleaseAndGetAddressOf()), S_OK);
        ComPtr<IMoniker> moniker;
        ASSERT_EQ(CreateItemMoniker(u"!", u"FilterGraph 0000beef pid 00000001", moniker.ReleaseAndGetAddressOf()), S_OK);
        LPOLESTR name = nullptr;
        moniker->GetDisplayName(nullptr, nullptr, &name);
        EXPECT_EQ(std::u16string(name), u"!FilterGraph 0000beef pid 00000001");
        CoTaskMemFree(name);

        ComPtr<CThing> thing(new CThing);
        DWORD cookie = 0;
        ASSERT_EQ(rot->Register(0, static_cast<ITestThing*>(thing.Get()), moniker.Get(), &cookie), S_OK);
        EXPECT_NE(cookie, 0u);
        thing = nullptr;  // the table keeps the object alive
        ComPtr<IUnknown> found;
        ASSERT_EQ(RotGetObjectByDisplayNameForTesting(u"!FilterGraph 0000beef pid 00000001",
                                                      found.ReleaseAndGetAddressOf()),
                  S_OK);
        EXPECT_EQ(found.As<ITestThing>()->Value(), 42);
        EXPECT_EQ(rot->IsRunning(moniker.Get()), S_OK);
        found = nullptr;
        EXPECT_EQ(rot->Revoke(cookie), S_OK);
        EXPECT_EQ(rot->Revoke(cookie), E_INVALIDARG);
        EXPECT_EQ(rot->Revoke(0), E_INVALIDARG);
        EXPECT_EQ(RotGetObjectByDisplayNameForTesting(u"!FilterGraph 0000beef pid 00000001",
                                                      found.ReleaseAndGetAddressOf()),
                  MK_E_UNAVAILABLE);
        EXPECT_EQ(rot->IsRunning(moniker.Get()), S_FALSE);
    }
    EXPECT_EQ(CBaseObject::ObjectsActive(), baseline);
}
