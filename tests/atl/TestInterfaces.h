// Small interfaces and a lifecycle record for the tests of the ATL layer.
#pragma once

#include <atlbase.h>
#include <atlcom.h>

#include <string>
#include <vector>

struct IFoo : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Foo(int* pn) = 0;
};
__CRT_UUID_DECL(IFoo, 0x0654C608, 0x9F49, 0x474A, 0x87, 0xB9, 0x2E, 0xE5, 0xA5, 0x6E, 0x57, 0xDD)

struct IBar : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Bar(int* pn) = 0;
};
__CRT_UUID_DECL(IBar, 0xADDD70F7, 0x6A59, 0x4B3F, 0xA6, 0x97, 0x75, 0x1C, 0x1E, 0x07, 0x7E, 0x21)

// Two interfaces with a common base, as IPersistStream and IPersistFile share IPersist.
struct IBase : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Base() = 0;
};
__CRT_UUID_DECL(IBase, 0x26DF201D, 0x324F, 0x4B77, 0xB1, 0x14, 0x8A, 0xC5, 0x05, 0x0C, 0x0D, 0xD3)

struct IDerivedA : public IBase
{
    virtual HRESULT STDMETHODCALLTYPE A() = 0;
};
__CRT_UUID_DECL(IDerivedA, 0xA161B682, 0x3AFF, 0x4327, 0xB9, 0x88, 0x06, 0x79, 0xDA, 0x1E, 0xFD, 0x63)

struct IDerivedB : public IBase
{
    virtual HRESULT STDMETHODCALLTYPE B() = 0;
};
__CRT_UUID_DECL(IDerivedB, 0xCE7E4F4C, 0xE4BC, 0x44EF, 0xA8, 0xA9, 0x14, 0x00, 0x35, 0xF3, 0xBE, 0xB6)

// Interfaces of a tear-off.
struct ITear : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Tear(IUnknown** ppOwner) = 0;
};
__CRT_UUID_DECL(ITear, 0x24C1B81A, 0x5616, 0x4EE6, 0x9A, 0x6E, 0x98, 0xE2, 0x3F, 0xAA, 0x6C, 0xCC)

struct ITearExtra : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Extra() = 0;
};
__CRT_UUID_DECL(ITearExtra, 0x8211CC96, 0x3939, 0x48DC, 0x80, 0x31, 0x2C, 0x40, 0x0A, 0x86, 0xBC, 0xBF)

// An identifier that no test object offers.
inline const IID IID_INowhere = {0x4B53E518, 0xF0FB, 0x497C, {0xB3, 0x23, 0xC5, 0x6B, 0xA8, 0xF0, 0xDD, 0x49}};

// What happened to the test objects, in order ("ctor", "FinalConstruct",
// "FinalRelease", "dtor", each with the object's name).
inline std::vector<std::string> g_events;

// Records its object's construction and destruction steps.
class CRecorded
{
public:
    explicit CRecorded(const char* pszName) : m_strName(pszName) { g_events.push_back(m_strName + " ctor"); }
    ~CRecorded() { g_events.push_back(m_strName + " dtor"); }
    void Record(const char* pszWhat) { g_events.push_back(m_strName + " " + pszWhat); }

    std::string m_strName;
};
