// Everything the spy filter does with one media sample, from the input pin's
// Receive to the downstream pin's answer: the sample's trace lines, the
// difference entry, a pending frame capture, the bitrate, the copy into a
// delivery sample when the two connections use separate allocators, the
// delivery with its timing, and the count.
#include "Filter.h"

#include <limits.h>
#include <mmreg.h>

HRESULT CSpyFilter::Filter_SendSample(DWORD dwCookie, IMediaSample* pSample)
{
    (void)dwCookie;
    if (!ASSERT(pSample != NULL))
        return E_POINTER;

    // 1. A flush before this sample: its latency.
    if (m_bCheckPositioning)
        m_perf.FlushEnd();

    // 2. The sample's two lines, always written when a log takes them. The
    // clock is taken under the lock, since the graph may replace it at any
    // time; with no log there is no line to take it for.
    if (DumpPasses(atlTraceGeneral, eTL_Always))
    {
        CComPtr<IReferenceClock> spClock;
        REFERENCE_TIME tStart = 0;
        {
            ObjectLock lock(this);
            spClock = m_spClock;
            tStart = m_tStart;
        }
        Debug_Sample(atlTraceGeneral, eTL_Always, pSample, m_szTraceName);
        Debug_SampleLag(atlTraceGeneral, eTL_Always, pSample, tStart, spClock, m_szTraceName);
    }

    {
        ObjectLock lock(this);
        // 3. The difference entry. Under the filter lock, so that the file
        // cannot be closed while an entry goes into it.
        if (0 != m_szDiffFile[0] && m_fileDiff.IsOpen() && State_Running == FilterState())
            AddDiffEntry(CPerf::ReadCounter());
        // 4. The pending frame capture, written from this sample.
        if (m_bCapture)
            Capture(pSample);
        // 5. The bitrate.
        MeasureBitrate(pSample);
    }

    // 6. The sample to deliver.
    CComPtr<IMediaSample> spDeliver;
    bool bTypeChanged = false;
    HRESULT hr = S_OK;
    if (m_bSeparateAllocators)
    {
        // No delivery sample: its failure goes back upstream, uncounted.
        hr = CopyToDeliverySample(pSample, &spDeliver);
        if (FAILED(hr))
            return hr;
    }
    else
    {
        spDeliver = pSample;
        AM_MEDIA_TYPE* pmt = NULL;
        if (S_OK == pSample->GetMediaType(&pmt) && NULL != pmt)
        {
            _LogTrace(atlTraceGeneral, eTL_Error, L"%s: Filter_SendSample(): sample has media type\n", m_szTraceName);
            Debug_MediaType(atlTraceGeneral, eTL_Error, pmt);
            bTypeChanged = true;
        }
        MTDelete(pmt);
    }

    // 7. The delivery, timed when "Check positioning" is on. The delivery
    // sample goes back to its allocator when spDeliver lets it go. A sample
    // whose copy failed is not delivered (S_FALSE above, traced there), but
    // the stream goes on: it is counted and upstream hears S_OK.
    if (spDeliver)
    {
        if (m_bCheckPositioning)
            m_perf.Start();
        hr = m_apOut->SendSample(spDeliver);
        if (m_bCheckPositioning)
        {
            m_perf.Stop();
            m_perf.Report(m_szTraceName);
        }
    }
    else
        hr = S_OK;

    // 8. After a type change on the pass-through path, the output pin takes
    // the type the downstream pin now has.
    if (S_OK == hr && bTypeChanged)
    {
        ObjectLock lock(this);
        CComPtr<IPin> spDownstream = m_apOut->GetConnectedPin();
        if (spDownstream)
        {
            CMType mt;
            const HRESULT hrType = spDownstream->ConnectionMediaType(&mt);
            ASSERT_TEXT(hrType == S_OK, "hr == S_OK");
            if (S_OK == hrType)
            {
                COutput::ObjectLock lockOut(m_apOut.p);
                m_apOut->m_mt.Set(&mt);
            }
        }
    }

    // 9. The count, whatever the delivery answered.
    LONGLONG llCount = 1;
    {
        CInput::ObjectLock lockIn(m_apIn.p);
        llCount = SampleCount(&m_apIn->m_mt, pSample->GetActualDataLength());
    }
    {
        ObjectLock lock(this);
        m_llSamples += static_cast<ULONGLONG>(llCount);
    }
    return hr;
}

