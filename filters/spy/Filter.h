// The spy filter: an in-place transform filter with one input pin (CInput)
// and one output pin (COutput). Every sample passes through unchanged while
// the filter traces it, times it, measures the stream's bitrate, counts it
// and, when a difference file is open, records the time between samples.
//
// Locks, outermost first: the filter lock (the object lock), the input pin's
// lock, the output pin's lock, the output pin's allocator lock. The sample
// road runs on the upstream streaming thread under the input pin's receive
// lock and takes the filter lock only for short stretches.
#pragma once

#include <DSFilters.h>
#include <Persist.h>
#include <Writers.h>

#include "Perf.h"

#include <vector>

// INRVSpyFilter, tagCaptureFileType and the module's identifiers
// (CLSID_SpyFilter, LIBID_SPYFILTERLib), made from Morphlet.idl.
#include "Morphlet.h"

class CSpyFilter;

// The filter's own steps that change how it answers while they last: an
// output connection made for the input's sake (the input is left alone), the
// output given its last working type back (any type goes), and the output
// connected by the pass-through mode (its allocator is agreed through the
// input pin). A step is marked for the thread that runs it, for its span
// only: another thread's calls, and the same thread's once the step is
// over, are answered as usual. (Wine's graph makes the reconnections that a
// step asks for on the same thread; where a graph makes them later, on its
// own thread, they are answered as any other connection.)
enum ESpyStep : DWORD
{
    eStep_KeepInput = 1,
    eStep_Restoring = 2,
    eStep_PassThruConnect = 4,
};

class CSpyStep
{
public:
    CSpyStep(const CSpyFilter* pFilter, ESpyStep eStep);
    ~CSpyStep();
    CSpyStep(const CSpyStep&) = delete;
    CSpyStep& operator=(const CSpyStep&) = delete;

    // The calling thread runs eStep (or one of several steps ORed) of
    // pFilter now.
    static bool IsRunning(const CSpyFilter* pFilter, DWORD dwSteps);

private:
    bool m_bMarked;
};

// Size of the trace names of the filter and its pins, in WCHARs.
const size_t SPY_TRACE_NAME_SIZE = 32;

// ---------------------------------------------------------------------------
// Input pin

class ATL_NO_VTABLE CInput : public CComObjectRootEx<CComMultiThreadModel>,
                             public CComCoClass<CInput>,
                             public CInputPin<CInput, CSpyFilter>,
                             public CMemInputPinFilter<CInput>,
                             public IKsPropertySetRedir<CInput>,
                             public CMTSingle
{
public:
    // IKsPropertySet and the mixer configuration go to the pin downstream of
    // the filter; IKsPropertySet only while that pin offers it.
    BEGIN_COM_MAP(CInput)
        COM_INTERFACE_ENTRY(IPin)
        COM_INTERFACE_ENTRY(IQualityControl)
        COM_INTERFACE_ENTRY(IMemInputPin)
        COM_INTERFACE_ENTRY_FUNC(IID_IKsPropertySet, offsetofclass(IKsPropertySetRedir<CInput>, CInput),
                                 QueryRedirectEntry)
        COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig, CTearOffMixerPinConfigFix<CInput>)
        COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig2, CTearOffMixerPinConfigFix<CInput>)
        COM_INTERFACE_ENTRY_FUNC_BLIND(0, QueryNoInterface)
    END_COM_MAP()

    // The bases make the pin's locks and throw when one cannot be made; the
    // filter's pin creation turns that into E_OUTOFMEMORY.
    CInput();

    // Traced under the name the pin has at the time.
    HRESULT FinalConstruct();
    void FinalRelease();

    LPCWSTR GetTraceName() override { return m_szTraceName; }

    // The filter's switch: a new type from upstream may be taken while the
    // filter runs.
    void SetDynReconnect(DWORD bDynReconnect) { m_bDynReconnect = bDynReconnect; }
    // At most SPY_TRACE_NAME_SIZE WCHARs with the terminator; longer names
    // are cut.
    void SetTraceName(LPCWSTR pszName);

    // The template's end of a connection; the allocator is no longer ours.
    void ClearConnection();

    // A new type from the connected upstream pin is taken while the filter
    // runs only when the switch is on.
    BOOL IsDynReconnectAllowed() { return 0 != m_bDynReconnect; }

    // While the filter runs its pass-through allocator mode, the connection
    // calls below are answered by the downstream pin (through the filter's
    // PassThru_ proxies); otherwise by the templates.
    STDMETHOD(ReceiveConnection)(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    // S_OK on an unconnected pin, in both modes.
    STDMETHOD(Disconnect)() override;
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* pmt) override;
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* pmt) override;
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) override;

    // Remembers whether upstream took the allocator this pin handed out.
    STDMETHOD(GetAllocator)(IMemAllocator** ppAllocator) override;
    // Outside the pass-through mode a recorded allocator completes the input
    // side of the connection; when that fails the pin is disconnected.
    STDMETHOD(NotifyAllocator)(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* pProps) override;
    STDMETHOD(ReceiveCanBlock)() override;

    // The last entry of the interface map: every interface not found above
    // is traced by name and refused.
    static HRESULT WINAPI QueryNoInterface(void* pv, REFIID riid, void** ppv, DWORD_PTR dw) noexcept;

    WCHAR m_szTraceName[SPY_TRACE_NAME_SIZE];
    DWORD m_bDynReconnect;  // copy of the filter's dynamic-reconnection switch
    BYTE m_bOwnAllocator;   // the input allocator is the one this pin handed out
};

