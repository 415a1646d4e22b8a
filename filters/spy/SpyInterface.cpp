// The spy filter's own interface INRVSpyFilter, for its property page and any
// client: the three persisted switches, the bitrate, and the request to write
// the next sample to a file; and the capture itself, which the sample road
// runs on the streaming thread.
#include "Filter.h"

#include <DSFunctions.h>

#include <functional>

namespace
{
// The calling thread's last error as an HRESULT; a failure that left no
// error code is E_FAIL, never a success.
HRESULT LastErrorResult()
{
    const DWORD dwError = GetLastError();
    return (dwError > 0) ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}

// Whether the file can be made: it is created (and removed again) when it is
// not there, or opened for writing without being changed when it is. The
// Win32 error as HRESULT when it cannot.
HRESULT CanMakeFile(LPCWSTR pszFile)
{
    SetLastError(0);
    const HANDLE hFile = CreateFileW(pszFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (INVALID_HANDLE_VALUE == hFile)
        return LastErrorResult();
    const bool bMade = ERROR_ALREADY_EXISTS != GetLastError();
    CloseHandle(hFile);
    if (bMade)
        DeleteFileW(pszFile);
    return S_OK;
}
// Runs one step inside the graph's reconfiguration: IGraphConfig calls it
// back while it holds the graph's lock. It lives on the caller's stack for
// the one call and is counted by no one.
class CGraphReconfiguration : public IGraphConfigCallback
{
public:
    explicit CGraphReconfiguration(std::function<HRESULT()> fnStep) : m_fnStep(std::move(fnStep)) {}
    CGraphReconfiguration(const CGraphReconfiguration&) = delete;
    CGraphReconfiguration& operator=(const CGraphReconfiguration&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (NULL == ppv)
            return E_POINTER;
        *ppv = NULL;
        if (!InlineIsEqualGUID(riid, IID_IUnknown) && !InlineIsEqualGUID(riid, IID_IGraphConfigCallback))
            return E_NOINTERFACE;
        *ppv = static_cast<IGraphConfigCallback*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Reconfigure(PVOID, DWORD) override
    {
        // Once only, whatever the graph does.
        if (!m_bCalled)
        {
            m_bCalled = true;
            m_hr = m_fnStep();
        }
        return m_hr;
    }

    bool WasCalled() const { return m_bCalled; }
    HRESULT Result() const { return m_hr; }

private:
    std::function<HRESULT()> m_fnStep;
    bool m_bCalled = false;
    HRESULT m_hr = E_FAIL;
};

// The turn of one ForcePassthruAllocator call: a call waits for the one
// running on another thread; a call made from inside the running one (its
// reconnection calling back) gets no turn.
class CForcingTurn
{
public:
    explicit CForcingTurn(volatile LONG& dwThread) : m_dwThread(dwThread)
    {
        const LONG dwSelf = static_cast<LONG>(GetCurrentThreadId());
        for (;;)
        {
            const LONG dwOwner = InterlockedCompareExchange(&m_dwThread, dwSelf, 0);
            if (0 == dwOwner)
            {
                m_bOwn = true;
                return;
            }
            if (dwSelf == dwOwner)
                return;
            Sleep(1);
        }
    }
    ~CForcingTurn()
    {
        if (m_bOwn)
            InterlockedExchange(&m_dwThread, 0);
    }
    CForcingTurn(const CForcingTurn&) = delete;
    CForcingTurn& operator=(const CForcingTurn&) = delete;
    bool IsOwn() const { return m_bOwn; }

private:
    volatile LONG& m_dwThread;
    bool m_bOwn = false;
};
} // namespace


// ---------------------------------------------------------------------------
// Switches
//
// A switch is stored as given (not normalised): the pins treat any value but
// 0 as on, while the getters answer S_OK only for exactly 1. A value that
// really changes a switch marks the filter for saving, so that a graph that
// is saved afterwards keeps the new value.

STDMETHODIMP CSpyFilter::EnableDynReconnect(LONG bEnable)
{
    const DWORD dwValue = static_cast<DWORD>(bEnable);
    ObjectLock lock(this);
    if (m_bDynReconnect != dwValue)
        m_bDirty = TRUE;
    m_bDynReconnect = dwValue;
    // The input pin reads its own copy when a new type comes from upstream.
    if (ASSERT_TEXT(m_apIn != NULL, "m_apIn != NULL"))
        m_apIn->SetDynReconnect(m_bDynReconnect);
    return S_OK;
}

STDMETHODIMP CSpyFilter::IsDynReconnecEnabled()
{
    return (1 == m_bDynReconnect) ? S_OK : S_FALSE;
}

STDMETHODIMP CSpyFilter::EnableMTEnumRedir(LONG bEnable)
{
    const DWORD dwValue = static_cast<DWORD>(bEnable);
    ObjectLock lock(this);
    if (m_bMTEnumRedir != dwValue)
        m_bDirty = TRUE;
    m_bMTEnumRedir = dwValue;
    // The output pin reads its own copy when it enumerates its types.
    if (ASSERT_TEXT(m_apOut != NULL, "m_apOut != NULL"))
        m_apOut->SetMTEnumRedir(m_bMTEnumRedir);
    return S_OK;
}

STDMETHODIMP CSpyFilter::IsMTEnumRedirEnabled()
{
    return (1 == m_bMTEnumRedir) ? S_OK : S_FALSE;
}

// The switch is kept as 0 or 1 and changes only while the whole graph is
// stopped. A change on a connected filter has the graph reconnect the input
// pin: with the switch on the input pin then impersonates the downstream pin,
// so that upstream allocates from the downstream allocator; with it off the
// usual agreement runs again.
//
// The reconnection runs inside the graph's reconfiguration
// (IGraphConfig::Reconfigure), during which the graph holds its own lock and
// changes no filter's state: a Run or Stop that comes meanwhile waits for it,
// and a neighbour cannot leave Stopped half-way through. No lock of the
// filter or of its pins is held while the graph is called (the graph's state
// change holds the graph's lock while it waits for ours); the calls of this
// setter follow one another. Where the graph offers no reconfiguration the
// same steps run on their own. A reconnection that fails gives both
// connections and the switch back.
STDMETHODIMP CSpyFilter::ForcePassthruAllocator(LONG bForce)
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s INRVSpyFilter::ForcePassthruAllocator( '%s' )\n", m_szTraceName,
              bForce ? L"TRUE" : L"FALSE");
    const DWORD dwForce = bForce ? 1 : 0;
    CForcingTurn turn(m_dwForcingThread);
    if (!turn.IsOwn() || !IsGraphStopped())
        return VFW_E_WRONG_STATE;
    // The checks are made inside the reconfiguration, where no state moves.
    CComPtr<IFilterGraph> spGraph;
    {
        ObjectLock lock(this);
        spGraph = m_pFilterGraphJoin;
    }
    CComPtr<IGraphConfig> spConfig;
    if (spGraph)
        spGraph->QueryInterface(IID_IGraphConfig, reinterpret_cast<void**>(&spConfig));
    if (!spConfig)
        return ApplyForcePassthru(dwForce);
    CGraphReconfiguration reconfiguration([this, dwForce] { return ApplyForcePassthru(dwForce); });
    const HRESULT hr = spConfig->Reconfigure(&reconfiguration, NULL, 0, NULL);
    if (reconfiguration.WasCalled())
        return reconfiguration.Result();
    // A graph that cannot reconfigure now says so at once; it is not
    // bypassed then.
    _LogTrace(atlTraceGeneral, eTL_Error,
              L"###Err### %s INRVSpyFilter::ForcePassthruAllocator(): IGraphConfig::Reconfigure()=0x%X\n",
              m_szTraceName, static_cast<unsigned>(hr));
    return FAILED(hr) ? hr : E_FAIL;
}

