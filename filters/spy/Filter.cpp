// The spy filter object: construction, the pins' own operations, joining a
// graph, the per-user settings, persistence and the hooks that only trace.
#include "Filter.h"

namespace
{
// Numbers the spy filters of the process: 1 for the first one.
volatile LONG g_nSpyFilters = 0;

// The steps the calling thread runs now, innermost last. Steps nest only as
// deep as a connection calls back into the filter on one thread; a step
// beyond the room is not marked, and traced.
struct SSpyStepMark
{
    const CSpyFilter* pFilter;
    DWORD dwStep;
};
const int kStepRoom = 32;
thread_local SSpyStepMark t_rgSteps[kStepRoom];
thread_local int t_nSteps = 0;
} // namespace

CSpyStep::CSpyStep(const CSpyFilter* pFilter, ESpyStep eStep) : m_bMarked(false)
{
    if (!ASSERT_TEXT(t_nSteps < kStepRoom, "t_nSteps < kStepRoom"))
        return;
    t_rgSteps[t_nSteps].pFilter = pFilter;
    t_rgSteps[t_nSteps].dwStep = eStep;
    ++t_nSteps;
    m_bMarked = true;
}

CSpyStep::~CSpyStep()
{
    if (m_bMarked && t_nSteps > 0)
        --t_nSteps;
}

bool CSpyStep::IsRunning(const CSpyFilter* pFilter, DWORD dwSteps)
{
    for (int i = 0; i < t_nSteps; ++i)
        if (t_rgSteps[i].pFilter == pFilter && 0 != (t_rgSteps[i].dwStep & dwSteps))
            return true;
    return false;
}

// ---------------------------------------------------------------------------
// Input pin

CInput::CInput() : m_bDynReconnect(1), m_bOwnAllocator(FALSE)
{
    lstrcpynW(m_szTraceName, L"[Spy In]", SPY_TRACE_NAME_SIZE);
}

HRESULT CInput::FinalConstruct()
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s FinalConstruct\n", m_szTraceName);
    return S_OK;
}

void CInput::FinalRelease()
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s FinalRelease\n", m_szTraceName);
}

void CInput::SetTraceName(LPCWSTR pszName)
{
    if (!ASSERT(pszName != NULL))
        return;
    lstrcpynW(m_szTraceName, pszName, SPY_TRACE_NAME_SIZE);
}

void CInput::ClearConnection()
{
    CInputPin<CInput, CSpyFilter>::ClearConnection();
    m_bOwnAllocator = FALSE;
}

HRESULT WINAPI CInput::QueryNoInterface(void*, REFIID riid, void** ppv, DWORD_PTR) noexcept
{
    WCHAR szName[GUID_NAME_WORK_SIZE];
    _LogTrace(atlTraceGeneral, eTL_Error, L"### [Spy In] QueryInterface( %s ) = E_NOINTERFACE\n",
              Guid2Name(riid, szName, GUID_NAME_WORK_SIZE));
    if (NULL != ppv)
        *ppv = NULL;
    return E_NOINTERFACE;
}

// ---------------------------------------------------------------------------
// Output pin

COutput::COutput() : m_bMTEnumRedir(1)
{
    lstrcpynW(m_szTraceName, L"[Spy Out]", SPY_TRACE_NAME_SIZE);
}

HRESULT COutput::FinalConstruct()
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s FinalConstruct\n", m_szTraceName);
    return S_OK;
}

void COutput::FinalRelease()
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s FinalRelease\n", m_szTraceName);
}

void COutput::SetTraceName(LPCWSTR pszName)
{
    if (!ASSERT(pszName != NULL))
        return;
    lstrcpynW(m_szTraceName, pszName, SPY_TRACE_NAME_SIZE);
}

void COutput::ClearConnection()
{
    m_arrSubtypes.RemoveAll();
    if (!m_pFilter || !CSpyStep::IsRunning(m_pFilter, eStep_KeepInput | eStep_Restoring))
        ForgetRefusals();
    COutputPin<COutput, CSpyFilter>::ClearConnection();
}

BOOL COutput::IsNewSubtype(const GUID& subtype) const
{
    return m_arrSubtypes.Find(subtype) < 0;
}

namespace
{
// The object's identity, counted; empty when it has none.
CComPtr<IUnknown> Identity(IUnknown* p)
{
    CComPtr<IUnknown> spUnk;
    if (NULL != p)
        p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spUnk));
    return spUnk;
}
} // namespace

