// The spy filter's state changes: the sample count reported at every Stop,
// the flush latencies reported at Stop, the difference file created when the
// filter leaves Stopped and finished at Stop, and the bitrate started afresh
// at every Run.
//
// The difference file is touched by the sample road (the entries, on the
// streaming thread) and here (creation and finish, on the graph's thread),
// always under the filter lock, and the sample road adds an entry only while
// the file is open and the filter runs; so a sample in flight never writes
// into a file that Stop is finishing or has closed.
#include "Filter.h"

namespace
{
// How long Stop waits for a sample that is on its road when the filter stops.
const DWORD kReceiveWaitMs = 1000;

// Enters cs if it can within dwMs. For the input pin's receive lock, which
// only the sample road holds, a sample at a time, and which no sample takes
// anew once the filter is stopped.
bool EnterReceiveLockWithin(CRITICAL_SECTION& cs, DWORD dwMs)
{
    const DWORD dwStart = GetTickCount();
    while (!TryEnterCriticalSection(&cs))
    {
        if (GetTickCount() - dwStart >= dwMs)
            return false;
        Sleep(1);
    }
    return true;
}
} // namespace

// The template stops the filter (pausing a running one first through Pause);
// the count, the latencies and the difference file follow under the filter
// lock. A sample that is on its road when the filter stops (delivered, not
// yet counted) is waited for, so that it is counted with the run it belongs
// to; one that stays in a delivery that blocks (a downstream filter not yet
// stopped) is waited for a bounded time only, and is then counted with the
// next run, with a warning. A failed template Stop is the result even when
// the file was finished well; otherwise the file's first failed write, else
// S_OK.
STDMETHODIMP CSpyFilter::Stop()
{
    const HRESULT hrStop = IBaseFilterImpl<CSpyFilter>::Stop();

    CRITICAL_SECTION* pcsReceive = m_apIn ? &m_apIn->m_csReceive : NULL;
    const bool bReceive = pcsReceive && EnterReceiveLockWithin(*pcsReceive, kReceiveWaitMs);
    if (pcsReceive && !bReceive)
        _LogTrace(atlTraceGeneral, eTL_Warning,
                  L"WARNING. %s Stop(): a sample still in delivery after %u ms is counted with the next run\n",
                  m_szTraceName, static_cast<unsigned>(kReceiveWaitMs));
    struct SLeave
    {
        CRITICAL_SECTION* pcs;
        ~SLeave()
        {
            if (pcs)
                LeaveCriticalSection(pcs);
        }
    } leaveReceive{ bReceive ? pcsReceive : NULL };

    ObjectLock lock(this);
    WCHAR szCount[LONGLONG_TEXT_SIZE];
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s Stop(): Through the filter has passed %s samples\n", m_szTraceName,
              LongLongToText(static_cast<LONGLONG>(m_llSamples), szCount));
    m_llSamples = 0;

    if (m_bCheckPositioning)
        m_perf.FlushReport(L"[Perf - Flush] ");

    if (!m_fileDiff.IsOpen())
        return hrStop;
    const HRESULT hrFile = CloseDiffFile();
    return FAILED(hrStop) ? hrStop : hrFile;
}

// Pause holds the filter lock throughout, also while the template writes the
// graph's text. Only a Pause from Stopped does more than the template: the
// allocators of both connections go to the log and the difference file is
// created. A difference file that cannot be made is traced as an error and
// the filter runs without it: Pause succeeds, since the filter is Paused, and
// a graph told otherwise would count the filter as stopped (it would then
// never stop it, and could never disconnect it). An optional setting never
// keeps a graph from playing.
STDMETHODIMP CSpyFilter::Pause()
{
    ObjectLock lock(this);
    const bool bWasStopped = (State_Stopped == FilterState());
    const HRESULT hr = IBaseFilterImpl<CSpyFilter>::Pause();
    if (S_OK != hr || !bWasStopped)
        return hr;

    // The template paused only with both pins connected, so both are there.
    CComPtr<IMemAllocator> spAllocIn;
    {
        CInput::ObjectLock lockIn(m_apIn.p);
        spAllocIn = m_apIn->m_spAllocIn;
    }
    Debug_Allocator(atlTraceGeneral, eTL_Error, spAllocIn, m_apIn->GetTraceName());
    Debug_Allocator(atlTraceGeneral, eTL_Error, m_apOut->GetAllocatorOut(), m_apOut->GetTraceName());

    if (0 == m_szDiffFile[0])
        return S_OK;
    const HRESULT hrFile = OpenDiffFile();
    if (FAILED(hrFile))
        _LogTrace(atlTraceGeneral, eTL_Error,
                  L"###Err### %s Pause(): difference file '%s' not made (0x%X), the filter runs without it\n",
                  m_szTraceName, m_szDiffFile, static_cast<unsigned>(hrFile));
    return S_OK;
}

