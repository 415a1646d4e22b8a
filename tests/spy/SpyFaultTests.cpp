// The spy filter when the process fails it: a lock that cannot be created
// while the filter, its enumerators or its tear-offs are made. The host gets
// a failure code and the object is not handed out; nothing ends the process,
// the log goes on and the next attempt works.
#include "SpyTestSupport.h"

#include "dsfix/Faults.h"

#include <functional>

namespace {

class SpyFaultTest : public FilterTest
{
protected:
    void SetUp() override { ASSERT_TRUE(m_log.IsBound()); }
    CFakeLogScope m_log;
};

// One thing the host asks of the filter that creates COM objects, and so
// locks: its result, and the object made (released by the case).
struct LockCase
{
    const char* pszCase;
    std::function<HRESULT(CSpyPtr& spy)> make;
};

const HRESULT kLockError = HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES);

// Every lock creation of every case fails once in turn: each time the case
// answers a failure code and hands out nothing, and an attempt right after
// it succeeds. The failures are only of two kinds: a pin whose constructor
// cannot make its lock is E_OUTOFMEMORY, an object lock that cannot be
// initialised gives the error itself.
TEST_F(SpyFaultTest, EveryLockCreationThatFailsOnceGivesAnErrorAndTheNextAttemptWorks)
{
    const LockCase cases[] = {
        { "creating the filter",
          [](CSpyPtr&) {
              CComPtr<IBaseFilter> sp;
              const HRESULT hr = CSpyFilter::CreateInstance(&sp);
              EXPECT_EQ(SUCCEEDED(hr), sp != NULL);
              return hr;
          } },
        { "enumerating the pins",
          [](CSpyPtr& spy) {
              CComPtr<IEnumPins> sp;
              const HRESULT hr = spy.Filter()->EnumPins(&sp);
              EXPECT_EQ(SUCCEEDED(hr), sp != NULL);
              return hr;
          } },
        { "enumerating the input's types",
          [](CSpyPtr& spy) {
              CComPtr<IEnumMediaTypes> sp;
              const HRESULT hr = spy.In()->EnumMediaTypes(&sp);
              EXPECT_EQ(SUCCEEDED(hr), sp != NULL);
              return hr;
          } },
        { "cloning a pin enumerator",
          [](CSpyPtr& spy) {
              CComPtr<IEnumPins> sp;
              HRESULT hr = spy.Filter()->EnumPins(&sp);
              if (FAILED(hr))
                  return hr;
              CComPtr<IEnumPins> spClone;
              hr = sp->Clone(&spClone);
              EXPECT_EQ(SUCCEEDED(hr), spClone != NULL);
              return hr;
          } },
        { "the mixer tear-off of the input",
          [](CSpyPtr& spy) {
              CComPtr<IMixerPinConfig> sp;
              const HRESULT hr = spy.In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&sp));
              EXPECT_EQ(SUCCEEDED(hr), sp != NULL);
              return hr;
          } },
    };

    dsfix::LockCreationFault fault;
    ASSERT_TRUE(fault.IsActive()) << "the program imports the lock creation";
    CSpyPtr spy;
    ASSERT_TRUE(spy.Get());
    for (const LockCase& c : cases)
    {
        // How many locks the case creates when nothing fails.
        fault.FailNth(LONG_MAX);
        ASSERT_EQ(S_OK, c.make(spy)) << c.pszCase;
        const long nLocks = fault.Count();
        EXPECT_GE(nLocks, 1) << c.pszCase;
        int nOutOfMemory = 0;
        for (long n = 1; n <= nLocks; ++n)
        {
            m_log.Reset();
            fault.FailNth(n);
            const HRESULT hr = c.make(spy);
            EXPECT_TRUE(fault.Fired()) << c.pszCase << ", lock " << n;
            EXPECT_TRUE(E_OUTOFMEMORY == hr || kLockError == hr)
                << c.pszCase << ", lock " << n << ": " << dsfix::HrText(hr);
            if (E_OUTOFMEMORY == hr)
                ++nOutOfMemory;
            fault.FailNth(LONG_MAX);
            EXPECT_EQ(S_OK, c.make(spy)) << c.pszCase << ", after lock " << n;
        }
        if (0 == strcmp(c.pszCase, "creating the filter"))
        {
            EXPECT_GE(nLocks, 5) << "the filter's, each pin's, the receive lock and the allocator lock";
            EXPECT_EQ(2, nOutOfMemory) << "the input's receive lock and the output's allocator lock";
        }
    }

    // The log went on: a filter made now traces its construction.
    m_log.Reset();
    CSpyPtr after;
    ASSERT_TRUE(after.Get());
    EXPECT_TRUE(m_log.HasLine(Fmt(L"%s FinalConstruct()\n", after->GetTraceName())));
}

