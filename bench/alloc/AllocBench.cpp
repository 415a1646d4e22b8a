// Measures, in one run, the round trip of one sample through an allocator
// (GetBuffer, then the sample's last Release) on the framework's allocator
// and on Wine's CLSID_MemoryAllocator, with one thread and with four threads
// sharing one allocator. Prints nanoseconds per round trip and the ratio of
// ours to Wine's (below 1: ours is faster).
#include <DSAllocators.h>

#include <stdio.h>

namespace
{

typedef CMemoryAllocatorT<CBufferOnVirtualAlloc> COurAllocator;

double Now()
{
    static LARGE_INTEGER s_freq;
    if (0 == s_freq.QuadPart)
        QueryPerformanceFrequency(&s_freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(s_freq.QuadPart);
}

struct Worker
{
    IMemAllocator* pAlloc;
    int nTrips;
    HANDLE hStart;
    LONG nFailures;
};

DWORD WINAPI RoundTrips(void* pv)
{
    Worker* w = static_cast<Worker*>(pv);
    WaitForSingleObject(w->hStart, INFINITE);
    for (int i = 0; i < w->nTrips; ++i)
    {
        IMediaSample* pSample = NULL;
        if (S_OK != w->pAlloc->GetBuffer(&pSample, NULL, NULL, 0))
        {
            ++w->nFailures;
            continue;
        }
        pSample->Release();
    }
    return 0;
}

// Nanoseconds per round trip, all threads' trips counted: the wall time of
// nThreads threads doing nTrips each, divided by all trips. -1 on failure.
double Measure(IMemAllocator* pAlloc, int nThreads, int nTrips)
{
    HANDLE hStart = CreateEventW(NULL, TRUE, FALSE, NULL);
    Worker rgWorkers[8];
    HANDLE rgThreads[8];
    for (int i = 0; i < nThreads; ++i)
    {
        rgWorkers[i] = { pAlloc, nTrips, hStart, 0 };
        rgThreads[i] = CreateThread(NULL, 0, RoundTrips, &rgWorkers[i], 0, NULL);
    }
    Sleep(10);
    const double t0 = Now();
    SetEvent(hStart);
    WaitForMultipleObjects(nThreads, rgThreads, TRUE, INFINITE);
    const double t = Now() - t0;
    LONG nFailures = 0;
    for (int i = 0; i < nThreads; ++i)
    {
        CloseHandle(rgThreads[i]);
        nFailures += rgWorkers[i].nFailures;
    }
    CloseHandle(hStart);
    return nFailures ? -1 : t * 1e9 / (static_cast<double>(nTrips) * nThreads);
}

bool Prepare(IMemAllocator* pAlloc)
{
    // More buffers than threads: nobody waits for a buffer, so the figure
    // is the cost of the two calls and their locking.
    ALLOCATOR_PROPERTIES req = { 8, 4096, 16, 0 }, actual = {};
    return S_OK == pAlloc->SetProperties(&req, &actual) && S_OK == pAlloc->Commit();
}

} // namespace

int main()
{
    CoInitializeEx(NULL, COINIT_MULTITHREADED);
    IMemAllocator* pOurs = NULL;
    IMemAllocator* pWine = NULL;
    if (FAILED(COurAllocator::CreateInstance(&pOurs)) ||
        FAILED(CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                reinterpret_cast<void**>(&pWine))) ||
        !Prepare(pOurs) || !Prepare(pWine))
    {
        printf("allocator set-up failed\n");
        return 1;
    }

    int nResult = 0;
    const int rgThreads[] = { 1, 4 };
    for (int nThreads : rgThreads)
    {
        const int nTrips = nThreads == 1 ? 400000 : 100000;
        // Warm up, then the best of several alternating runs of each.
        Measure(pOurs, nThreads, nTrips / 10);
        Measure(pWine, nThreads, nTrips / 10);
        double dOurs = 1e30, dWine = 1e30;
        for (int nRun = 0; nRun < 5; ++nRun)
        {
            const double o = Measure(pOurs, nThreads, nTrips);
            const double w = Measure(pWine, nThreads, nTrips);
            if (o < 0 || w < 0)
            {
                printf("a GetBuffer failed\n");
                nResult = 1;
            }
            if (o >= 0 && o < dOurs)
                dOurs = o;
            if (w >= 0 && w < dWine)
                dWine = w;
        }
        printf("GetBuffer+Release, %d thread%s: ours %.1f ns, Wine %.1f ns, ours/Wine %.4f\n", nThreads,
               nThreads == 1 ? "" : "s", dOurs, dWine, dOurs / dWine);
    }

    pOurs->Decommit();
    pWine->Decommit();
    pOurs->Release();
    pWine->Release();
    CoUninitialize();
    return nResult;
}
