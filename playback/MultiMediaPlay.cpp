#include "playback/MultiMediaPlay.h"


#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/LogWrapper.h"
#include "platform/dshow/DShowTypes.h"
#include "platform/os/Thread.h"
#include "platform/os/Unicode.h"
#include "playback/NullRenderer.h"

namespace {

// Class identifiers of the three decoder modules, as their modules spell them.
const char kSplitterClsid[] = "171252A0-8820-4AFE-9DF8-5C92B2D66B04";
const char kAudioDecoderClsid[] = "E8E73B6B-4CB3-44A4-BE99-4F7BCB96E491";
const char kVideoDecoderClsid[] = "EE30215D-164F-4A92-A4EB-9D4C13390F9F";

// Relative on purpose: the modules lie in LAVFilters/ beside the host
// (LoadLibraryA looks there first, then in the current directory).
const char kSplitterModule[] = "./LAVFilters/LAVSplitter.ax";
const char kVideoModule[] = "./LAVFilters/LAVVideo.ax";
const char kAudioModule[] = "./LAVFilters/LAVAudio.ax";

// m_szFile's capacity, terminator included.
constexpr size_t kMaxPath = 260;

using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID riid, void** ppv);

GUID ScanClsid(const char* text)
{
    unsigned long data1 = 0;
    unsigned int data2 = 0, data3 = 0, b[8] = {};
    GUID guid{};
    if (std::sscanf(text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", &data1, &data2, &data3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) == 11) {
        guid.Data1 = static_cast<uint32_t>(data1);
        guid.Data2 = static_cast<uint16_t>(data2);
        guid.Data3 = static_cast<uint16_t>(data3);
        for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(b[i]);
    }
    return guid;
}

// Registers `object` in the running object table under the item name
// `name`; the cookie is written on success.
HRESULT RegisterInTable(IUnknown* object, const std::string& name, DWORD* cookie)
{
    ComPtr<IRunningObjectTable> table;
    if (FAILED(GetRunningObjectTable(0, table.ReleaseAndGetAddressOf()))) return E_FAIL;
    std::u16string wide = Utf8ToUtf16(name);
    ComPtr<IMoniker> moniker;
    HRESULT hr = CreateItemMoniker(u"!", wide.c_str(), moniker.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    return table->Register(0, object, moniker.Get(), cookie);
}

// The graph's address with every digit it has (at least eight), so that two
// graphs of a 64-bit process never share a name.
std::string AddressText(const void* p, bool upper)
{
    char text[2 * sizeof(uintptr_t) + 1];
    std::snprintf(text, sizeof(text), upper ? "%08" PRIXPTR : "%08" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return text;
}

std::string PidText()
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", static_cast<unsigned int>(GetCurrentProcessId()));
    return text;
}

}  // namespace

CMultiMediaPlay::CMultiMediaPlay(bool testOnly, IRendererDataSink* sink)
    : m_dwRotRegisterExt(0),
      m_clsidSplitter{},
      m_clsidVideoDecoder{},
      m_clsidAudioDecoder{},
      m_hSplitterModule(nullptr),
      m_hVideoModule(nullptr),
      m_hAudioModule(nullptr),
      m_bTestOnly(testOnly),
      m_pSink(sink),
      m_szFile{},
      m_dwRotRegister(0)
{
    m_clsidSplitter = ScanClsid(kSplitterClsid);
    m_clsidAudioDecoder = ScanClsid(kAudioDecoderClsid);
    m_clsidVideoDecoder = ScanClsid(kVideoDecoderClsid);
    // A module that does not load just leaves its filter out of the graph.
    m_hSplitterModule = LoadLibraryA(kSplitterModule);
    m_hVideoModule = LoadLibraryA(kVideoModule);
    m_hAudioModule = LoadLibraryA(kAudioModule);
}

CMultiMediaPlay::~CMultiMediaPlay()
{
    if (m_pGraph && m_pMediaControl) {
        OAFilterState state = State_Stopped;
        if (SUCCEEDED(m_pMediaControl->GetState(10, &state)) && state == State_Running) Stop();
    }
    if (m_pVideoWindow) {
        m_pVideoWindow->put_Visible(OAFALSE);
        m_pVideoWindow->put_MessageDrain(0);
        m_pVideoWindow->put_Owner(0);
    }
    // No event message may reach the window once teardown has begun.
    if (m_pMediaEvent) m_pMediaEvent->SetNotifyWindow(0, 0, 0);
    {
        ComPtr<IRunningObjectTable> table;
        if (SUCCEEDED(GetRunningObjectTable(0, table.ReleaseAndGetAddressOf()))) {
            table->Revoke(m_dwRotRegisterExt);
            m_dwRotRegisterExt = 0;
        }
    }
    if (m_pGraph) {
        if (m_pAudioDecoder) m_pGraph->RemoveFilter(m_pAudioDecoder.Get());
        if (m_pVideoDecoder) m_pGraph->RemoveFilter(m_pVideoDecoder.Get());
        if (m_pSplitter) m_pGraph->RemoveFilter(m_pSplitter.Get());
        if (m_pVideoRenderer) m_pGraph->RemoveFilter(m_pVideoRenderer.Get());
        if (m_pAudioRenderer) m_pGraph->RemoveFilter(m_pAudioRenderer.Get());
    }
    m_pVideoRenderer = nullptr;
    m_pAudioRenderer = nullptr;
    if (m_dwRotRegister != 0) {
        ComPtr<IRunningObjectTable> table;
        if (SUCCEEDED(GetRunningObjectTable(0, table.ReleaseAndGetAddressOf()))) table->Revoke(m_dwRotRegister);
    }
    m_dwRotRegister = 0;
    m_pMediaSeeking = nullptr;
    m_pMediaControl = nullptr;
    m_pMediaEvent = nullptr;
    m_pBasicVideo = nullptr;
    m_pBasicAudio = nullptr;
    m_pSplitter = nullptr;
    m_pAudioDecoder = nullptr;
    m_pVideoDecoder = nullptr;
    m_pVideoWindow = nullptr;
    m_pGraph = nullptr;
    // Last: every object the modules created has been released above.
    if (m_hAudioModule) FreeLibrary(m_hAudioModule);
    if (m_hVideoModule) FreeLibrary(m_hVideoModule);
    if (m_hSplitterModule) FreeLibrary(m_hSplitterModule);
}

HRESULT CMultiMediaPlay::CreateInstanceFromFile(IBaseFilter** out, const GUID& clsid, HMODULE module)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!module) return E_FAIL;
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
    if (getClassObject) {
        ComPtr<IClassFactory> factory;
        getClassObject(clsid, IID_IClassFactory, factory.ReleaseAndGetVoidAddress());
        if (factory) {
            // Only the pointer counts, not the HRESULT.
            factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(out));
            if (*out) return S_OK;
        }
    }
    CLogLine().rec().Advance("CMultiMediaPlay::CreateInstanceFromFile fail ");
    return E_FAIL;
}

