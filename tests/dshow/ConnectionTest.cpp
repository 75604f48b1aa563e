// Pin connection and a three-filter chain: push source -> transform ->
// renderer, with end of stream, flushing, seeking and stopping.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/dshow/Renderer.h"
#include "platform/dshow/Transform.h"
#include "tests/dshow/TestFilters.h"

using namespace testing_dshow;

namespace {

// Inverts every byte; RGB32 in, RGB32 out.
class CInvertTransform final : public CTransformFilter
{
public:
    CInvertTransform() : CTransformFilter("CInvertTransform", nullptr, GUID_NULL) {}
    HRESULT CheckInputType(const CMediaType* mt) override
    {
        return mt->majortype == MEDIATYPE_Video && mt->subtype == MEDIASUBTYPE_RGB32 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override
    {
        return in->MatchesExactly(*out) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* props) override
    {
        props->cBuffers = 1;
        props->cbBuffer = 64;
        ALLOCATOR_PROPERTIES actual{};
        return alloc->SetProperties(props, &actual);
    }
    HRESULT GetMediaType(int position, CMediaType* mt) override
    {
        if (position != 0) return VFW_S_NO_MORE_ITEMS;
        *mt = m_pInput->CurrentMediaType();
        return S_OK;
    }
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override
    {
        BYTE *src = nullptr, *dst = nullptr;
        in->GetPointer(&src);
        out->GetPointer(&dst);
        LONG n = in->GetActualDataLength();
        for (LONG i = 0; i < n; ++i) dst[i] = static_cast<BYTE>(~src[i]);
        out->SetActualDataLength(n);
        return S_OK;
    }
    std::atomic<int> flushes{0};
    HRESULT BeginFlush() override
    {
        ++flushes;
        return CTransformFilter::BeginFlush();
    }
};

// Records what it renders.
class CRecordingRenderer final : public CBaseRenderer
{
public:
    CRecordingRenderer() : CBaseRenderer(GUID_NULL, "CRecordingRenderer", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType* mt) override
    {
        return mt->majortype == MEDIATYPE_Video ? S_OK : E_INVALIDARG;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override
    {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::lock_guard<std::mutex> guard(m_lock);
        m_rendered.emplace_back(data, data + sample->GetActualDataLength());
        return S_OK;
    }
    std::vector<std::vector<BYTE>> Rendered()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_rendered;
    }

private:
    std::mutex m_lock;
    std::vector<std::vector<BYTE>> m_rendered;
};

// A clock whose time the test sets and whose timer never fires on its own:
// a timer that runs late. Keeps the advises that are still registered.
class CManualClock final : public CUnknown, public IReferenceClock
{
public:
    CManualClock() : CUnknown("CManualClock") {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IReferenceClock) return GetInterface(static_cast<IReferenceClock*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT GetTime(REFERENCE_TIME* t) override
    {
        *t = now.load();
        return S_OK;
    }
    HRESULT AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR* cookie) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        *cookie = m_next++;
        m_advises.push_back(*cookie);
        return S_OK;
    }
    HRESULT AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override { return E_NOTIMPL; }
    HRESULT Unadvise(DWORD_PTR cookie) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = std::find(m_advises.begin(), m_advises.end(), cookie);
        if (it == m_advises.end()) return S_FALSE;
        m_advises.erase(it);
        return S_OK;
    }
    size_t Registered()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_advises.size();
    }
    std::atomic<REFERENCE_TIME> now{0};

private:
    std::mutex m_lock;
    std::vector<DWORD_PTR> m_advises;
    DWORD_PTR m_next = 1;
};

class ChainTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_baseline = CBaseObject::ObjectsActive();
        m_source = new CTestPushSource({MakeVideoType(MEDIASUBTYPE_RGB32, 4, 4)});
        m_transform = new CInvertTransform;
        m_renderer = new CRecordingRenderer;
        m_graph = new CTestGraph;
        m_clock = new CSystemClock;
        for (IBaseFilter* f : Filters()) {
            f->JoinFilterGraph(m_graph.Get(), u"f");
            f->SetSyncSource(m_clock.Get());
        }
    }
    void TearDown() override
    {
        // Renderers first, as the graph manager does.
        StopAll();
        m_source->Join();
        m_source->Pin()->Disconnect();
        m_transform->InputPin()->Disconnect();
        m_transform->OutputPin()->Disconnect();
        m_renderer->InputPin()->Disconnect();
        for (IBaseFilter* f : Filters()) f->JoinFilterGraph(nullptr, nullptr);
        m_source = nullptr;
        m_transform = nullptr;
        m_renderer = nullptr;
        m_graph = nullptr;
        m_clock = nullptr;
        EXPECT_EQ(CBaseObject::ObjectsActive(), m_baseline);
    }
    std::vector<IBaseFilter*> Filters() { return {m_source.Get(), m_transform.Get(), m_renderer.Get()}; }
    std::vector<IBaseFilter*> RenderersFirst() { return {m_renderer.Get(), m_transform.Get(), m_source.Get()}; }
    void StopAll()
    {
        for (IBaseFilter* f : RenderersFirst()) f->Stop();
    }
    void ConnectAll()
    {
        ASSERT_EQ(m_source->Pin()->Connect(m_transform->InputPin(), nullptr), S_OK);
        ASSERT_EQ(m_transform->OutputPin()->Connect(m_renderer->InputPin(), nullptr), S_OK);
    }
    void RunAll()
    {
        REFERENCE_TIME start = CSystemClock::Now();
        for (IBaseFilter* f : RenderersFirst()) f->Run(start);
    }

    long m_baseline = 0;
    ComPtr<CTestPushSource> m_source;
    ComPtr<CInvertTransform> m_transform;
    ComPtr<CRecordingRenderer> m_renderer;
    ComPtr<CTestGraph> m_graph;
    ComPtr<CSystemClock> m_clock;
};

}  // namespace

