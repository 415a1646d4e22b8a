// A chain for the tests in Wine's filter graph manager: the test source, the
// test filter (reconnecting its input after each output connection, as an
// in-place filter that wants one allocator end to end does), and downstream
// the test sink, Wine's Null Renderer, or Wine's Sample Grabber followed by
// the test sink.
#pragma once

#include "StreamSupport.h"

#include "dsfix/Graph.h"
#include "dsfix/TestSource.h"

enum class Downstream
{
    Sink,
    NullRenderer,
    GrabberToSink,
};

enum class How
{
    Direct,  // IFilterGraph::ConnectDirect
    Builder, // IGraphBuilder::Connect
};

struct ChainConfig
{
    ChainConfig()
    {
        source.mediaTypes = { TestVideoType() };
        source.sampleCount = 10;
    }
    dsfix::TestSourceConfig source;
    dsfix::TestSinkConfig sink;
    Downstream eDown = Downstream::Sink;
    How eHow = How::Direct;
    bool bReconnect = true;
};

class Chain
{
public:
    Chain() = default;
    ~Chain()
    {
        graph.Release();
        middle.Reset();
        sink.Reset();
        f.Release();
        source.Reset();
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    // Creates the filters, adds them to a new graph and connects them from
    // the source down.
    HRESULT Build(const ChainConfig& config)
    {
        m_eHow = config.eHow;
        HRESULT hr = graph.Create();
        if (FAILED(hr))
            return hr;
        dsfix::TestSource* pSource = NULL;
        hr = dsfix::TestSource::Create(config.source, &pSource);
        if (FAILED(hr))
            return hr;
        source.Attach(pSource);
        f->m_bReconnect = config.bReconnect;
        if (FAILED(hr = graph.Add(source, L"Source")) || FAILED(hr = graph.Add(f.Filter(), L"Filter Under Test")))
            return hr;
        if (Downstream::NullRenderer == config.eDown)
            hr = graph.AddNew(dsfix::CLSID_WineNullRenderer, L"Null Renderer", &middle);
        else if (Downstream::GrabberToSink == config.eDown)
            hr = graph.AddNew(dsfix::CLSID_WineSampleGrabber, L"Sample Grabber", &middle);
        if (FAILED(hr))
            return hr;
        if (Downstream::NullRenderer != config.eDown)
        {
            dsfix::TestSink* pSink = NULL;
            if (FAILED(hr = dsfix::TestSink::Create(config.sink, &pSink)))
                return hr;
            sink.Attach(pSink);
            if (FAILED(hr = graph.Add(sink, L"Sink")))
                return hr;
        }
        if (FAILED(hr = Connect(source->Pin(), f.In())))
            return hr;
        if (middle)
        {
            if (FAILED(hr = Connect(f.Out(), dsfix::FindPin(middle, PINDIR_INPUT))))
                return hr;
            if (sink)
                hr = Connect(dsfix::FindPin(middle, PINDIR_OUTPUT), sink->Pin());
            return hr;
        }
        return Connect(f.Out(), sink->Pin());
    }

    HRESULT Connect(IPin* pOut, IPin* pIn)
    {
        return How::Direct == m_eHow ? graph.ConnectDirect(pOut, pIn, NULL) : graph.Connect(pOut, pIn);
    }

    dsfix::TestGraph graph;
    dsfix::ComPtr<dsfix::TestSource> source;
    CTestFilterPtr f;
    dsfix::ComPtr<IBaseFilter> middle;
    dsfix::ComPtr<dsfix::TestSink> sink;

private:
    How m_eHow = How::Direct;
};