bool CMultiMediaPlay::Create()
{
    if (m_pGraph) return false;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC, IID_IGraphBuilder,
                                m_pGraph.ReleaseAndGetVoidAddress()))) {
        m_pGraph = nullptr;
        CLogLine().rec().Advance("CMultiMediaPlay::Create fail ") << LogThis{this};
        return false;
    }
    RegisterExtEntry();

    if (SUCCEEDED(CreateInstanceFromFile(m_pAudioDecoder.ReleaseAndGetAddressOf(), m_clsidAudioDecoder,
                                         m_hAudioModule)) &&
        m_pAudioDecoder)
        m_pGraph->AddFilter(m_pAudioDecoder.Get(), u"LAV Audio Decoder");
    if (SUCCEEDED(CreateInstanceFromFile(m_pVideoDecoder.ReleaseAndGetAddressOf(), m_clsidVideoDecoder,
                                         m_hVideoModule)) &&
        m_pVideoDecoder)
        m_pGraph->AddFilter(m_pVideoDecoder.Get(), u"LAV Video Decoder");
    if (SUCCEEDED(CreateInstanceFromFile(m_pSplitter.ReleaseAndGetAddressOf(), m_clsidSplitter, m_hSplitterModule)) &&
        m_pSplitter)
        m_pGraph->AddFilter(m_pSplitter.Get(), u"LAV Splitter");

    if (!m_bTestOnly) {
        AddCaptureRenderer(&m_pAudioRenderer, 0, "CNullRenderer Audio ", u"NULL Audio Renderer", "AddFilter Audio ");
        AddCaptureRenderer(&m_pVideoRenderer, 1, "CNullRenderer video ", u"NULL Video Renderer", "AddFilter video ");
    }
    return true;
}

void CMultiMediaPlay::AddCaptureRenderer(ComPtr<CNullRenderer>* slot, int role, const char* createText,
                                         const char16_t* name, const char* addText)
{
    HRESULT hr = S_OK;
    // The temporary reference deletes a renderer whose construction failed.
    ComPtr<CNullRenderer> renderer(new CNullRenderer(m_pSink, role, &hr));
    CLogLine().rec().Advance(createText) << hr << LogThis{this};
    if (FAILED(hr)) return;
    *slot = renderer;
    hr |= m_pGraph->AddFilter(slot->Get(), name);
    CLogLine().rec().Advance(addText) << hr << LogThis{this};
}