// Every Run, also from Paused, measures the bitrate from scratch: the first
// timed sample after it only sets the previous time.
STDMETHODIMP CSpyFilter::Run(REFERENCE_TIME tStart)
{
    const HRESULT hr = IBaseFilterImpl<CSpyFilter>::Run(tStart);
    ObjectLock lock(this);
    m_tPrev = INVALID_TIME;
    m_llTotalTime = 0;
    m_llBytes = 0;
    m_llTotalBytes = 0;
    m_nBitrate = 0;
    return hr;
}

HRESULT CSpyFilter::OpenDiffFile()
{
    ObjectLock lock(this);
    if (!ASSERT(m_szDiffFile[0] != 0))
        return E_UNEXPECTED;
    HRESULT hr = m_fileDiff.Open(CComBSTR(m_szDiffFile));
    if (FAILED(hr))
        return hr;
    if (!m_bufDiff.Alloc(DIFF_BUFFER_SIZE))
    {
        m_fileDiff.Close();
        return E_OUTOFMEMORY;
    }
    m_nDiffTotal = 0;
    m_nDiffBuffered = 0;
    m_llPrev = 0;
    // Without a clock rate the sample road makes no entries (it never
    // divides by 0); the file then holds its zero count only.
    m_dwFreq = 0;
    if (!GetProcFreq(&m_dwFreq, false))
        m_dwFreq = 0;
    ASSERT(m_dwFreq > 0);
    hr = m_fileDiff.Write(&m_nDiffTotal, sizeof(m_nDiffTotal));
    if (FAILED(hr))
        m_fileDiff.Close();
    return hr;
}

HRESULT CSpyFilter::WriteDiffEntries()
{
    HRESULT hr = S_OK;
    if (0 != m_nDiffBuffered && NULL != m_bufDiff.GetBuffer())
    {
        hr = m_fileDiff.Write(m_bufDiff.GetBuffer(), static_cast<DWORD>(sizeof(DWORD) * m_nDiffBuffered));
        ASSERT(hr == S_OK);
        // Entries that did not reach the file are not counted, and the next
        // block goes where they should have gone.
        if (S_OK == hr)
            m_nDiffTotal += m_nDiffBuffered;
        else
            RewindDiffFile();
    }
    m_nDiffBuffered = 0;
    return hr;
}

HRESULT CSpyFilter::CloseDiffFile()
{
    HRESULT hr = WriteDiffEntries();

    const HRESULT hrCount = m_fileDiff.WriteAt(0, &m_nDiffTotal, sizeof(m_nDiffTotal));
    ASSERT_TEXT(hrCount == S_OK, "hr == S_OK");
    if (S_OK == hr)
        hr = hrCount;
    m_fileDiff.Close();
    return hr;
}

void CSpyFilter::RewindDiffFile()
{
    const LONGLONG llEnd = static_cast<LONGLONG>(sizeof(DWORD)) * (1 + static_cast<LONGLONG>(m_nDiffTotal));
    if (FAILED(m_fileDiff.SetPosition(llEnd)))
        return;
    if (!SetEndOfFile(m_fileDiff.m_hFile))
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s RewindDiffFile(): SetEndOfFile()=%i\n", m_szTraceName,
                  static_cast<int>(GetLastError()));
        return;
    }
    m_fileDiff.m_llSize = llEnd;
}