void COutput::TypeRefused(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt, HRESULT hr)
{
    // Answers about the pin's state or the call itself, not about the type.
    switch (hr)
    {
    case VFW_E_ALREADY_CONNECTED:
    case VFW_E_NOT_STOPPED:
    case VFW_E_WRONG_STATE:
    case VFW_E_INVALID_DIRECTION:
    case VFW_E_NOT_CONNECTED:
    case VFW_E_NOT_IN_GRAPH:
    case E_POINTER:
    case E_UNEXPECTED:
    case E_OUTOFMEMORY:
    case E_FAIL:
        return;
    default:
        break;
    }
    CComPtr<IUnknown> spIdentity = Identity(pReceivePin);
    if (!spIdentity || NULL == pmt)
        return;
    // The pin that gave the record before is let go after the lock.
    CComPtr<IUnknown> spOld;
    CCritSecLock lock(m_csAllocator);
    if (spIdentity != m_spRefusedBy)
    {
        m_vRefused.clear();
        spOld.Attach(m_spRefusedBy.Detach());
        m_spRefusedBy = spIdentity;
    }
    for (const CMType& mt : m_vRefused)
        if (MTIsEqual(&mt, pmt))
            return;
    CMType mt;
    if (SUCCEEDED(mt.Set(pmt)))
        m_vRefused.push_back(mt);
}

BOOL COutput::WasRefusedDownstream(const AM_MEDIA_TYPE* pmt)
{
    CComPtr<IPin> spDown = GetConnectedPin();
    CComPtr<IUnknown> spIdentity = Identity(spDown);
    CCritSecLock lock(m_csAllocator);
    if (!spIdentity || spIdentity != m_spRefusedBy)
        return FALSE;
    for (const CMType& mt : m_vRefused)
        if (MTIsEqual(&mt, pmt))
            return TRUE;
    return FALSE;
}

void COutput::ForgetRefusals()
{
    CComPtr<IUnknown> spOld;
    CCritSecLock lock(m_csAllocator);
    m_vRefused.clear();
    spOld.Attach(m_spRefusedBy.Detach());
}

// ---------------------------------------------------------------------------
// The filter

CSpyFilter::CSpyFilter()
    : m_nInstance(0), m_bDynReconnect(1), m_bMTEnumRedir(1), m_llSamples(0), m_bCapture(0), m_llTotalTime(0),
      m_tPrev(INVALID_TIME), m_llTotalBytes(0), m_llBytes(0), m_nBitrate(0), m_bForcePassthru(0),
      m_bCheckPositioning(0), m_dwFreq(0), m_nDiffBuffered(0), m_nDiffTotal(0), m_llPrev(0)
{
    m_nInstance = static_cast<DWORD>(InterlockedIncrement(&g_nSpyFilters));
    _snwprintf_s(m_szTraceName, SPY_TRACE_NAME_SIZE, _TRUNCATE, L"[Spy %u]", static_cast<unsigned>(m_nInstance));
    m_szDiffFile[0] = 0;
}

HRESULT CSpyFilter::FinalConstruct()
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s FinalConstruct()\n", m_szTraceName);
    HRESULT hr = CreatePins(L"In", L"Out");
    if (FAILED(hr))
        return hr;
    WCHAR szName[SPY_TRACE_NAME_SIZE];
    _snwprintf_s(szName, SPY_TRACE_NAME_SIZE, _TRUNCATE, L"[Spy %u In]", static_cast<unsigned>(m_nInstance));
    m_apIn->SetTraceName(szName);
    _snwprintf_s(szName, SPY_TRACE_NAME_SIZE, _TRUNCATE, L"[Spy %u Out]", static_cast<unsigned>(m_nInstance));
    m_apOut->SetTraceName(szName);
    m_apOut->SetMTEnumRedir(m_bMTEnumRedir);
    return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), &m_spMarshaler);
}

// The pins lose their link to the filter here (ClearPins), so a pin that a
// host still holds answers without it.
void CSpyFilter::FinalRelease()
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s FinalRelease()\n", m_szTraceName);
    m_spMarshaler.Release();
    EndPassThru();
    if (m_apOut)
        m_apOut->ForgetRefusals();
    ClearPins();
}

HRESULT CSpyFilter::Filter_JoinFilterGraph(BOOL bJoin)
{
    if (!ASSERT_TEXT(m_apIn != NULL && m_apOut != NULL, "m_apIn != NULL && m_apOut != NULL"))
        return E_FAIL;
    if (!bJoin)
    {
        EndPassThru();
        m_apOut->ForgetRefusals();
        Reset();
        return S_OK;
    }
    m_apIn->SetFilter(this);
    m_apOut->SetFilter(this);
    ReadSettings();
    return S_OK;
}