void CSpyFilter::AddDiffEntry(LONGLONG llTime)
{
    if (0 != m_llPrev)
    {
        ASSERT_TEXT(m_llPrev < llTime, "m_llPrev < llTime");
        DWORD* pEntries = reinterpret_cast<DWORD*>(m_bufDiff.GetBuffer());
        const DWORD nRoom = m_bufDiff.GetSize() / sizeof(DWORD);
        // Without a clock rate or a buffer there is no entry to make.
        if (0 != m_dwFreq && NULL != pEntries && m_nDiffBuffered < nRoom)
        {
            const LONGLONG llTicks = CPerf::Elapsed(m_llPrev, llTime);
            // Counters of two cores that disagree give a small negative
            // interval: it counts as none. A gap beyond the 32-bit range (over
            // an hour) is held at its largest value.
            const ULONGLONG ullUs = (llTicks > 0) ? (static_cast<ULONGLONG>(llTicks) + m_dwFreq / 2) / m_dwFreq : 0;
            pEntries[m_nDiffBuffered++] = (ullUs > ULONG_MAX) ? ULONG_MAX : static_cast<DWORD>(ullUs);
            if (m_bufDiff.GetSize() <= sizeof(DWORD) * m_nDiffBuffered)
                WriteDiffEntries();
        }
    }
    m_llPrev = llTime;
}

DWORD CSpyFilter::BitRate(LONGLONG llBytes, ULONGLONG ullInterval)
{
    if (0 == ullInterval || llBytes <= 0)
        return 0;
    const unsigned __int128 uRate =
        static_cast<unsigned __int128>(static_cast<ULONGLONG>(llBytes)) * 80000000u / ullInterval;
    return uRate > ULONG_MAX ? ULONG_MAX : static_cast<DWORD>(uRate);
}

namespace
{
// a + b for b >= 0, held at the largest value instead of wrapping.
LONGLONG AddClamped(LONGLONG a, ULONGLONG b)
{
    const ULONGLONG ullRoom = static_cast<ULONGLONG>(LLONG_MAX) - static_cast<ULONGLONG>(a < 0 ? 0 : a);
    return (a >= 0 && b > ullRoom) ? LLONG_MAX : static_cast<LONGLONG>(static_cast<ULONGLONG>(a) + b);
}
} // namespace

// The bytes of untimed samples count into the next interval; a timed
// sample's own bytes count for the interval it opens. Two samples with the
// same start time give no rate; the second one restarts the interval.
void CSpyFilter::MeasureBitrate(IMediaSample* pSample)
{
    CSampleT<CSampleCopier> snapshot;
    const HRESULT hr = snapshot.Load(pSample, PM_START | PM_BUFFER | PM_ACTLEN);
    ASSERT_TEXT(SUCCEEDED(hr), "SUCCEEDED(hr)");
    const LONGLONG llBytes = (snapshot.m_lActual >= 1) ? snapshot.m_lActual : (snapshot.m_cbBuf > 0 ? snapshot.m_cbBuf : 0);
    if (!snapshot.IsLoaded(PM_START))
    {
        m_llBytes = AddClamped(m_llBytes, static_cast<ULONGLONG>(llBytes));
        return;
    }
    const REFERENCE_TIME tS = snapshot.m_tS;
    if (INVALID_TIME != m_tPrev && tS > m_tPrev)
    {
        // tS > m_tPrev, so the difference fits an unsigned 64-bit value.
        const ULONGLONG ullInterval = static_cast<ULONGLONG>(tS) - static_cast<ULONGLONG>(m_tPrev);
        m_nBitrate = BitRate(m_llBytes, ullInterval);
        m_llTotalBytes = AddClamped(m_llTotalBytes, static_cast<ULONGLONG>(m_llBytes));
        m_llTotalTime = AddClamped(m_llTotalTime, ullInterval);
    }
    m_tPrev = tS;
    m_llBytes = llBytes;
}

