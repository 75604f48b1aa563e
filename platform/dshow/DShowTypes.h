#pragma once
// DirectShow's value types, structures, identifiers and result codes, with
// the names and GUID values of Windows.
#include <cstdint>

#include "platform/com/Com.h"
#include "platform/os/Sync.h"  // INFINITE, shared with the OS layer

using REFERENCE_TIME = LONGLONG;  // 100-ns units
using REFTIME = double;           // seconds
using HEVENT = DWORD_PTR;         // a CAMEvent* as an integer (AdviseTime)
using HSEMAPHORE = DWORD_PTR;     // a CAMEvent* set once per period (AdvisePeriodic)
using OAFilterState = LONG;
using OAHWND = LONG_PTR;  // an opaque window handle; see MediaEventNotify.h
using OAEVENT = LONG_PTR;
using BSTR = OLECHAR*;

constexpr REFERENCE_TIME UNITS = 10000000;  // 100-ns units per second
constexpr REFERENCE_TIME MILLISECONDS = 10000;
constexpr LONG OATRUE = -1;
constexpr LONG OAFALSE = 0;
static_assert(INFINITE == 0xFFFFFFFFu);
constexpr int MAX_PIN_NAME = 128;
constexpr int MAX_FILTER_NAME = 128;

enum FILTER_STATE : int32_t { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
enum PIN_DIRECTION : int32_t { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

struct IBaseFilter;
struct IFilterGraph;

struct PIN_INFO
{
    IBaseFilter* pFilter;  // holds a reference; the caller releases it
    PIN_DIRECTION dir;
    WCHAR achName[MAX_PIN_NAME];
};

struct FILTER_INFO
{
    WCHAR achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph;  // holds a reference when not null
};

struct AM_MEDIA_TYPE
{
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;   // unused, always null here
    ULONG cbFormat;   // bytes at pbFormat
    BYTE* pbFormat;   // CoTaskMemAlloc'ed, owned by the structure
};

struct ALLOCATOR_PROPERTIES
{
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
};

struct RECT
{
    LONG left, top, right, bottom;
};

#pragma pack(push, 2)
struct BITMAPINFOHEADER
{
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;  // negative: top-down picture
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};

struct WAVEFORMATEX
{
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;  // bytes of extra format data after this structure
};

struct WAVEFORMATEXTENSIBLE
{
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);

struct VIDEOINFOHEADER
{
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};

struct VIDEOINFOHEADER2
{
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    DWORD dwInterlaceFlags;
    DWORD dwCopyProtectFlags;
    DWORD dwPictAspectRatioX;
    DWORD dwPictAspectRatioY;
    DWORD dwControlFlags;
    DWORD dwReserved2;
    BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(VIDEOINFOHEADER) == 88);
static_assert(sizeof(VIDEOINFOHEADER2) == 112);

// VIDEOINFOHEADER2::dwControlFlags. With AMCONTROL_COLORINFO_PRESENT its bits
// 8..31 hold a DXVA_ExtendedFormat less that structure's first 8 bits; of it,
// the nominal range sits in bits 12..14 and the transfer matrix in 15..17.
constexpr DWORD AMCONTROL_USED = 0x00000001;
constexpr DWORD AMCONTROL_COLORINFO_PRESENT = 0x00000080;
constexpr int DXVA_NominalRangeShift = 12;
constexpr int DXVA_VideoTransferMatrixShift = 15;
constexpr DWORD DXVA_ExtendedFieldMask = 7;  // both fields are 3 bits wide
constexpr DWORD DXVA_NominalRange_Unknown = 0;
constexpr DWORD DXVA_NominalRange_0_255 = 1;
constexpr DWORD DXVA_NominalRange_16_235 = 2;
constexpr DWORD DXVA_VideoTransferMatrix_Unknown = 0;
constexpr DWORD DXVA_VideoTransferMatrix_BT709 = 1;
constexpr DWORD DXVA_VideoTransferMatrix_BT601 = 2;
constexpr DWORD DXVA_VideoTransferMatrix_SMPTE240M = 3;
// Beyond DXVA's own three, as LAV Filters numbers them.
constexpr DWORD DXVA_VideoTransferMatrix_BT2020 = 4;
constexpr DWORD DXVA_VideoTransferMatrix_FCC = 6;

constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
constexpr DWORD BI_RGB = 0;
constexpr DWORD BI_BITFIELDS = 3;

constexpr DWORD MAKEFOURCC(char a, char b, char c, char d)
{
    return static_cast<DWORD>(static_cast<uint8_t>(a)) | (static_cast<DWORD>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<DWORD>(static_cast<uint8_t>(c)) << 16) | (static_cast<DWORD>(static_cast<uint8_t>(d)) << 24);
}

// The FOURCC subtypes {xxxxxxxx-0000-0010-8000-00AA00389B71}.
constexpr GUID FourCCGuid(DWORD fourcc)
{
    return GUID{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// Major types.
inline constexpr GUID MEDIATYPE_Video = FourCCGuid(MAKEFOURCC('v', 'i', 'd', 's'));
inline constexpr GUID MEDIATYPE_Audio = FourCCGuid(MAKEFOURCC('a', 'u', 'd', 's'));
MARLIN_DEFINE_GUID(MEDIATYPE_Stream, 0xE436EB83, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);

// Video subtypes.
MARLIN_DEFINE_GUID(MEDIASUBTYPE_RGB24, 0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_GUID(MEDIASUBTYPE_RGB32, 0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_GUID(MEDIASUBTYPE_RGB565, 0xE436EB7B, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_GUID(MEDIASUBTYPE_RGB555, 0xE436EB7C, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
inline constexpr GUID MEDIASUBTYPE_YUY2 = FourCCGuid(MAKEFOURCC('Y', 'U', 'Y', '2'));
inline constexpr GUID MEDIASUBTYPE_UYVY = FourCCGuid(MAKEFOURCC('U', 'Y', 'V', 'Y'));
inline constexpr GUID MEDIASUBTYPE_I420 = FourCCGuid(MAKEFOURCC('I', '4', '2', '0'));
inline constexpr GUID MEDIASUBTYPE_YVU9 = FourCCGuid(MAKEFOURCC('Y', 'V', 'U', '9'));
inline constexpr GUID MEDIASUBTYPE_YV12 = FourCCGuid(MAKEFOURCC('Y', 'V', '1', '2'));
inline constexpr GUID MEDIASUBTYPE_IYUV = FourCCGuid(MAKEFOURCC('I', 'Y', 'U', 'V'));
inline constexpr GUID MEDIASUBTYPE_NV12 = FourCCGuid(MAKEFOURCC('N', 'V', '1', '2'));
inline constexpr GUID MEDIASUBTYPE_HDYC = FourCCGuid(MAKEFOURCC('H', 'D', 'Y', 'C'));

// Audio subtypes (the wave format tag in the first field).
inline constexpr GUID MEDIASUBTYPE_PCM = FourCCGuid(WAVE_FORMAT_PCM);
inline constexpr GUID MEDIASUBTYPE_IEEE_FLOAT = FourCCGuid(WAVE_FORMAT_IEEE_FLOAT);
inline constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = MEDIASUBTYPE_PCM;
inline constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = MEDIASUBTYPE_IEEE_FLOAT;

// Stream subtypes.
MARLIN_DEFINE_GUID(MEDIASUBTYPE_WAVE, 0xE436EB8B, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_GUID(MEDIASUBTYPE_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);

// Format types.
MARLIN_DEFINE_GUID(FORMAT_VideoInfo, 0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
MARLIN_DEFINE_GUID(FORMAT_VideoInfo2, 0xF72A76A0, 0xEB0A, 0x11D0, 0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);
MARLIN_DEFINE_GUID(FORMAT_WaveFormatEx, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
MARLIN_DEFINE_GUID(FORMAT_None, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);

// Time formats.
MARLIN_DEFINE_GUID(TIME_FORMAT_NONE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
MARLIN_DEFINE_GUID(TIME_FORMAT_MEDIA_TIME, 0x7B785574, 0x8C82, 0x11CF, 0xBC, 0x0C, 0x00, 0xAA, 0x00, 0xAC, 0x74, 0xF6);

// Class identifiers.
MARLIN_DEFINE_GUID(CLSID_FilterGraph, 0xE436EBB3, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_GUID(CLSID_SystemClock, 0xE436EBB1, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_GUID(CLSID_MemoryAllocator, 0x1E651CC0, 0xB199, 0x11D0, 0x82, 0x12, 0x00, 0xC0, 0x4F, 0xC3, 0x2C, 0x45);
MARLIN_DEFINE_GUID(CLSID_AsyncReader, 0xE436EBB5, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_GUID(CLSID_WAVEParser, 0xD51BD5A1, 0x7548, 0x11CF, 0xA5, 0x20, 0x00, 0x80, 0xC7, 0x7E, 0xF5, 0x8A);
MARLIN_DEFINE_GUID(CLSID_VideoRenderer, 0x70E102B0, 0x5556, 0x11CE, 0x97, 0xC0, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
MARLIN_DEFINE_GUID(CLSID_DSoundRender, 0x79376820, 0x07D0, 0x11CF, 0xA2, 0x4D, 0x00, 0x20, 0xAF, 0xD7, 0x97, 0x67);

// Merits of the system filter registry.
constexpr DWORD MERIT_PREFERRED = 0x800000;
constexpr DWORD MERIT_NORMAL = 0x600000;
constexpr DWORD MERIT_UNLIKELY = 0x400000;
constexpr DWORD MERIT_DO_NOT_USE = 0x200000;
constexpr DWORD MERIT_SW_COMPRESSOR = 0x100000;

// Result codes.
constexpr HRESULT VFW_E_INVALIDMEDIATYPE = MakeHResult(0x80040200);
constexpr HRESULT VFW_E_INVALIDSUBTYPE = MakeHResult(0x80040201);
constexpr HRESULT VFW_E_NEED_OWNER = MakeHResult(0x80040202);
constexpr HRESULT VFW_E_ENUM_OUT_OF_SYNC = MakeHResult(0x80040203);
constexpr HRESULT VFW_E_ALREADY_CONNECTED = MakeHResult(0x80040204);
constexpr HRESULT VFW_E_FILTER_ACTIVE = MakeHResult(0x80040205);
constexpr HRESULT VFW_E_NO_TYPES = MakeHResult(0x80040206);
constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = MakeHResult(0x80040207);
constexpr HRESULT VFW_E_INVALID_DIRECTION = MakeHResult(0x80040208);
constexpr HRESULT VFW_E_NOT_CONNECTED = MakeHResult(0x80040209);
constexpr HRESULT VFW_E_NO_ALLOCATOR = MakeHResult(0x8004020A);
constexpr HRESULT VFW_E_RUNTIME_ERROR = MakeHResult(0x8004020B);
constexpr HRESULT VFW_E_BUFFER_NOTSET = MakeHResult(0x8004020C);
constexpr HRESULT VFW_E_BUFFER_OVERFLOW = MakeHResult(0x8004020D);
constexpr HRESULT VFW_E_BADALIGN = MakeHResult(0x8004020E);
constexpr HRESULT VFW_E_ALREADY_COMMITTED = MakeHResult(0x8004020F);
constexpr HRESULT VFW_E_BUFFERS_OUTSTANDING = MakeHResult(0x80040210);
constexpr HRESULT VFW_E_NOT_COMMITTED = MakeHResult(0x80040211);
constexpr HRESULT VFW_E_SIZENOTSET = MakeHResult(0x80040212);
constexpr HRESULT VFW_E_NO_CLOCK = MakeHResult(0x80040213);
constexpr HRESULT VFW_E_NO_SINK = MakeHResult(0x80040214);
constexpr HRESULT VFW_E_NO_INTERFACE = MakeHResult(0x80040215);
constexpr HRESULT VFW_E_NOT_FOUND = MakeHResult(0x80040216);
constexpr HRESULT VFW_E_CANNOT_CONNECT = MakeHResult(0x80040217);
constexpr HRESULT VFW_E_CANNOT_RENDER = MakeHResult(0x80040218);
constexpr HRESULT VFW_E_CHANGING_FORMAT = MakeHResult(0x80040219);
constexpr HRESULT VFW_E_STATE_CHANGED = MakeHResult(0x80040223);
constexpr HRESULT VFW_E_NOT_STOPPED = MakeHResult(0x80040224);
constexpr HRESULT VFW_E_NOT_PAUSED = MakeHResult(0x80040225);
constexpr HRESULT VFW_E_NOT_RUNNING = MakeHResult(0x80040226);
constexpr HRESULT VFW_E_WRONG_STATE = MakeHResult(0x80040227);
constexpr HRESULT VFW_E_START_TIME_AFTER_END = MakeHResult(0x80040228);
constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = MakeHResult(0x8004022A);
constexpr HRESULT VFW_E_SAMPLE_REJECTED = MakeHResult(0x8004022B);
constexpr HRESULT VFW_E_SAMPLE_REJECTED_EOS = MakeHResult(0x8004022C);
constexpr HRESULT VFW_E_DUPLICATE_NAME = MakeHResult(0x8004022D);
constexpr HRESULT VFW_S_DUPLICATE_NAME = MakeHResult(0x0004022D);
constexpr HRESULT VFW_E_TIMEOUT = MakeHResult(0x8004022E);
constexpr HRESULT VFW_E_INVALID_FILE_FORMAT = MakeHResult(0x8004022F);
constexpr HRESULT VFW_E_ENUM_OUT_OF_RANGE = MakeHResult(0x80040230);
constexpr HRESULT VFW_E_CIRCULAR_GRAPH = MakeHResult(0x80040231);
constexpr HRESULT VFW_E_TIME_ALREADY_PASSED = MakeHResult(0x80040233);
constexpr HRESULT VFW_E_ALREADY_CANCELLED = MakeHResult(0x80040234);
constexpr HRESULT VFW_S_STATE_INTERMEDIATE = MakeHResult(0x00040237);
constexpr HRESULT VFW_E_NO_ADVISE_SET = MakeHResult(0x80040239);
constexpr HRESULT VFW_E_UNKNOWN_FILE_TYPE = MakeHResult(0x80040240);
constexpr HRESULT VFW_E_CANNOT_LOAD_SOURCE_FILTER = MakeHResult(0x80040241);
constexpr HRESULT VFW_S_PARTIAL_RENDER = MakeHResult(0x00040242);
constexpr HRESULT VFW_E_FILE_TOO_SHORT = MakeHResult(0x80040243);
constexpr HRESULT VFW_E_INVALID_MEDIA_TYPE = MakeHResult(0x80040248);
constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = MakeHResult(0x80040249);
constexpr HRESULT VFW_E_MEDIA_TIME_NOT_SET = MakeHResult(0x80040251);
constexpr HRESULT VFW_E_NO_TIME_FORMAT_SET = MakeHResult(0x80040252);
constexpr HRESULT VFW_E_UNSUPPORTED_AUDIO = MakeHResult(0x8004025C);
constexpr HRESULT VFW_E_UNSUPPORTED_VIDEO = MakeHResult(0x8004025D);
constexpr HRESULT VFW_E_NOT_IN_GRAPH = MakeHResult(0x8004025F);
constexpr HRESULT VFW_E_NO_TIME_FORMAT = MakeHResult(0x80040261);
constexpr HRESULT VFW_S_NO_STOP_TIME = MakeHResult(0x00040270);

// Event codes.
constexpr LONG EC_COMPLETE = 0x01;
constexpr LONG EC_USERABORT = 0x02;
constexpr LONG EC_ERRORABORT = 0x03;
constexpr LONG EC_TIME = 0x04;
constexpr LONG EC_REPAINT = 0x05;
constexpr LONG EC_STREAM_ERROR_STOPPED = 0x06;
constexpr LONG EC_STREAM_ERROR_STILLPLAYING = 0x07;
constexpr LONG EC_ERROR_STILLPLAYING = 0x08;
constexpr LONG EC_VIDEO_SIZE_CHANGED = 0x0A;
constexpr LONG EC_SHUTTING_DOWN = 0x0C;
constexpr LONG EC_CLOCK_CHANGED = 0x0D;
constexpr LONG EC_PAUSED = 0x0E;

// IMediaSeeking flags and capabilities.
constexpr DWORD AM_SEEKING_NoPositioning = 0x0;
constexpr DWORD AM_SEEKING_AbsolutePositioning = 0x1;
constexpr DWORD AM_SEEKING_RelativePositioning = 0x2;
constexpr DWORD AM_SEEKING_IncrementalPositioning = 0x3;
constexpr DWORD AM_SEEKING_PositioningBitsMask = 0x3;
constexpr DWORD AM_SEEKING_SeekToKeyFrame = 0x4;
constexpr DWORD AM_SEEKING_ReturnTime = 0x8;
constexpr DWORD AM_SEEKING_Segment = 0x10;
constexpr DWORD AM_SEEKING_NoFlush = 0x20;
constexpr DWORD AM_SEEKING_CanSeekAbsolute = 0x1;
constexpr DWORD AM_SEEKING_CanSeekForwards = 0x2;
constexpr DWORD AM_SEEKING_CanSeekBackwards = 0x4;
constexpr DWORD AM_SEEKING_CanGetCurrentPos = 0x8;
constexpr DWORD AM_SEEKING_CanGetStopPos = 0x10;
constexpr DWORD AM_SEEKING_CanGetDuration = 0x20;

// IMemAllocator::GetBuffer flags.
constexpr DWORD AM_GBF_PREVFRAMESKIPPED = 1;
constexpr DWORD AM_GBF_NOTASYNCPOINT = 2;
constexpr DWORD AM_GBF_NOWAIT = 4;

// IAMFilterMiscFlags.
constexpr ULONG AM_FILTER_MISC_FLAGS_IS_RENDERER = 0x1;
constexpr ULONG AM_FILTER_MISC_FLAGS_IS_SOURCE = 0x2;