HRESULT CSpyFilter::ApplyForcePassthru(DWORD dwForce)
{
    if (!IsGraphStopped())
        return VFW_E_WRONG_STATE;
    CComPtr<IPin> spUp;
    CComPtr<IPin> spDown;
    {
        ObjectLock lock(this);
        if (State_Stopped != FilterState())
            return VFW_E_WRONG_STATE;
        if (dwForce == m_bForcePassthru)
            return S_OK;
        if (!m_apIn || !m_apIn->IsConnected())
        {
            m_bForcePassthru = dwForce;
            m_bDirty = TRUE;
            return S_OK;
        }
        spUp = m_apIn->m_spConnected;
        spDown = m_apOut->GetConnectedPin();
    }
    // The neighbours are asked outside the filter lock.
    if (!IsPinFilterStopped(spUp) || !IsPinFilterStopped(spDown))
        return VFW_E_WRONG_STATE;
    CMType mtIn;
    CMType mtOut;
    CopyPinTypes(&mtIn, &mtOut);

    DWORD dwOld = 0;
    {
        ObjectLock lock(this);
        if (State_Stopped != FilterState())
            return VFW_E_WRONG_STATE;
        dwOld = m_bForcePassthru;
        m_bForcePassthru = dwForce;
        // A pin kept from an earlier pass-through mode must not be taken for
        // the end of the new one.
        EndPassThru();
    }
    const HRESULT hr = Filter_CompleteConnectOutput();
    if (FAILED(hr))
    {
        _LogTrace(atlTraceGeneral, eTL_Error,
                  L"###Err### %s INRVSpyFilter::ForcePassthruAllocator(): reconnection failed, hr=0x%X; the connections "
                  L"are restored\n",
                  m_szTraceName, hr);
        {
            ObjectLock lock(this);
            m_bForcePassthru = dwOld;
            EndPassThru();
        }
        if (spUp)
            RestoreInput(spUp, &mtIn);
        if (spDown && !m_apOut->IsConnected() && m_apIn->IsConnected())
            RestoreOutput(spDown, &mtOut);
        return hr;
    }
    ObjectLock lock(this);
    m_bDirty = TRUE;
    return hr;
}

