// IPersistStream from a persist map: stream layout, dirty flag, argument
// checks, all-or-nothing loading from short or failing streams, write
// failures, members that persist themselves, and the object lock.
#include <Persist.h>
#include <Wrappers.h>

#include <gtest/gtest.h>

#include <thread>

#include "StubStream.h"
#include "TestLog.h"

namespace {

const CLSID CLSID_Switches = { 0x5A0C71E2, 0x3B94, 0x4C1D, { 0x9E, 0x27, 0x61, 0xD8, 0x0F, 0xB3, 0x4A, 0x15 } };
const CLSID CLSID_Composite = { 0x5A0C71E3, 0x3B94, 0x4C1D, { 0x9E, 0x27, 0x61, 0xD8, 0x0F, 0xB3, 0x4A, 0x15 } };

// A base with a table and data of its own, so that the persisted members lie
// behind other parts of the object, as in a filter class.
class CFiller
{
public:
    virtual ~CFiller() = default;
    virtual int Kind() { return 0; }
    BYTE m_abFiller[40] = {};
};

// Three 4-byte switches persisted like the spy filter's (defaults 1, 1, 0),
// with unpersisted fields between them.
class ATL_NO_VTABLE CSwitches : public CComObjectRootEx<CComMultiThreadModel>,
                                public CComCoClass<CSwitches, &CLSID_Switches>,
                                public CFiller,
                                public IPersistStreamImpl<CSwitches>
{
public:
    BEGIN_COM_MAP(CSwitches)
        COM_INTERFACE_ENTRY(IPersistStream)
        COM_INTERFACE_ENTRY2(IPersist, IPersistStream)
    END_COM_MAP()

    BEGIN_PERSIST_MAP(CSwitches)
        PERSIST_ENTRY(m_bDynReconnect)
        PERSIST_ENTRY(m_bMTEnumRedir)
        PERSIST_ENTRY(m_bForcePassthru)
    END_PERSIST_MAP()

    LPCWSTR GetTraceName() override { return L"[Switches]"; }

    DWORD m_nInstance = 7;
    DWORD m_bDynReconnect = 1;
    DWORD m_bMTEnumRedir = 1;
    ULONGLONG m_llSamples = 0;
    DWORD m_bForcePassthru = 0;
    DWORD m_dwAfter = 0x5A5A5A5A;
};

// A plain member, a member that persists itself through another object, and
// a second plain member.
class ATL_NO_VTABLE CComposite : public CComObjectRootEx<CComMultiThreadModel>,
                                 public CComCoClass<CComposite, &CLSID_Composite>,
                                 public IPersistStreamImpl<CComposite>
{
public:
    BEGIN_COM_MAP(CComposite)
        COM_INTERFACE_ENTRY(IPersistStream)
    END_COM_MAP()

    BEGIN_PERSIST_MAP(CComposite)
        PERSIST_ENTRY(m_wHead)
        PERSIST_ENTRY_STREAM(m_spChild, GetChild)
        PERSIST_ENTRY(m_dwTail)
    END_PERSIST_MAP()

    LPCWSTR GetTraceName() override { return L"[Composite]"; }

    // What the member's function answers; S_OK hands out the child.
    static inline HRESULT s_hrGetChild = S_OK;
    static HRESULT WINAPI GetChild(void* pMember, IPersistStream** ppPersist)
    {
        *ppPersist = NULL;
        if (s_hrGetChild != S_OK)
            return s_hrGetChild;
        return static_cast<CComPtr<IPersistStream>*>(pMember)->CopyTo(ppPersist);
    }

    WORD m_wHead = 0x1122;
    CComPtr<IPersistStream> m_spChild;
    DWORD m_dwTail = 0x33445566;
};

template <class X>
CComPtr<CComObject<X>> Make()
{
    CComPtr<CComObject<X>> sp;
    CComObject<X>* p = NULL;
    EXPECT_EQ(S_OK, CreateObject(&p));
    sp.Attach(p);
    return sp;
}

struct Values
{
    DWORD a, b, c;
};

void ExpectValues(const Values& v, const CSwitches& o, const char* pszWhat)
{
    EXPECT_EQ(v.a, o.m_bDynReconnect) << pszWhat;
    EXPECT_EQ(v.b, o.m_bMTEnumRedir) << pszWhat;
    EXPECT_EQ(v.c, o.m_bForcePassthru) << pszWhat;
}

// The bytes of a memory stream, and the stream's read position.
std::vector<BYTE> BytesOf(IStream* pStm)
{
    STATSTG st = {};
    EXPECT_EQ(S_OK, pStm->Stat(&st, STATFLAG_NONAME));
    HGLOBAL h = NULL;
    EXPECT_EQ(S_OK, GetHGlobalFromStream(pStm, &h));
    const BYTE* pb = static_cast<const BYTE*>(GlobalLock(h));
    std::vector<BYTE> v(pb, pb + st.cbSize.QuadPart);
    GlobalUnlock(h);
    return v;
}

ULONGLONG PositionOf(IStream* pStm)
{
    LARGE_INTEGER liZero = {};
    ULARGE_INTEGER uli = {};
    EXPECT_EQ(S_OK, pStm->Seek(liZero, STREAM_SEEK_CUR, &uli));
    return uli.QuadPart;
}

CComPtr<IStream> StreamOf(const std::vector<BYTE>& bytes)
{
    CComPtr<IStream> spStm;
    EXPECT_EQ(S_OK, CreateStreamOnHGlobal(NULL, TRUE, &spStm));
    if (!bytes.empty())
    {
        EXPECT_EQ(S_OK, spStm->Write(bytes.data(), static_cast<ULONG>(bytes.size()), NULL));
    }
    LARGE_INTEGER liZero = {};
    EXPECT_EQ(S_OK, spStm->Seek(liZero, STREAM_SEEK_SET, NULL));
    return spStm;
}

class PersistStream : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(NULL, COINIT_MULTITHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(PersistStream, SavesTheThreeSwitchesInMapOrderLittleEndian)
{
    CComPtr<CComObject<CSwitches>> sp = Make<CSwitches>();
    CComQIPtr<IPersistStream> spPersist(sp->GetUnknown());
    ASSERT_TRUE(spPersist);

    ULARGE_INTEGER cb = {};
    cb.QuadPart = 999;
    EXPECT_EQ(S_OK, spPersist->GetSizeMax(&cb));
    EXPECT_EQ(12u, cb.QuadPart);

    CComPtr<IStream> spStm = StreamOf({});
    ASSERT_EQ(S_OK, spPersist->Save(spStm, FALSE));
    EXPECT_EQ((std::vector<BYTE>{ 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 }), BytesOf(spStm));

    sp->m_bDynReconnect = 0x04030201;
    sp->m_bMTEnumRedir = 0;
    sp->m_bForcePassthru = 0xA0B0C0D0;
    CComPtr<IStream> spStm2 = StreamOf({});
    ASSERT_EQ(S_OK, spPersist->Save(spStm2, TRUE));
    EXPECT_EQ((std::vector<BYTE>{ 1, 2, 3, 4, 0, 0, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0 }), BytesOf(spStm2));

    CLSID clsid = {};
    EXPECT_EQ(S_OK, spPersist->GetClassID(&clsid));
    EXPECT_EQ(CLSID_Switches, clsid);
}

TEST_F(PersistStream, RoundTripThroughAMemoryStream)
{
    CComPtr<CComObject<CSwitches>> spFrom = Make<CSwitches>();
    spFrom->m_bDynReconnect = 0;
    spFrom->m_bMTEnumRedir = 5;
    spFrom->m_bForcePassthru = 1;
    CComPtr<IStream> spStm = StreamOf({});
    ASSERT_EQ(S_OK, spFrom->Save(spStm, TRUE));
    // What follows the object's bytes is left for the next reader.
    const BYTE abTrailer[3] = { 9, 9, 9 };
    ASSERT_EQ(S_OK, spStm->Write(abTrailer, 3, NULL));
    LARGE_INTEGER liZero = {};
    ASSERT_EQ(S_OK, spStm->Seek(liZero, STREAM_SEEK_SET, NULL));

    CComPtr<CComObject<CSwitches>> spTo = Make<CSwitches>();
    ASSERT_EQ(S_OK, spTo->Load(spStm));
    ExpectValues({ 0, 5, 1 }, *spTo, "loaded");
    EXPECT_EQ(12u, PositionOf(spStm));
    EXPECT_EQ(7u, spTo->m_nInstance);
    EXPECT_EQ(0u, spTo->m_llSamples);
    EXPECT_EQ(0x5A5A5A5Au, spTo->m_dwAfter);
    EXPECT_EQ(S_FALSE, spTo->IsDirty());
}

TEST_F(PersistStream, SaveClearsTheDirtyFlagOnlyWhenAsked)
{
    CComPtr<CComObject<CSwitches>> sp = Make<CSwitches>();
    EXPECT_EQ(S_OK, sp->IsDirty()) << "a new object counts as changed";

    CComPtr<IStream> spStm = StreamOf({});
    ASSERT_EQ(S_OK, sp->Save(spStm, FALSE));
    EXPECT_EQ(S_OK, sp->IsDirty()) << "Save without clearing";
    ASSERT_EQ(S_OK, sp->Save(spStm, TRUE));
    EXPECT_EQ(S_FALSE, sp->IsDirty()) << "Save with clearing";

    sp->m_bDirty = TRUE; // what the class does when it changes a switch
    EXPECT_EQ(S_OK, sp->IsDirty());
    CComPtr<IStream> spIn = StreamOf({ 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0 });
    ASSERT_EQ(S_OK, sp->Load(spIn));
    EXPECT_EQ(S_FALSE, sp->IsDirty()) << "complete Load";

    // A failed Save with clearing leaves the flag as it was.
    sp->m_bDirty = TRUE;
    CStubStream stub;
    stub.SetWrite(1, { STG_E_MEDIUMFULL, 0 });
    EXPECT_EQ(STG_E_MEDIUMFULL, sp->Save(&stub, TRUE));
    EXPECT_EQ(S_OK, sp->IsDirty());
}

TEST_F(PersistStream, NullArgumentsAreRefusedWithAnAssertion)
{
    CComPtr<CComObject<CSwitches>> sp = Make<CSwitches>();
    CRecordingLogScope log;
    EXPECT_EQ(E_POINTER, sp->GetSizeMax(NULL));
    EXPECT_EQ(E_INVALIDARG, sp->Load(NULL));
    EXPECT_EQ(E_INVALIDARG, sp->Save(NULL, TRUE));
    EXPECT_EQ(E_INVALIDARG, sp->GetClassID(NULL));
    EXPECT_TRUE(log.m_log.HasAssert("pcbSize != NULL"));
    EXPECT_TRUE(log.m_log.HasAssert("pStm != NULL"));
    EXPECT_TRUE(log.m_log.HasAssert("pClassID != NULL"));
    EXPECT_EQ(S_OK, sp->IsDirty());
}

TEST_F(PersistStream, EntryTracesAreNeverWritten)
{
    CComPtr<CComObject<CSwitches>> sp = Make<CSwitches>();
    CRecordingLogScope log;
    CComPtr<IStream> spStm = StreamOf({});
    ULARGE_INTEGER cb = {};
    CLSID clsid = {};
    EXPECT_EQ(S_OK, sp->GetSizeMax(&cb));
    EXPECT_EQ(S_OK, sp->Save(spStm, TRUE));
    EXPECT_EQ(S_FALSE, sp->IsDirty());
    EXPECT_EQ(S_OK, sp->GetClassID(&clsid));
    LARGE_INTEGER liZero = {};
    spStm->Seek(liZero, STREAM_SEEK_SET, NULL);
    EXPECT_EQ(S_OK, sp->Load(spStm));
    EXPECT_TRUE(log.m_log.m_lines.empty()) << log.m_log.m_lines[0].c_str() + 1;
}

// Every stream shorter than the map leaves the object as it was: members and
// dirty flag.
TEST_F(PersistStream, ShortStreamChangesNothing)
{
    const std::vector<BYTE> full = { 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0 };
    for (size_t cb = 0; cb < full.size(); ++cb)
    {
        CComPtr<CComObject<CSwitches>> sp = Make<CSwitches>();
        sp->m_bDirty = (cb % 2) ? TRUE : FALSE;
        const HRESULT hrDirty = sp->IsDirty();
        CComPtr<IStream> spStm = StreamOf(std::vector<BYTE>(full.begin(), full.begin() + cb));
        EXPECT_EQ(E_FAIL, sp->Load(spStm)) << cb << " bytes";
        ExpectValues({ 1, 1, 0 }, *sp, "after a short stream");
        EXPECT_EQ(hrDirty, sp->IsDirty()) << cb << " bytes";
    }
}

// The stream's own answers on reading: a failure code comes back as it is,
// anything else short of a full S_OK read becomes E_FAIL; either way the
// object keeps its values.
TEST_F(PersistStream, FailingReadsChangeNothing)
{
    const struct
    {
        int nCall;
        CStubStream::Answer answer;
        HRESULT hrExpected;
    } cases[] = {
        { 0, { STG_E_READFAULT, 0 }, STG_E_READFAULT },
        { 1, { STG_E_READFAULT, 4 }, STG_E_READFAULT }, // bytes moved with a failure code
        { 2, { E_UNEXPECTED, 0 }, E_UNEXPECTED },
        { 2, { S_FALSE, -1 }, E_FAIL },                 // all four bytes, but S_FALSE
        { 1, { S_OK, 3 }, E_FAIL },                     // short read reported as S_OK
        { 2, { S_FALSE, 0 }, E_FAIL },
    };
    for (const auto& c : cases)
    {
        CComPtr<CComObject<CSwitches>> sp = Make<CSwitches>();
        sp->m_bForcePassthru = 3;
        CStubStream stub({ 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0 });
        stub.SetRead(c.nCall, c.answer);
        EXPECT_EQ(c.hrExpected, sp->Load(&stub)) << "call " << c.nCall << " hr " << std::hex << c.answer.hr;
        ExpectValues({ 1, 1, 3 }, *sp, "after a failed read");
        EXPECT_EQ(S_OK, sp->IsDirty());
        EXPECT_EQ(c.nCall + 1, stub.m_nReadCalls) << "reading stops at the failure";
        EXPECT_EQ(1, stub.m_nRef) << "no reference kept";
    }
}

TEST_F(PersistStream, AFailingOrShortWriteFailsTheSave)
{
    const struct
    {
        int nCall;
        CStubStream::Answer answer;
        HRESULT hrExpected;
    } cases[] = {
        { 0, { STG_E_MEDIUMFULL, 0 }, STG_E_MEDIUMFULL },
        { 2, { STG_E_ACCESSDENIED, 2 }, STG_E_ACCESSDENIED },
        { 1, { S_OK, 3 }, E_FAIL },   // short write
        { 2, { S_FALSE, -1 }, E_FAIL },
    };
    for (const auto& c : cases)
    {
        CComPtr<CComObject<CSwitches>> sp = Make<CSwitches>();
        CStubStream stub;
        stub.SetWrite(c.nCall, c.answer);
        EXPECT_EQ(c.hrExpected, sp->Save(&stub, TRUE)) << "call " << c.nCall;
        EXPECT_EQ(c.nCall + 1, stub.m_nWriteCalls) << "writing stops at the failure";
        EXPECT_EQ(S_OK, sp->IsDirty());
    }
}

// Load and Save hold the object lock while they talk to the stream, so a
// setter taking the same lock cannot interleave; GetSizeMax takes none.
TEST_F(PersistStream, LoadAndSaveHoldTheObjectLock)
{
    CComPtr<CComObject<CSwitches>> sp = Make<CSwitches>();
    std::vector<bool> heldByOther;
    auto probe = [&] {
        bool bFree = false;
        std::thread t([&] {
            bFree = TryEnterCriticalSection(&sp->m_critsec.m_sec) != FALSE;
            if (bFree)
                LeaveCriticalSection(&sp->m_critsec.m_sec);
        });
        t.join();
        heldByOther.push_back(!bFree);
    };
    CStubStream stub({ 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 });
    stub.m_onCall = probe;
    ASSERT_EQ(S_OK, sp->Save(&stub, FALSE));
    stub.m_nPos = 0;
    ASSERT_EQ(S_OK, sp->Load(&stub));
    ASSERT_EQ(6u, heldByOther.size());
    for (bool b : heldByOther)
        EXPECT_TRUE(b);
}

class PersistComposite : public PersistStream
{
protected:
    void SetUp() override
    {
        PersistStream::SetUp();
        CComposite::s_hrGetChild = S_OK;
        m_spObj = Make<CComposite>();
        m_spChild = Make<CSwitches>();
        m_spChild->m_bMTEnumRedir = 0x0D0C0B0A;
        m_spObj->m_spChild = m_spChild;
    }
    void TearDown() override
    {
        CComposite::s_hrGetChild = S_OK;
        m_spObj.Release();
        m_spChild.Release();
        PersistStream::TearDown();
    }

    CComPtr<CComObject<CComposite>> m_spObj;
    CComPtr<CComObject<CSwitches>> m_spChild;
};

TEST_F(PersistComposite, SelfPersistingMemberWritesItsOwnBytesInPlace)
{
    ULARGE_INTEGER cb = {};
    EXPECT_EQ(S_OK, m_spObj->GetSizeMax(&cb));
    EXPECT_EQ(2u + 12u + 4u, cb.QuadPart);

    CComPtr<IStream> spStm = StreamOf({});
    ASSERT_EQ(S_OK, m_spObj->Save(spStm, TRUE));
    EXPECT_EQ((std::vector<BYTE>{ 0x22, 0x11, 1, 0, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0, 0x66, 0x55, 0x44, 0x33 }),
              BytesOf(spStm));
    EXPECT_EQ(S_FALSE, m_spObj->IsDirty());
    EXPECT_EQ(S_FALSE, m_spChild->IsDirty()) << "the clearing reaches the member";

    CComPtr<IStream> spIn = StreamOf({ 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x04, 0x03, 0x02, 0x01 });
    ASSERT_EQ(S_OK, m_spObj->Load(spIn));
    EXPECT_EQ(0x0102, m_spObj->m_wHead);
    EXPECT_EQ(0x01020304u, m_spObj->m_dwTail);
    ExpectValues({ 0, 0, 1 }, *m_spChild, "member loaded");
}

// A result other than S_OK from the member's function or from the member
// itself: its failure code, or E_FAIL for a success code.
TEST_F(PersistComposite, AMembersFailureIsReturnedAndASuccessCodeBecomesEFail)
{
    const struct
    {
        HRESULT hrGetChild;
        HRESULT hrExpected;
    } cases[] = { { E_OUTOFMEMORY, E_OUTOFMEMORY }, { S_FALSE, E_FAIL }, { E_NOINTERFACE, E_NOINTERFACE } };
    for (const auto& c : cases)
    {
        CComposite::s_hrGetChild = c.hrGetChild;
        ULARGE_INTEGER cb = {};
        EXPECT_EQ(c.hrExpected, m_spObj->GetSizeMax(&cb)) << std::hex << c.hrGetChild;
        CComPtr<IStream> spStm = StreamOf({});
        EXPECT_EQ(c.hrExpected, m_spObj->Save(spStm, TRUE));
        EXPECT_EQ(S_OK, m_spObj->IsDirty());
        CComPtr<IStream> spIn = StreamOf(std::vector<BYTE>(18, 0));
        EXPECT_EQ(c.hrExpected, m_spObj->Load(spIn));
        EXPECT_EQ(0x1122, m_spObj->m_wHead) << "the plain member read before stays as it was";
    }
    CComposite::s_hrGetChild = S_OK;

    // The member's own Load fails on a short stream: its code comes back, the
    // plain member before it keeps its value, and the reference is returned.
    const LONG nRefBefore = m_spChild->m_dwRef;
    CComPtr<IStream> spShort = StreamOf({ 0x02, 0x01, 0, 0, 0, 0, 0, 0 });
    EXPECT_EQ(E_FAIL, m_spObj->Load(spShort));
    EXPECT_EQ(0x1122, m_spObj->m_wHead);
    EXPECT_EQ(nRefBefore, m_spChild->m_dwRef);
}

} // namespace
