// The framework's own classes and system filters, registered with COM and
// with the system filter registry when the program starts. Programs that
// link the framework keep this file through the linker option in
// CMakeLists.txt (it is referenced by nothing else).
#include "platform/com/ComApi.h"
#include "platform/dshow/AsyncSource.h"
#include "platform/dshow/DefaultRenderers.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FilterRegistry.h"
#include "platform/dshow/SystemClock.h"
#include "platform/dshow/WaveParser.h"

extern "C" {
// Named in the linker's --undefined option so that this object is linked.
extern const int g_marlinDShowBuiltinClasses;
const int g_marlinDShowBuiltinClasses = 1;
}

namespace {

template <class T>
CClassFactory::CreateFunction Create()
{
    return [](HRESULT*) -> CUnknown* { return new T; };
}

const GUID kUncompressedVideo[] = {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2,   MEDIASUBTYPE_I420,   MEDIASUBTYPE_IYUV,
                                   MEDIASUBTYPE_UYVY,  MEDIASUBTYPE_YVU9,   MEDIASUBTYPE_RGB32,  MEDIASUBTYPE_RGB565,
                                   MEDIASUBTYPE_RGB555, MEDIASUBTYPE_YV12, MEDIASUBTYPE_NV12};

struct Registrations
{
    Registrations()
    {
        RegisterSystemFilter({CLSID_AsyncReader, u"File Source (Async.)", MERIT_NORMAL, {}});
        RegisterSystemFilter({CLSID_WAVEParser, u"Wave Parser", MERIT_NORMAL,
                              {{MEDIATYPE_Stream, MEDIASUBTYPE_WAVE}}});
        SystemFilterInfo video{CLSID_VideoRenderer, u"Video Renderer", MERIT_PREFERRED, {}};
        for (const GUID& subtype : kUncompressedVideo) video.inputTypes.push_back({MEDIATYPE_Video, subtype});
        RegisterSystemFilter(video);
        RegisterSystemFilter({CLSID_DSoundRender, u"Default DirectSound Device", MERIT_PREFERRED,
                              {{MEDIATYPE_Audio, MEDIASUBTYPE_PCM}, {MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT}}});
    }
};

const CBuiltinClassRegistration g_filterGraph(CLSID_FilterGraph, Create<CFilterGraph>());
const CBuiltinClassRegistration g_systemClock(CLSID_SystemClock, Create<CSystemClock>());
const CBuiltinClassRegistration g_asyncReader(CLSID_AsyncReader, Create<CAsyncFileSource>());
const CBuiltinClassRegistration g_waveParser(CLSID_WAVEParser, Create<CWaveParser>());
const CBuiltinClassRegistration g_videoRenderer(CLSID_VideoRenderer, Create<CDefaultVideoRenderer>());
const CBuiltinClassRegistration g_audioRenderer(CLSID_DSoundRender, Create<CDefaultAudioRenderer>());
const Registrations g_registrations;

}  // namespace