BOOL CSpyFilter::IsPinFilterStopped(IPin* pPin)
{
    if (NULL == pPin)
        return TRUE;
    CComPtr<IBaseFilter> spFilter;
    if (FAILED(GetPinFilter(pPin, &spFilter)))
        return FALSE;
    FILTER_STATE eState = State_Running;
    return (S_OK == spFilter->GetState(0, &eState) && State_Stopped == eState) ? TRUE : FALSE;
}

BOOL CSpyFilter::IsGraphStopped()
{
    CComPtr<IFilterGraph> spGraph;
    {
        ObjectLock lock(this);
        spGraph = m_pFilterGraphJoin;
    }
    CComQIPtr<IMediaControl> spControl(spGraph);
    if (!spControl)
        return TRUE;
    OAFilterState eState = State_Running;
    const HRESULT hr = spControl->GetState(0, &eState);
    return (S_OK == hr && State_Stopped == eState) ? TRUE : FALSE;
}

STDMETHODIMP CSpyFilter::IsPassthruAllocatorForced(LONG* pbForced)
{
    if (!ASSERT_TEXT(pbForced != NULL, "pbForced != NULL"))
        return E_POINTER;
    *pbForced = static_cast<LONG>(m_bForcePassthru);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Bitrate

// The average is the bytes of every measured interval over their summed
// time. A long stream's byte total times 80,000,000 leaves the 64-bit range
// (beyond about 115 GB), so the rate is computed as the current one is: in
// 128 bits, held at the largest 32-bit value instead of wrapping.
STDMETHODIMP CSpyFilter::GetBitrate(ULONG* pnCurrent, ULONG* pnAverage)
{
    if (!ASSERT_TEXT(pnCurrent != NULL, "pnCurrent != NULL"))
        return E_INVALIDARG;
    if (!ASSERT_TEXT(pnAverage != NULL, "pnAverage != NULL"))
        return E_INVALIDARG;
    ObjectLock lock(this);
    *pnCurrent = m_nBitrate;
    *pnAverage = (m_llTotalTime > 0) ? BitRate(m_llTotalBytes, static_cast<ULONGLONG>(m_llTotalTime)) : 0;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Frame capture

// What can be checked before the sample comes is checked here, so that the
// caller learns it: the file can be made, and for a bitmap the input is
// connected with a picture type whose pictures the bitmap writer can write
// in the output type's layout. What can fail only when the sample comes is
// traced then. A refused request leaves any earlier one as it was.
STDMETHODIMP CSpyFilter::CaptureFrame(BSTR bstrFileName, enum tagCaptureFileType eCFT)
{
    // A client may pass any number: it is judged as a number, not as one of
    // the two names.
    const unsigned nType = static_cast<unsigned>(eCFT);
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s INRVSpyFilter::CaptureFrame( '%s', %u )\n", m_szTraceName,
              (NULL != bstrFileName) ? bstrFileName : L"null", nType);
    if (!ASSERT_TEXT(bstrFileName != NULL, "bstrFileName != NULL"))
        return E_INVALIDARG;
    if (!ASSERT_TEXT(nType == eCFT_Bin || nType == eCFT_Bmp, "eCFT == eCFT_Bin || eCFT == eCFT_Bmp"))
        return E_INVALIDARG;
    if (0 == bstrFileName[0])
        return E_INVALIDARG;
    if (eCFT_Bmp == nType)
    {
        const HRESULT hrType = CanCaptureBitmap();
        if (FAILED(hrType))
            return hrType;
    }
    // The file system is asked outside the filter lock, which the sample road
    // takes for every sample.
    const HRESULT hrFile = CanMakeFile(bstrFileName);
    if (FAILED(hrFile))
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s INRVSpyFilter::CaptureFrame(): '%s' cannot be made, 0x%X\n",
                  m_szTraceName, bstrFileName, static_cast<unsigned>(hrFile));
        return hrFile;
    }

    ObjectLock lock(this);
    CComBSTR bstrCopy(bstrFileName);
    if (!bstrCopy)
        return E_OUTOFMEMORY;
    m_bstrCapture.Attach(bstrCopy.Detach());
    m_eCFT = eCFT;
    m_bCapture = 1;
    return S_OK;
}