// A copy that fails is not delivered: the delivery sample would carry the
// bytes of an older sample (or none) under this sample's times. It is traced
// and answered S_FALSE with no sample, so that the stream goes on; only a
// delivery sample that cannot be had fails.
HRESULT CSpyFilter::CopyToDeliverySample(IMediaSample* pSample, IMediaSample** ppDeliver)
{
    *ppDeliver = NULL;
    CMType mtIn;
    CMType mtOut;
    CopyPinTypes(&mtIn, &mtOut);

    CComPtr<IMediaSample> spDeliver;
    HRESULT hr = S_OK;
    if (S_OK == MTIsYUVVideo(&mtOut, false))
    {
        CSampleT<COverlayMixerCopier> snapshot;
        hr = m_apOut->GetSample(&spDeliver, &snapshot, 0);
        if (S_OK != hr)
            return FAILED(hr) ? hr : E_FAIL;
        if (snapshot.IsLoaded(PM_MEDIATYPE) && NULL != snapshot.m_pMediaType)
        {
            ObjectLock lock(this);
            COutput::ObjectLock lockOut(m_apOut.p);
            const HRESULT hrType = m_apOut->SetMediaTypeFromSample(spDeliver);
            ASSERT_TEXT(hrType == S_OK, "hr == S_OK");
            mtOut.Set(&m_apOut->m_mt);
        }
        CSampleT<COverlayMixerCopier> copy;
        HRESULT hrProps = copy.SetSrcProperties(&mtIn);
        ASSERT_TEXT(hrProps == S_OK, "hr == S_OK");
        hrProps = copy.SetDstProperties(&mtOut);
        ASSERT_TEXT(hrProps == S_OK, "hr == S_OK");
        hr = copy.Copy(spDeliver, pSample, PM_ALL);
    }
    else
    {
        CSampleT<CSampleCopier> snapshot;
        hr = m_apOut->GetSample(&spDeliver, &snapshot, 0);
        if (S_OK != hr)
            return FAILED(hr) ? hr : E_FAIL;
        if (snapshot.IsLoaded(PM_MEDIATYPE) && NULL != snapshot.m_pMediaType)
        {
            ObjectLock lock(this);
            COutput::ObjectLock lockOut(m_apOut.p);
            const HRESULT hrType = m_apOut->SetMediaTypeFromSample(spDeliver);
            ASSERT_TEXT(hrType == S_OK, "hr == S_OK");
        }
        CSampleT<CSampleCopier> copy;
        hr = copy.Copy(spDeliver, pSample, PM_ALL);
    }
    ASSERT(hr == S_OK);
    if (FAILED(hr))
    {
        _LogTrace(atlTraceGeneral, eTL_Error,
                  L"###Err### %s Filter_SendSample(): copy into the delivery sample failed, hr=0x%X, sample not delivered\n",
                  m_szTraceName, hr);
        return S_FALSE;
    }
    *ppDeliver = spDeliver.Detach();
    return S_OK;
}

LONGLONG CSpyFilter::SampleCount(const AM_MEDIA_TYPE* pmt, LONG cbActual)
{
    // Only the tag and the block alignment are read: both lie in the first
    // 16 bytes, so the short PCMWAVEFORMAT block serves as well.
    if (NULL == pmt || !IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx) || NULL == pmt->pbFormat)
        return 1;
    if (!ASSERT_TEXT(pmt->cbFormat >= sizeof(PCMWAVEFORMAT), "pmt->cbFormat >= sizeof(PCMWAVEFORMAT)"))
        return 1;
    const PCMWAVEFORMAT* pWF = reinterpret_cast<const PCMWAVEFORMAT*>(pmt->pbFormat);
    if (WAVE_FORMAT_PCM != pWF->wf.wFormatTag)
        return 1;
    if (cbActual <= 0)
        return 0;
    // A PCM type without a block size cannot be split into frames: the
    // sample counts as one.
    const WORD nBlockAlign = pWF->wf.nBlockAlign;
    if (0 == nBlockAlign)
        return 1;
    ASSERT_TEXT(cbActual % nBlockAlign == 0, "cbActual % pWF->nBlockAlign == 0");
    return cbActual / nBlockAlign;
}

HRESULT COutput::SendSample(IMediaSample* pSample)
{
    if (!ASSERT(pSample != NULL))
        return E_POINTER;
    CComPtr<IMemInputPin> spMemInput = GetConnectedMemInput();
    if (!ASSERT_TEXT(spMemInput != NULL, "m_spMemInput != NULL"))
        return VFW_E_NOT_CONNECTED;
    const HRESULT hr = spMemInput->Receive(pSample);
    if (S_OK == hr)
        return hr;
    if (S_FALSE == hr)
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s SendSample(): m_spMemInput->Receive()=S_FALSE\n", m_szTraceName);
    else
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s SendSample(): m_spMemInput->Receive()=0x%X\n", m_szTraceName,
                  hr);
    return hr;
}