TEST_F(ChainTest, ConnectionRules)
{
    // The transform's output needs its input first.
    EXPECT_FALSE(SUCCEEDED(m_transform->OutputPin()->Connect(m_renderer->InputPin(), nullptr)));
    EXPECT_FALSE(m_renderer->InputPin()->IsConnected());
    // Same direction is refused.
    EXPECT_EQ(m_source->Pin()->Connect(m_transform->OutputPin(), nullptr), VFW_E_INVALID_DIRECTION);
    // A full type that the input refuses.
    CMediaType yuy2 = MakeVideoType(MEDIASUBTYPE_YUY2, 4, 4);
    EXPECT_EQ(m_source->Pin()->Connect(m_transform->InputPin(), &yuy2), VFW_E_TYPE_NOT_ACCEPTED);
    ConnectAll();
    EXPECT_EQ(m_source->Pin()->Connect(m_transform->InputPin(), nullptr), VFW_E_ALREADY_CONNECTED);
    ComPtr<IPin> peer;
    ASSERT_EQ(m_renderer->InputPin()->ConnectedTo(peer.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(peer.Get(), static_cast<IPin*>(m_transform->OutputPin()));
    RunAll();
    EXPECT_EQ(m_renderer->InputPin()->Disconnect(), VFW_E_NOT_STOPPED);
    m_renderer->Stop();
    m_transform->Stop();
    m_source->Stop();
    EXPECT_EQ(m_renderer->InputPin()->Disconnect(), S_OK);
    EXPECT_EQ(m_renderer->InputPin()->Disconnect(), S_FALSE);
    EXPECT_EQ(m_renderer->InputPin()->ConnectedTo(peer.ReleaseAndGetAddressOf()), VFW_E_NOT_CONNECTED);
}

TEST_F(ChainTest, SamplesAndEndOfStreamPassThroughTheTransform)
{
    ConnectAll();
    RunAll();
    m_source->Start({{Bytes({0x0F, 0xF0}), {}, {}, {}}, {Bytes({0x00}), {}, {}, {}}}, true);
    ASSERT_TRUE(WaitUntil([&] { return m_graph->Count(EC_COMPLETE) == 1; }, 2000ms));
    auto rendered = m_renderer->Rendered();
    ASSERT_EQ(rendered.size(), 2u);
    EXPECT_EQ(rendered[0], Bytes({0xF0, 0x0F}));
    EXPECT_EQ(rendered[1], Bytes({0xFF}));
    EXPECT_TRUE(m_renderer->IsEndOfStreamDelivered());
}

TEST_F(ChainTest, SeekingPassesThroughTheTransformToTheSource)
{
    ConnectAll();
    ComPtr<IMediaSeeking> seeking = ComPtr<IBaseFilter>(m_renderer.Get()).As<IMediaSeeking>();
    ASSERT_TRUE(seeking);
    LONGLONG pos = 12345;
    EXPECT_EQ(seeking->SetPositions(&pos, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    EXPECT_EQ(m_source->Pin()->seeking.lastSeek.load(), 12345);
}

TEST_F(ChainTest, FlushPassesDownstreamAndReleasesTheRenderer)
{
    ConnectAll();
    RunAll();
    m_source->Start({{Bytes({1}), 3600 * UNITS, 3601 * UNITS, {}}}, false);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(m_source->Done());
    m_source->Pin()->DeliverBeginFlush();
    EXPECT_TRUE(WaitUntil([&] { return m_source->Done(); }, 1000ms));
    m_source->Pin()->DeliverEndFlush();
    EXPECT_EQ(m_transform->flushes.load(), 1);
    EXPECT_TRUE(m_renderer->Rendered().empty());
    // Streaming goes on after the flush.
    m_source->Start({{Bytes({2}), {}, {}, {}}}, false);
    EXPECT_TRUE(WaitUntil([&] { return m_renderer->Rendered().size() == 1; }, 1000ms));
}

TEST_F(ChainTest, StopReleasesAChainBlockedDownstream)
{
    ConnectAll();
    RunAll();
    // The renderer waits for a far time while the source waits for the
    // transform's only output buffer... all released by stopping in order.
    m_source->Start({{Bytes({1}), 3600 * UNITS, 3601 * UNITS, {}}, {Bytes({2}), 3601 * UNITS, 3602 * UNITS, {}},
                     {Bytes({3}), 3602 * UNITS, 3603 * UNITS, {}}},
                    false);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(m_source->Done());
    StopAll();
    EXPECT_TRUE(WaitUntil([&] { return m_source->Done(); }, 1000ms));
    EXPECT_TRUE(m_renderer->Rendered().empty());
}

TEST_F(ChainTest, ASampleRenderedBeforeItsClockFiresLeavesNoAdviseBehind)
{
    ConnectAll();
    ComPtr<CManualClock> clock(new CManualClock);
    for (IBaseFilter* f : Filters()) f->SetSyncSource(clock.Get());
    for (IBaseFilter* f : RenderersFirst()) f->Run(0);
    m_source->Start({{Bytes({1}), 100 * MILLISECONDS, 140 * MILLISECONDS, {}}}, false);
    ASSERT_TRUE(WaitUntil([&] { return clock->Registered() == 1; }, 2000ms));
    // The sample is due, but the clock's timer is late. A pause and run
    // wake the waiting renderer; it finds the sample due and renders it
    // while the advise made by Run is still registered.
    clock->now = 200 * MILLISECONDS;
    {
        CAutoLock hold(*m_renderer->FilterLock());
        m_renderer->Pause();
        m_renderer->Run(0);
    }
    ASSERT_TRUE(WaitUntil([&] { return m_renderer->Rendered().size() == 1; }, 2000ms));
    EXPECT_EQ(clock->Registered(), 0u) << "the clock would still signal the renderer's event";
    StopAll();
}