HRESULT CSpyFilter::CanCaptureBitmap()
{
    if (!ASSERT_TEXT(m_apIn != NULL && m_apOut != NULL, "m_apIn != NULL && m_apOut != NULL"))
        return E_UNEXPECTED;
    ObjectLock lock(this);
    BITMAPINFOHEADER bmi;
    {
        CInput::ObjectLock lockIn(m_apIn.p);
        if (!m_apIn->IsConnected())
            return VFW_E_NOT_CONNECTED;
        const BITMAPINFOHEADER* pbmi = MTGetBitmapInfoHeader(&m_apIn->m_mt);
        if (NULL == pbmi)
            return VFW_E_INVALIDMEDIATYPE;
        bmi = *pbmi;
    }
    DWORD dwFcc = 0;
    {
        COutput::ObjectLock lockOut(m_apOut.p);
        dwFcc = m_apOut->m_mt.subtype.Data1;
    }
    // The picture the capture will write: the input header's size in the
    // output type's layout, with as many bits a pixel as the header says.
    dsx::BitmapPicture pic;
    if (FAILED(dsx::PlanBitmap(dwFcc, (bmi.biWidth > 0) ? static_cast<UINT>(bmi.biWidth) : 0, bmi.biHeight, 0, false, 0,
                               &pic)))
        return VFW_E_INVALIDMEDIATYPE;
    if (!ASSERT_TEXT(bmi.biBitCount == pic.nBits, "pbmi->biBitCount == Fcc2Bits(dwFcc)"))
        return VFW_E_INVALIDMEDIATYPE;
    return S_OK;
}

