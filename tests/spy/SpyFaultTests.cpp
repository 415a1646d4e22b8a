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

} // namespace
