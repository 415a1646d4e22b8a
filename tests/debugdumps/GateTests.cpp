// A dump asked for at a level or in a category the trace drops does nothing
// at all: no line, and not one call on the object it was handed.
#include "DumpFakes.h"

using namespace dumps;

namespace {

struct GateCase
{
    const char* name;
    DWORD_PTR dwCategory;
    UINT nLevel;
    bool bPasses;
};

class DumpGate : public ::testing::TestWithParam<GateCase>
{
};

TEST_P(DumpGate, NothingAtAllUnlessTheLineWouldBeWritten)
{
    const DWORD_PTR cat = GetParam().dwCategory;
    const UINT lvl = GetParam().nLevel;
    Ref<CFakeSample> sample(new CFakeSample);
    sample->m_bSample2 = true;
    Ref<CFakeClock> clock(new CFakeClock);
    Ref<CFakeAllocator> allocator(new CFakeAllocator);
    Ref<fakes::CFakePin> pin(new fakes::CFakePin(L"In", PINDIR_INPUT));
    Ref<CFakeMediaTypes> types(new CFakeMediaTypes);
    pin->m_pMediaTypes = types;
    Ref<CFakeStreamConfig> config(new CFakeStreamConfig);
    const std::vector<CFakeBase*> objects = {sample.p, clock.p, allocator.p, pin.p, types.p, config.p};
    for (CFakeBase* p : objects)
        p->m_cCalls = 0;

    AM_MEDIA_TYPE mt = fakes::MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, GUID_NULL, NULL, 0);
    BYTE bytes[32] = {};
    WAVEFORMATEX wfx = {};
    BITMAPINFOHEADER bmi = {};
    DVINFO dv = {};
    ALLOCATOR_PROPERTIES props = {};
    KS_VBIINFOHEADER vbi = {};
    DDCOLORCONTROL cc = {};

    CRecordingLogScope log;
    Debug_MediaType(cat, lvl, &mt);
    Debug_WaveFormatEx(cat, lvl, &wfx);
    Debug_BitmapInfoHeader(cat, lvl, &bmi);
    Debug_DvInfo(cat, lvl, &dv);
    Debug_Sample(cat, lvl, sample, NULL, TRUE);
    Debug_SampleLag(cat, lvl, sample, 0, clock);
    Debug_Allocator(cat, lvl, allocator);
    Debug_AllocatorProps(cat, lvl, &props);
    EXPECT_EQ(GetParam().bPasses, TraceMemory(cat, lvl, 32, bytes, L"t"));
    Debug_PinMediaTypes(cat, lvl, pin);
    Debug_FilterFromPin(cat, lvl, NULL, pin);
    Debug_AMStreamConfig(cat, lvl, static_cast<IAMStreamConfig*>(config.p));
    Debug_KsVBIInfoHeader(cat, lvl, &vbi);
    Debug_ColorControls(cat, lvl, &cc);

    if (GetParam().bPasses)
    {
        // Every dump wrote and every object was asked.
        EXPECT_LE(17u, log.m_log.m_lines.size());
        for (CFakeBase* p : objects)
            EXPECT_LT(0, p->m_cCalls);
    }
    else
    {
        EXPECT_EQ(0u, log.m_log.m_lines.size());
        for (CFakeBase* p : objects)
            EXPECT_EQ(0, p->m_cCalls);
    }
}

const GateCase kGateCases[] = {
    {"Level8", atlTraceGeneral, 8, true},
    {"Level0", atlTraceCOM, 0, true},
    {"Level10", atlTraceGeneral, 10, false},
    {"Level12", atlTraceGeneral, 12, false},
    {"ZeroCategory", 0, 2, false},
    // Only the low 32 bits of the category value count.
    {"CategoryHighBitsOnly", static_cast<DWORD_PTR>(1) << 32, 2, false},
};

INSTANTIATE_TEST_SUITE_P(Gate, DumpGate, ::testing::ValuesIn(kGateCases),
                         [](const ::testing::TestParamInfo<GateCase>& i) { return std::string(i.param.name); });

} // namespace