// A raw file gets exactly the sample's data: its actual length (none for a
// sample that says it holds nothing), never more than its buffer. A bitmap is
// the picture of the input type's size in the output type's layout, read
// from no more than the sample's data, or its whole buffer when the sample
// says it holds nothing. A file that cannot be written is reported in the
// log; the sample itself passes on whatever happened here.
void CSpyFilter::Capture(IMediaSample* pSample)
{
    if (!ASSERT(pSample != NULL))
        return;

    CSampleT<CSampleCopier> smp;
    HRESULT hr = smp.Load(pSample, PM_ALL);
    // A sample whose buffer cannot be read has nothing to write: it does not
    // use up the request.
    if (SUCCEEDED(hr) && !smp.IsLoaded(PM_BUFFER))
        hr = E_POINTER;
    if (FAILED(hr))
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s Capture(): smp.Load()=0x%X\n", m_szTraceName,
                  static_cast<unsigned>(hr));
        return;
    }

    ObjectLock lock(this);
    if (!m_bCapture)
        return;
    WCHAR szCount[LONGLONG_TEXT_SIZE];
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s Capture frame %s\n", m_szTraceName,
              LongLongToText(static_cast<LONGLONG>(m_llSamples), szCount));
    m_bCapture = 0;

    const BYTE* pbData = smp.m_pbBuf;
    const DWORD cbData = static_cast<DWORD>((smp.m_lActual >= 1) ? smp.m_lActual : smp.m_cbBuf);

    if (eCFT_Bin != m_eCFT)
    {
        ASSERT_TEXT(m_eCFT == eCFT_Bmp, "m_eCFT == eCFT_Bmp");
        // The input may have been connected anew since the request: the
        // picture is described by the type in force now.
        bool bHeader = false;
        LONG lWidth = 0;
        LONG lHeight = 0;
        {
            CInput::ObjectLock lockIn(m_apIn.p);
            const BITMAPINFOHEADER* pbmi = MTGetBitmapInfoHeader(&m_apIn->m_mt);
            if (NULL != pbmi)
            {
                bHeader = true;
                lWidth = pbmi->biWidth;
                lHeight = pbmi->biHeight;
            }
        }
        if (!ASSERT_TEXT(bHeader, "pbmi != NULL"))
        {
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s Capture(): the input type has no picture header, '%s' not written\n",
                      m_szTraceName, m_bstrCapture.m_str);
            return;
        }
        DWORD dwFcc = 0;
        {
            COutput::ObjectLock lockOut(m_apOut.p);
            dwFcc = m_apOut->m_mt.subtype.Data1;
        }
        // A width that is not positive describes no picture; the writer
        // refuses it as 0.
        hr = SavePictureAsBitmap(m_bstrCapture.m_str, pbData, cbData, dwFcc, (lWidth > 0) ? static_cast<UINT>(lWidth) : 0,
                                 lHeight, 0);
        ASSERT(hr == S_OK);
        if (FAILED(hr))
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s Capture(): SavePictureAsBitmap( '%s' )=0x%X\n",
                      m_szTraceName, m_bstrCapture.m_str, static_cast<unsigned>(hr));
        return;
    }

    const DWORD cbRaw = static_cast<DWORD>((smp.m_lActual <= 0) ? 0 : (smp.m_lActual < smp.m_cbBuf ? smp.m_lActual : smp.m_cbBuf));
    SetLastError(0);
    const HANDLE hFile = CreateFileW(m_bstrCapture.m_str, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (INVALID_HANDLE_VALUE == hFile)
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s Capture(): CreateFile( '%s' )=0x%X\n", m_szTraceName,
                  m_bstrCapture.m_str, static_cast<unsigned>(LastErrorResult()));
        return;
    }
    DWORD cbWritten = 0;
    SetLastError(0);
    if (!WriteFile(hFile, pbData, cbRaw, &cbWritten, NULL) || cbWritten != cbRaw)
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s Capture(): WriteFile()=0x%X, size=%u, written=%u\n",
                  m_szTraceName, static_cast<unsigned>(LastErrorResult()), static_cast<unsigned>(cbRaw),
                  static_cast<unsigned>(cbWritten));
    CloseHandle(hFile);
}