// ---------------------------------------------------------------------------
// Output pin

class ATL_NO_VTABLE COutput : public CComObjectRootEx<CComMultiThreadModel>,
                              public CComCoClass<COutput>,
                              public COutputPin<COutput, CSpyFilter>,
                              public CTransInPlaceAllocator<COutput>,
                              public IMediaSeekingRedir<COutput>,
                              public CMTSingle
{
public:
    // IMediaSeeking goes to the pin upstream of the filter, and is offered
    // only while that pin offers it.
    BEGIN_COM_MAP(COutput)
        COM_INTERFACE_ENTRY(IPin)
        COM_INTERFACE_ENTRY(IQualityControl)
        COM_INTERFACE_ENTRY_FUNC(IID_IMediaSeeking, offsetofclass(IMediaSeekingRedir<COutput>, COutput),
                                 QueryRedirectEntry)
    END_COM_MAP()

    // The allocator lock of the base throws when it cannot be made, as the
    // input pin's receive lock does.
    COutput();

    // Traced under the name the pin has at the time.
    HRESULT FinalConstruct();
    void FinalRelease();

    LPCWSTR GetTraceName() override { return m_szTraceName; }

    void SetMTEnumRedir(DWORD bMTEnumRedir) { m_bMTEnumRedir = bMTEnumRedir; }
    void SetTraceName(LPCWSTR pszName);

    // Forgets the subtypes refused on this connection, then the template's
    // end of a connection. The downstream refusals go too, unless the filter
    // itself takes the connection down to make it again on this thread (a
    // reconnection with a new type, or the last working type given back).
    void ClearConnection();

    // TRUE when the subtype has not failed the allocator agreement on this
    // connection.
    BOOL IsNewSubtype(const GUID& subtype) const;

    // The downstream pin pReceivePin refused pmt in ReceiveConnection with
    // hr: that pin is not offered the type again. A downstream pin may accept
    // a type in QueryAccept that it then refuses to connect with (Wine's
    // Video Renderer does), so only a refusal in ReceiveConnection counts,
    // and only one that says nothing about the pin's state (already
    // connected, not stopped, ...). The record is kept for one downstream pin
    // at a time, and that pin is held (counted) while it is kept, so that no
    // other pin can come to the same address and take the record for its own.
    void TypeRefused(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt, HRESULT hr);
    // TRUE when the pin the output is connected to refused pmt before.
    BOOL WasRefusedDownstream(const AM_MEDIA_TYPE* pmt);
    // Forgets every refusal and lets go of the pin that gave them (the output
    // is disconnected, the filter leaves its graph or goes).
    void ForgetRefusals();

    // The template's connection; once it stands the input pin is
    // reconnected by the graph. When that fails the output is left
    // unconnected and the input gets its connection back.
    STDMETHOD(Connect)(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;

    // The step after a type was agreed: the in-place allocator agreement
    // (none for the pass-through mode's own connection, which agrees it
    // through the input pin); when it fails, the pin's other types are
    // tried, unless the Connect was given a complete type, and the subtypes
    // that failed are refused for the rest of the connection.
    HRESULT AgreeExchange();

    // Hands a sample to the downstream pin and returns its answer.
    HRESULT SendSample(IMediaSample* pSample);

    WCHAR m_szTraceName[SPY_TRACE_NAME_SIZE];
    DWORD m_bMTEnumRedir;              // copy of the filter's enumeration-redirection switch
    CSimpleArray2<GUID> m_arrSubtypes; // subtypes that failed the allocator agreement
    BYTE m_bTypeGiven = FALSE;         // the running Connect was given a complete type (pin lock)
    // The refusals are kept under the allocator lock, the last in the lock
    // order: the input side asks for them under the input pin's lock, and a
    // connecting output pin holds its own lock across calls to neighbours.
    std::vector<CMType> m_vRefused;    // types the downstream pin refused to connect with
    CComPtr<IUnknown> m_spRefusedBy;   // that pin's identity, held while the record lasts

    // TRUE when the calling thread holds the pin's lock.
    bool IsLockOwner() const
    {
        return m_critsec.m_sec.OwningThread == reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
    }
    // The input's type as the running Connect found it before it took the
    // pin's lock (pin lock): under this lock the input pin's lock, which
    // comes first, is never taken.
    CMType m_mtInAtConnect;
    BYTE m_bInAtConnect = FALSE;
};

// ---------------------------------------------------------------------------
// The filter

class ATL_NO_VTABLE CSpyFilter : public CComObjectRootEx<CComMultiThreadModel>,
                                 public CComCoClass<CSpyFilter, &CLSID_SpyFilter>,
                                 public CTransInPlaceFilter<CSpyFilter, CInput, COutput>,
                                 public IBaseFilterImpl<CSpyFilter>,
                                 public IPersistStreamImpl<CSpyFilter>,
                                 public ISpecifyPropertyPagesImpl<CSpyFilter>,
                                 public INRVSpyFilter
{
public:
    BEGIN_COM_MAP(CSpyFilter)
        COM_INTERFACE_ENTRY2(IPersist, IBaseFilter)
        COM_INTERFACE_ENTRY2(IMediaFilter, IBaseFilter)
        COM_INTERFACE_ENTRY(IBaseFilter)
        COM_INTERFACE_ENTRY(INRVSpyFilter)
        COM_INTERFACE_ENTRY(ISpecifyPropertyPages)
        COM_INTERFACE_ENTRY(IPersistStream)
        COM_INTERFACE_ENTRY_AGGREGATE(IID_IMarshal, m_spMarshaler.p)
    END_COM_MAP()

    DECLARE_PROTECT_FINAL_CONSTRUCT()
    DECLARE_GET_CONTROLLING_UNKNOWN()

    // The three persisted switches, 4 bytes each: 12 bytes in all.
    BEGIN_PERSIST_MAP(CSpyFilter)
        PERSIST_ENTRY(m_bDynReconnect)
        PERSIST_ENTRY(m_bMTEnumRedir)
        PERSIST_ENTRY(m_bForcePassthru)
    END_PERSIST_MAP()

    // The filter's pages: its property page and its About page.
    BEGIN_PROP_MAP(CSpyFilter)
        PROP_PAGE(CLSID_SpyFilterPP)
        PROP_PAGE(CLSID_AboutSpyFilter)
    END_PROP_MAP()

    // Registry key of the per-user settings (read only, never written).
    static constexpr LPCWSTR kSettingsKey = L"Software\\Norvaleth\\Spy Filter";
    // Start time of a timed sample not seen yet.
    static constexpr REFERENCE_TIME INVALID_TIME = static_cast<REFERENCE_TIME>(0x8000000000000000ULL);
    // Room of the difference buffer: 16,384 entries.
    static constexpr DWORD DIFF_BUFFER_SIZE = 0x10000;

    CSpyFilter();

    // Registration of the class and of the filter with the filter mapper
    // (SpyRegistration.cpp): the class's registry script, then the filter in
    // its two categories; FALSE takes it all out again.
    static HRESULT WINAPI UpdateRegistry(BOOL bRegister) noexcept;
    // The pin records the filter is registered with: 1 and the record for
    // index 0 and 1, else the number of records (2), *ppPin NULL.
    static int GetPinRegData(UINT index, const REGFILTERPINS** ppPin);

    HRESULT FinalConstruct();
    void FinalRelease();

    LPCWSTR GetTraceName() override { return m_szTraceName; }

    // Joining binds the pins and reads the settings; leaving resets.
    HRESULT Filter_JoinFilterGraph(BOOL bJoin);

    // Reads the per-user settings: FALSE when their key cannot be opened
    // (then nothing changes).
    BOOL ReadSettings();

    // The input connection or the output connection is complete. On a live
    // input connection a new type is carried downstream; a first input
    // connection, while the filter is stopped outside the pass-through mode
    // and the output stands connected with another type, has the output
    // reconnected with that type at once.
    HRESULT Filter_CompleteConnect(DWORD dwCookie);
    // Upstream's allocator is recorded on the input pin: the output side
    // follows (its type, a reconnection while stopped, or the allocator of a
    // live type change).
    HRESULT Filter_CompleteConnectInput();
    // The output connection stands: the graph reconnects the input pin, so
    // that the upstream allocator is agreed end to end; not for the
    // pass-through mode's own connection, nor for one made for the input's
    // sake or to restore. A reconnection that leaves a pin unconnected fails.
    HRESULT Filter_CompleteConnectOutput();

    // The connection invariant and how it is kept: see Connection.cpp.

    // The output is reconnected with the input's new type pmt. S_OK when the
    // downstream pin took it (or the graph does the work later); otherwise
    // the output gets its last working type back and the failure is returned.
    HRESULT ReconnectOutput(const AM_MEDIA_TYPE* pmt);
    // Enters the output pin's lock for the input side, which may hold the
    // input pin's lock and the upstream pin's: behind an output pin that
    // calls out while it holds its lock (its connection) the wait is bounded,
    // and false, with a warning naming pszStep and what becomes of the call
    // (pszOutcome), means the lock was not taken. Behind other holders the
    // call waits its turn.
    bool EnterOutputForInput(LPCWSTR pszStep, LPCWSTR pszOutcome);
    // TRUE when pmt is the input's type. Asked under the output pin's lock
    // (by its connection), the copy the connection took before the lock
    // answers.
    BOOL IsInputType(const AM_MEDIA_TYPE* pmt);
    // Connects the output to spDown with pmt again, taking any type (it
    // worked before) and without reconnecting the input.
    HRESULT RestoreOutput(IPin* spDown, const AM_MEDIA_TYPE* pmt);
    // Connects spUp to the input with pmt again when the input is no longer
    // connected.
    HRESULT RestoreInput(IPin* spUp, const AM_MEDIA_TYPE* pmt);
    // Copies of both pins' media types, each taken under its pin's lock.
    void CopyPinTypes(CMType* pIn, CMType* pOut);
    // The in-place rule, except that: anything goes on the output while the
    // pass-through mode connects it or its last working type is restored;
    // any other output connection while the mode lasts carries only the
    // input's type; the input takes no type that the connected downstream
    // pin refused in ReceiveConnection, nor a subtype whose allocator
    // agreement failed; and a changed YUV type between the AVI splitter and
    // the overlay mixer is taken.
    BOOL Filter_QueryAcceptMT(DWORD dwCookie, const AM_MEDIA_TYPE* pmt);
    BOOL AcceptChangedYuvType(DWORD dwCookie, const AM_MEDIA_TYPE* pmt);

    // The pass-through allocator mode: the input pin's answers come from the
    // downstream pin m_spDownstreamPin.
    HRESULT PassThru_ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt);
    HRESULT PassThru_Disconnect();
    HRESULT PassThru_ConnectionMediaType(AM_MEDIA_TYPE* pmt);
    HRESULT PassThru_QueryAccept(const AM_MEDIA_TYPE* pmt);
    HRESULT PassThru_EnumMediaTypes(IEnumMediaTypes** ppEnum);
    HRESULT PassThru_GetAllocator(IMemAllocator** ppAllocator);
    HRESULT PassThru_NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly);
    HRESULT PassThru_GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps);
    HRESULT PassThru_ReceiveCanBlock();
    // Leaves the pass-through mode: the flag is cleared and the stored
    // downstream pin released.
    void EndPassThru();

    // An allocator that the input pin handed out is never attached as the
    // upstream allocator of the output connection.
    HRESULT Filter_GetTransInPlaceAlloc(DWORD dwCookie, IMemAllocator** ppAllocIn, bool* pbUseInAllocator,
                                        bool* pbReadOnly);

    // Trace, then the template's work.
    HRESULT Filter_QualityNotify(DWORD dwCookie, IBaseFilter* pSelf, Quality q);
    HRESULT Filter_EndOfStream(DWORD dwCookie);
    HRESULT Filter_BeginFlush(DWORD dwCookie);
    HRESULT Filter_EndFlush(DWORD dwCookie);
    HRESULT Filter_NewSegment(DWORD dwCookie, REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    // Everything done with one sample that passed the input pin's checks;
    // the result goes back to the upstream pin (SampleRoad.cpp).
    HRESULT Filter_SendSample(DWORD dwCookie, IMediaSample* pSample);

    // The template's Load; on success the switches reach the pins. A stream
    // that cannot be read leaves the filter and its pins as they were.
    STDMETHOD(Load)(IStream* pStm) override;

    // The state changes (StateChanges.cpp). Each runs the template's change
    // and adds the spy's bookkeeping: Stop reports and resets the sample
    // count, reports the flush latencies and finishes the difference file;
    // Pause from Stopped traces the allocators and creates the difference
    // file (one that cannot be made is traced and the filter runs without
    // it); Run starts the bitrate afresh.
    STDMETHOD(Stop)() override;
    STDMETHOD(Pause)() override;
    STDMETHOD(Run)(REFERENCE_TIME tStart) override;

    // Creates the difference file on m_szDiffFile with a zero count in front
    // and makes its buffer ready; Pause calls it when the filter leaves
    // Stopped. The file stays open (and unreadable to others) until Stop
    // finishes it.
    HRESULT OpenDiffFile();

    // Writes the entries still buffered and then, at the file's start, the
    // number of entries in the file, and closes it. Entries whose write
    // failed are not counted. The first failure is the result. Called under
    // the filter lock, with the file open.
    HRESULT CloseDiffFile();

    // Writes the buffered entries at the file's current position and empties
    // the buffer. They count as written only when the write succeeded;
    // otherwise the file is cut back behind the counted entries. Called under
    // the filter lock.
    HRESULT WriteDiffEntries();

    // After a failed write into the difference file: the write position goes
    // back behind the entries counted so far and the file ends there, so that
    // no bytes of a write that stopped short stay among the counted entries.
    // Called under the filter lock.
    void RewindDiffFile();

    // Samples a PCM media type counts for a sample of cbActual bytes: the
    // number of sample frames in it; 1 for any other type.
    static LONGLONG SampleCount(const AM_MEDIA_TYPE* pmt, LONG cbActual);

    // Bit/s for cbBytes over llInterval units of 100 ns (llInterval > 0); a
    // rate beyond 32 bits gives the largest DWORD.
    static DWORD BitRate(LONGLONG llBytes, ULONGLONG ullInterval);

    DWORD m_nInstance;                        // 1 for the first filter of the process
    WCHAR m_szTraceName[SPY_TRACE_NAME_SIZE]; // "[Spy <n>]"
    CComPtr<IUnknown> m_spMarshaler;          // the aggregated free-threaded marshaler
    DWORD m_bDynReconnect;                    // persisted: dynamic reconnection allowed
    DWORD m_bMTEnumRedir;                     // persisted: media-type enumeration redirection
    ULONGLONG m_llSamples;                    // samples passed (PCM: sample frames)
    BYTE m_bCapture;                          // a frame capture is pending
    LONGLONG m_llTotalTime;                   // summed time between timed samples, 100 ns
    REFERENCE_TIME m_tPrev;                   // start time of the previous timed sample
    LONGLONG m_llTotalBytes;                  // bytes over m_llTotalTime
    LONGLONG m_llBytes;                       // bytes since the previous timed sample
    DWORD m_nBitrate;                         // current bitrate, bit/s
    DWORD m_bForcePassthru;                   // persisted: pass-through allocator forced
    BYTE m_bCheckPositioning;                 // setting "Check positioning"
    WCHAR m_szDiffFile[MAX_PATH];             // setting "Difference file"
    DWORD m_dwFreq;                           // time-stamp ticks per microsecond for the entries
    CFileWriter m_fileDiff;                   // the difference file
    CVirtualBuffer m_bufDiff;                 // entries not written yet
    DWORD m_nDiffBuffered;                    // entries in m_bufDiff
    DWORD m_nDiffTotal;                       // entries written to the file
    LONGLONG m_llPrev;                        // time-stamp counter at the previous running sample
    CPerf m_perf;                             // delivery timer and flush latencies
    BYTE m_bReconnecting = 0;                 // the pass-through allocator mode is active
    CComPtr<IPin> m_spDownstreamPin;          // the pin the input pin impersonates in that mode

    // The difference entry of a sample that arrives at time-stamp counter
    // llTime while the file is open and the filter runs; the first one after
    // the file was opened only keeps its time. Called under the filter lock.
    void AddDiffEntry(LONGLONG llTime);
    // The bitrate bookkeeping of one sample; called under the filter lock.
    void MeasureBitrate(IMediaSample* pSample);

private:
    // A delivery sample of the output allocator filled with a copy of
    // pSample, for connections with separate allocators. S_FALSE and no
    // sample when the copy failed (traced); a failure when no delivery sample
    // could be had.
    HRESULT CopyToDeliverySample(IMediaSample* pSample, IMediaSample** ppDeliver);

    // -----------------------------------------------------------------------
    // INRVSpyFilter and the frame capture (SpyInterface.cpp)
public:
    // The switches: stored as given, copied into the pin that reads them,
    // and marked for saving when the value really changes. The getters
    // answer S_OK only for a switch that is exactly 1.
    STDMETHOD(EnableDynReconnect)(LONG bEnable) override;
    STDMETHOD(IsDynReconnecEnabled)() override;
    STDMETHOD(EnableMTEnumRedir)(LONG bEnable) override;
    STDMETHOD(IsMTEnumRedirEnabled)() override;
    // The current and the average bitrate since the last Run, bit/s.
    STDMETHOD(GetBitrate)(ULONG* pnCurrent, ULONG* pnAverage) override;
    // Only while the whole graph is stopped; the reconnection runs inside
    // the graph's reconfiguration where the graph offers one.
    STDMETHOD(ForcePassthruAllocator)(LONG bForce) override;
    // The change itself: checks that the graph, the filter and both
    // neighbours are stopped, stores the switch and has the graph reconnect
    // the input, holding no lock of the filter while the graph works.
    HRESULT ApplyForcePassthru(DWORD dwForce);
    volatile LONG m_dwForcingThread = 0; // the thread whose ForcePassthruAllocator runs now
    // The graph that the filter joined says it is stopped (a filter outside
    // a graph, or a graph without IMediaControl, counts as stopped).
    BOOL IsGraphStopped();
    // The filter that owns pPin is stopped (TRUE for no pin, FALSE for a
    // filter that cannot tell).
    static BOOL IsPinFilterStopped(IPin* pPin);
    STDMETHOD(IsPassthruAllocatorForced)(LONG* pbForced) override;
    // Asks for the next sample that reaches the filter to be written to the
    // file; a later request replaces one still pending.
    STDMETHOD(CaptureFrame)(BSTR bstrFileName, enum tagCaptureFileType eCFT) override;

    // Writes the pending capture from pSample; the sample road calls it
    // while m_bCapture is set. A sample without readable properties leaves
    // the request pending for the next one.
    void Capture(IMediaSample* pSample);
    // S_OK when the input is connected with a picture type whose pictures a
    // bitmap file can hold in the output type's layout; VFW_E_NOT_CONNECTED
    // or VFW_E_INVALIDMEDIATYPE otherwise.
    HRESULT CanCaptureBitmap();

    CComBSTR m_bstrCapture;                    // file of the pending capture
    enum tagCaptureFileType m_eCFT = eCFT_Bin; // file type of the pending capture
};