void CMultiMediaPlay::RegisterExtEntry()
{
    std::string name = "ExtGraph.FilterGraph " + AddressText(m_pGraph.Get(), true) + " pid " + PidText();
    DWORD cookie = 0;
    // A graph viewer is a convenience: every failure here is ignored.
    if (SUCCEEDED(RegisterInTable(m_pGraph.Get(), name, &cookie))) m_dwRotRegisterExt = cookie;
}

HRESULT CMultiMediaPlay::RegisterEntry()
{
    std::string name = "FilterGraph " + AddressText(m_pGraph.Get(), false) + " pid " + PidText();
    DWORD cookie = 0;
    HRESULT hr = RegisterInTable(m_pGraph.Get(), name, &cookie);
    if (SUCCEEDED(hr)) m_dwRotRegister = cookie;
    return hr;
}

bool CMultiMediaPlay::SplitterInputConnected()
{
    ComPtr<IEnumPins> pins;
    if (FAILED(m_pSplitter->EnumPins(pins.ReleaseAndGetAddressOf())) || !pins) return false;
    ComPtr<IPin> pin;
    ULONG fetched = 0;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), &fetched) == S_OK && fetched == 1 && pin) {
        PIN_DIRECTION direction = PINDIR_OUTPUT;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_INPUT) {
            ComPtr<IPin> peer;
            pin->ConnectedTo(peer.ReleaseAndGetAddressOf());
            return peer != nullptr;
        }
    }
    return false;
}

bool CMultiMediaPlay::RenderFile(const char16_t* path)
{
    if (!m_pGraph || !path) return false;
    // One file per engine: a second rendering would orphan the first
    // table entry, and with it the graph.
    if (m_dwRotRegister != 0) {
        CLogLine().rec().Advance("CMultiMediaPlay::RenderFile already rendered ") << LogThis{this};
        return false;
    }
    size_t length = Utf16Length(path);
    // m_szFile could not hold it; refused rather than stored cut short.
    if (length >= kMaxPath) {
        CLogLine().rec().Advance("CMultiMediaPlay::RenderFile path too long ") << static_cast<unsigned long>(length)
            << LogThis{this};
        return false;
    }
    CLogLine().rec().Advance("CMultiMediaPlay::RenderFile ") << path << LogThis{this};

    // The system's own filters render these two types; the comparison is
    // case-sensitive on the whole tail from the last dot.
    std::u16string_view view(path, length);
    size_t dot = view.rfind(u'.');
    if (dot != std::u16string_view::npos) {
        std::u16string_view tail = view.substr(dot);
        bool wmv = tail == u".wmv";
        if (wmv || tail == u".wav") {
            if (m_pAudioDecoder) m_pGraph->RemoveFilter(m_pAudioDecoder.Get());
            if (m_pVideoDecoder) m_pGraph->RemoveFilter(m_pVideoDecoder.Get());
            if (m_pSplitter) m_pGraph->RemoveFilter(m_pSplitter.Get());
            CLogLine().rec().Advance(wmv ? "CMultiMediaPlay::RenderFile do not use mpc-hc wmv"
                                         : "CMultiMediaPlay::RenderFile do not use mpc-hc wav")
                << LogThis{this};
            m_pSplitter = nullptr;
            m_pAudioDecoder = nullptr;
            m_pVideoDecoder = nullptr;
        }
    }

    HRESULT hr = S_FALSE;
    try {
        hr = m_pGraph->RenderFile(path, nullptr);
    } catch (...) {
        // Whatever a filter throws while the graph is built stays here.
    }

    if (m_pSplitter && !SplitterInputConnected()) {
        m_pGraph->RemoveFilter(m_pSplitter.Get());
        m_pSplitter = nullptr;
    }

    if (SUCCEEDED(hr)) {
        m_pGraph.As(&m_pBasicVideo);
        m_pGraph.As(&m_pBasicAudio);
        m_pGraph.As(&m_pMediaControl);
        m_pGraph.As(&m_pMediaEvent);
        m_pGraph.As(&m_pVideoWindow);
        m_pGraph.As(&m_pMediaSeeking);
        if (m_pVideoWindow) m_pVideoWindow->put_Visible(OAFALSE);
        if (m_pMediaSeeking) m_pMediaSeeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME);
    }

    if (SUCCEEDED(RegisterEntry())) {
        std::memcpy(m_szFile, path, (length + 1) * sizeof(char16_t));
        return true;
    }
    CLogLine().rec().Advance("CMultiMediaPlay::RenderFile failed ") << LogThis{this};
    return false;
}