// "Check positioning" counts only as a REG_DWORD of 4 bytes; anything else
// leaves the flag as it was. "Difference file" counts only as a REG_SZ that
// fits the path with its terminator, whether or not the stored value carries
// one; anything else empties the path.
BOOL CSpyFilter::ReadSettings()
{
    HKEY hKey = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, STANDARD_RIGHTS_READ | KEY_QUERY_VALUE, &hKey))
        return FALSE;

    DWORD dwValue = 0;
    DWORD dwType = REG_NONE;
    DWORD cb = sizeof(dwValue);
    if (ERROR_SUCCESS == RegQueryValueExW(hKey, L"Check positioning", NULL, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cb) &&
        REG_DWORD == dwType && sizeof(dwValue) == cb)
        m_bCheckPositioning = (0 != dwValue) ? 1 : 0;

    // One WCHAR more than the path may hold, so that a value that fills the
    // room without a terminator is seen as too long.
    WCHAR szPath[MAX_PATH + 1];
    dwType = REG_NONE;
    cb = sizeof(WCHAR) * MAX_PATH;
    const LONG lResult = RegQueryValueExW(hKey, L"Difference file", NULL, &dwType, reinterpret_cast<BYTE*>(szPath), &cb);
    m_szDiffFile[0] = 0;
    if (ERROR_SUCCESS == lResult && REG_SZ == dwType && cb <= sizeof(WCHAR) * MAX_PATH)
    {
        szPath[cb / sizeof(WCHAR)] = 0;
        if (wcslen(szPath) < MAX_PATH)
            lstrcpynW(m_szDiffFile, szPath, MAX_PATH);
    }
    RegCloseKey(hKey);
    return TRUE;
}

HRESULT CSpyFilter::Filter_GetTransInPlaceAlloc(DWORD dwCookie, IMemAllocator** ppAllocIn, bool* pbUseInAllocator,
                                                bool* pbReadOnly)
{
    // An input connected a moment ago has no allocator yet (the output is
    // reconnected from inside its ReceiveConnection): nothing to offer.
    if (m_apIn && m_apIn->IsConnected() && !m_apIn->m_spAllocIn && ppAllocIn && pbUseInAllocator && pbReadOnly)
    {
        *ppAllocIn = NULL;
        *pbUseInAllocator = false;
        *pbReadOnly = false;
        return S_FALSE;
    }
    const HRESULT hr =
        CTransInPlaceFilter::Filter_GetTransInPlaceAlloc(dwCookie, ppAllocIn, pbUseInAllocator, pbReadOnly);
    if (S_OK == hr)
        *pbUseInAllocator = !m_apIn->m_bOwnAllocator;
    return hr;
}

HRESULT CSpyFilter::Filter_QualityNotify(DWORD dwCookie, IBaseFilter* pSelf, Quality q)
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s QualityNotify()\n", m_szTraceName);
    return CTransInPlaceFilter::Filter_QualityNotify(dwCookie, pSelf, q);
}

HRESULT CSpyFilter::Filter_EndOfStream(DWORD dwCookie)
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s EndOfStream()\n", m_szTraceName);
    return CTransInPlaceFilter::Filter_EndOfStream(dwCookie);
}

// With "Check positioning" on, the time until the next sample is measured.
HRESULT CSpyFilter::Filter_BeginFlush(DWORD dwCookie)
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s BeginFlush()\n", m_szTraceName);
    if (m_bCheckPositioning)
        m_perf.FlushBegin();
    return CTransInPlaceFilter::Filter_BeginFlush(dwCookie);
}

HRESULT CSpyFilter::Filter_EndFlush(DWORD dwCookie)
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s EndFlush()\n", m_szTraceName);
    return CTransInPlaceFilter::Filter_EndFlush(dwCookie);
}

HRESULT CSpyFilter::Filter_NewSegment(DWORD dwCookie, REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    WCHAR szStart[50];
    WCHAR szStop[50];
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s NewSegment( %s, %s, %g)\n", m_szTraceName,
              ReferenceTimeToText(tStart, szStart), ReferenceTimeToText(tStop, szStop), dRate);
    return CTransInPlaceFilter::Filter_NewSegment(dwCookie, tStart, tStop, dRate);
}

// The template reads the whole stream before any switch changes, so a short
// or failing stream leaves the filter and its pins as they were.
STDMETHODIMP CSpyFilter::Load(IStream* pStm)
{
    const HRESULT hr = IPersistStreamImpl<CSpyFilter>::Load(pStm);
    if (FAILED(hr))
        return hr;
    ObjectLock lock(this);
    if (ASSERT(m_apIn != NULL))
        m_apIn->SetDynReconnect(m_bDynReconnect);
    if (ASSERT(m_apOut != NULL))
        m_apOut->SetMTEnumRedir(m_bMTEnumRedir);
    m_bForcePassthru = (0 != m_bForcePassthru) ? 1 : 0;
    return S_OK;
}