// ---------------------------------------------------------------------------
// A neighbour that holds its own lock while it calls the spy

// An upstream pin with a lock of its own that its QueryAccept takes, as a
// pin that guards its state does; the test holds that lock as such a pin
// does while it asks the spy's input for an allocator.
class CLockingUpstreamPin : public CFakePin
{
public:
    CLockingUpstreamPin() : CFakePin(PINDIR_OUTPUT, L"Locking Source")
    {
        InitializeCriticalSection(&m_cs);
        m_hInQueryAccept = CreateEventW(NULL, TRUE, FALSE, NULL);
        m_types = { TestVideoType() };
    }
    ~CLockingUpstreamPin() override
    {
        CloseHandle(m_hInQueryAccept);
        DeleteCriticalSection(&m_cs);
    }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override
    {
        SetEvent(m_hInQueryAccept);
        EnterCriticalSection(&m_cs);
        LeaveCriticalSection(&m_cs);
        return S_OK;
    }
    CRITICAL_SECTION m_cs;
    HANDLE m_hInQueryAccept;
};

struct ConnectCall
{
    IPin* pOut;
    IPin* pIn;
    HRESULT hr;
};

DWORD WINAPI ConnectThread(void* p)
{
    ConnectCall* pCall = static_cast<ConnectCall*>(p);
    pCall->hr = pCall->pOut->Connect(pCall->pIn, NULL);
    return 0;
}

// The spy's output asks the upstream pin whether it takes a type while it
// negotiates downstream; meanwhile the upstream pin, holding its own lock,
// asks the spy's input for an allocator, or tells it the allocator it
// chose. The spy waits for its output pin only a bounded time there, so
// neither side waits for the other for good: the input hands out an
// allocator of its own, or takes the upstream one and leaves the output's
// type to the connection under way, and the connection finishes.
struct LockedCallCase
{
    const char* pszCase;
    std::function<HRESULT(IMemInputPin* pMemIn)> call;
};

class SpyLockedCallTest : public SpyFaultTest, public ::testing::WithParamInterface<LockedCallCase>
{
};

TEST_P(SpyLockedCallTest, AnUpstreamPinCallingUnderItsLockDoesNotDeadlockAConnectingOutput)
{
    const LockedCallCase& c = GetParam();
    dsfix::HangWatchdog watchdog(60000, c.pszCase);
    CSpyPtr spy;
    CLockingUpstreamPin* pUp = new CLockingUpstreamPin;
    ASSERT_EQ(S_OK, spy.In()->ReceiveConnection(pUp->Pin(), pUp->m_types[0].Ptr()));
    dsfix::ComPtr<dsfix::TestSink> spSink = NewTestSink();

    EnterCriticalSection(&pUp->m_cs);
    ConnectCall call = { spy.Out(), spSink->Pin(), E_PENDING };
    HANDLE hThread = CreateThread(NULL, 0, &ConnectThread, &call, 0, NULL);
    ASSERT_NE(nullptr, hThread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pUp->m_hInQueryAccept, 20000)) << "the output asks upstream";
    Sleep(20); // the output is now blocked in the upstream pin, holding its own lock

    CComQIPtr<IMemInputPin> spMemIn(spy.In());
    ASSERT_TRUE(spMemIn != NULL);
    EXPECT_EQ(S_OK, c.call(spMemIn)) << c.pszCase;
    LeaveCriticalSection(&pUp->m_cs);

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 20000)) << c.pszCase << ": the connection ends";
    CloseHandle(hThread);
    EXPECT_NE(E_PENDING, call.hr);

    spMemIn.Release();
    spy.Out()->Disconnect();
    spSink->Pin()->Disconnect();
    spy.In()->Disconnect();
    spy.Release();
    EXPECT_EQ(1, pUp->RefCount());
    pUp->Release();
}