bool CMultiMediaPlay::Play()
{
    if (!m_pGraph || !m_pMediaControl) return false;
    OAFilterState state = State_Stopped;
    if (SUCCEEDED(m_pMediaControl->GetState(10, &state)) && state == State_Running) return true;
    if (FAILED(m_pMediaControl->Run())) return false;
    // A transition still under way reports its target state: running.
    state = State_Stopped;
    m_pMediaControl->GetState(1000, &state);
    return state == State_Running;
}

bool CMultiMediaPlay::Pause()
{
    if (!m_pGraph || !m_pMediaControl) return false;
    OAFilterState state = State_Stopped;
    if (SUCCEEDED(m_pMediaControl->GetState(10, &state)) && state == State_Paused) return true;
    // S_FALSE: the pause completes later, which is fine.
    return SUCCEEDED(m_pMediaControl->Pause());
}

void CMultiMediaPlay::Stop()
{
    if (!m_pGraph || !m_pMediaControl) return;
    OAFilterState state = State_Running;
    if (SUCCEEDED(m_pMediaControl->GetState(10, &state)) && state == State_Stopped) return;
    m_pMediaControl->Stop();
}

MediaInfo& CMultiMediaPlay::GetMediaInfo(MediaInfo& info)
{
    info.hasVideo = 1;
    info.alwaysOne = 1;
    info.durationMs = -1;
    info.framesPerSecond = 25;
    if (m_pVideoWindow) {
        LONG visible = 0;
        HRESULT hr = m_pVideoWindow->get_Visible(&visible);
        if (hr == E_NOINTERFACE) {
            info.hasVideo = 0;
        } else if (SUCCEEDED(hr) && m_pBasicVideo) {
            info.hasVideo = 1;
            LONG width = 0, height = 0;
            if (SUCCEEDED(m_pBasicVideo->GetVideoSize(&width, &height))) {
                info.width = width;
                info.height = height;
            }
            REFTIME frameTime = 0;
            if (SUCCEEDED(m_pBasicVideo->get_AvgTimePerFrame(&frameTime)) && frameTime > 0) {
                // Truncated. Frame times are whole 100 ns units, so 1/15 s is
                // stored a little long and must still read as 15: take the
                // fastest rate the stored time can stand for. A rate that does
                // not fit is left at the default.
                double fps = 1.0 / std::max(frameTime - 0.5e-7, 1e-9);
                if (fps < 2147483647.0) info.framesPerSecond = static_cast<int32_t>(fps);
            }
        }
    }
    LONGLONG duration = 0;
    if (m_pMediaSeeking && SUCCEEDED(m_pMediaSeeking->GetDuration(&duration))) {
        LONGLONG ms = duration / 10000;
        if (ms >= INT32_MIN && ms <= INT32_MAX) info.durationMs = static_cast<int32_t>(ms);
    }
    return info;
}

void CMultiMediaPlay::SetNotifyWindow(OAHWND window, uint32_t message)
{
    if (m_pMediaEvent) m_pMediaEvent->SetNotifyWindow(window, static_cast<LONG>(message), 0);
}

void CMultiMediaPlay::HandleGraphEvents()
{
    if (!m_pMediaEvent) return;
    LONG code = 0;
    LONG_PTR param1 = 0, param2 = 0;
    while (SUCCEEDED(m_pMediaEvent->GetEvent(&code, &param1, &param2, 0))) {
        m_pMediaEvent->FreeEventParams(code, param1, param2);
        if (code == EC_COMPLETE && m_pSink) m_pSink->OnPlayComplete();
    }
}

void CMultiMediaPlay::SeekTo(int64_t milliseconds)
{
    if (!m_pMediaSeeking) return;
    LONGLONG position = 0;
    // A position beyond the 100-ns range is clamped instead of overflowing.
    if (__builtin_mul_overflow(milliseconds, LONGLONG{10000}, &position))
        position = milliseconds < 0 ? INT64_MIN : INT64_MAX;
    // A refused seek shows in the next GetCurrentPosition.
    m_pMediaSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame, nullptr,
                                  AM_SEEKING_NoPositioning);
}

bool CMultiMediaPlay::GetCurrentPosition(int64_t* milliseconds)
{
    if (!m_pMediaSeeking || !milliseconds) return false;
    LONGLONG position = 0;
    if (FAILED(m_pMediaSeeking->GetCurrentPosition(&position))) return false;
    *milliseconds = position / 10000;
    return true;
}