struct ConnectionChurn
{
    IPin* pIn;
    IPin* pUp;
    const AM_MEDIA_TYPE* pmt;
    volatile LONG bStop;
    LONG nCycles;
};

DWORD WINAPI ChurnThread(void* p)
{
    ConnectionChurn* pChurn = static_cast<ConnectionChurn*>(p);
    while (!pChurn->bStop)
    {
        pChurn->pIn->ReceiveConnection(pChurn->pUp, pChurn->pmt);
        pChurn->pIn->Disconnect();
        ++pChurn->nCycles;
    }
    return 0;
}

// ConnectedTo on a pin that another thread connects and disconnects answers
// either VFW_E_NOT_CONNECTED or S_OK with a pin, never S_OK without one (a
// graph manager that walks the pins would call through it).
TEST_F(SpyFaultTest, ConnectedToNeverAnswersSuccessWithoutAPin)
{
    dsfix::HangWatchdog watchdog(60000, "ConnectedTo against a disconnecting pin");
    CSilentLog silent;
    CSpyPtr spy;
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT, L"Churning Source");
    pUp->m_types = { TestVideoType() };
    ConnectionChurn churn = { spy.In(), pUp->Pin(), pUp->m_types[0].Ptr(), 0, 0 };
    HANDLE hThread = CreateThread(NULL, 0, &ChurnThread, &churn, 0, NULL);
    ASSERT_NE(nullptr, hThread);
    long nConnected = 0, nWithoutPin = 0;
    for (const DWORD dwStart = GetTickCount(); GetTickCount() - dwStart < 1500;)
    {
        IPin* pPeer = NULL;
        const HRESULT hr = spy.In()->ConnectedTo(&pPeer);
        if (S_OK == hr && NULL == pPeer)
            ++nWithoutPin;
        if (pPeer)
        {
            ++nConnected;
            pPeer->Release();
        }
    }
    churn.bStop = 1;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 20000));
    CloseHandle(hThread);
    EXPECT_GT(churn.nCycles, 100);
    EXPECT_GT(nConnected, 0);
    EXPECT_EQ(0, nWithoutPin) << "S_OK without a pin";
    spy.Release();
    EXPECT_EQ(1, pUp->RefCount());
    pUp->Release();
}

INSTANTIATE_TEST_SUITE_P(
    UpstreamCalls, SpyLockedCallTest,
    ::testing::Values(LockedCallCase{ "GetAllocator",
                                      [](IMemInputPin* pMemIn) {
                                          CComPtr<IMemAllocator> spAlloc;
                                          const HRESULT hr = pMemIn->GetAllocator(&spAlloc);
                                          EXPECT_TRUE(spAlloc != NULL);
                                          return hr;
                                      } },
                      LockedCallCase{ "NotifyAllocator", [](IMemInputPin* pMemIn) {
                                         CComPtr<IMemAllocator> spAlloc;
                                         HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, NULL,
                                                                       CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                                                       reinterpret_cast<void**>(&spAlloc));
                                         if (FAILED(hr))
                                             return hr;
                                         ALLOCATOR_PROPERTIES req = { 1, 320 * 240 * 2, 1, 0 }, act;
                                         spAlloc->SetProperties(&req, &act);
                                         return pMemIn->NotifyAllocator(spAlloc, FALSE);
                                     } }));

} // namespace
