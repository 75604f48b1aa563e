#include "platform/lavfilters/filters/LavMediaTypes.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace lav {

CMediaType MakeCompressedType(const StreamFormat& format)
{
    CMediaType mt(format.kind == MediaKind::Video ? MEDIATYPE_Video : MEDIATYPE_Audio);
    const uint32_t fourcc = format.SuggestedFourCC();
    // Without a FOURCC the subtype only has to be unique per codec: the
    // decoders read the format block, not the subtype.
    mt.SetSubtype(fourcc ? FourCCGuid(fourcc)
                         : GUID{static_cast<uint32_t>(format.codecId), 0x5B7E, 0x4C2D,
                                {0x8E, 0x31, 0x2A, 0x4B, 0x90, 0xD1, 0x17, 0x02}});
    mt.SetFormatType(FORMAT_LavStream);
    mt.SetVariableSize();
    mt.SetTemporalCompression(TRUE);
    const std::vector<uint8_t> block = format.Serialize();
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return mt;
}

std::optional<StreamFormat> ParseCompressedType(const AM_MEDIA_TYPE& mt)
{
    if (!mt.pbFormat && mt.cbFormat) return std::nullopt;
    if (mt.formattype == FORMAT_LavStream) {
        auto f = StreamFormat::Parse(mt.pbFormat, mt.cbFormat);
        if (!f) return std::nullopt;
        const MediaKind kind = mt.majortype == MEDIATYPE_Video ? MediaKind::Video : MediaKind::Audio;
        if (f->kind != kind || (mt.majortype != MEDIATYPE_Video && mt.majortype != MEDIATYPE_Audio))
            return std::nullopt;
        return f;
    }
    if (mt.majortype == MEDIATYPE_Audio && mt.formattype == FORMAT_WaveFormatEx &&
        mt.cbFormat >= sizeof(WAVEFORMATEX)) {
        WAVEFORMATEX wfx;
        std::memcpy(&wfx, mt.pbFormat, sizeof(wfx));
        const size_t extra = std::min<size_t>(wfx.cbSize, mt.cbFormat - sizeof(WAVEFORMATEX));
        auto f = StreamFormat::FromWaveFormat(wfx.wFormatTag, wfx.nChannels, static_cast<int>(wfx.nSamplesPerSec),
                                              static_cast<int>(wfx.nAvgBytesPerSec), wfx.nBlockAlign,
                                              wfx.wBitsPerSample, mt.pbFormat + sizeof(WAVEFORMATEX), extra);
        if (f.codecId == 0 || f.channels <= 0 || f.sampleRate <= 0) return std::nullopt;
        return f;
    }
    if (mt.majortype == MEDIATYPE_Video && mt.formattype == FORMAT_VideoInfo &&
        mt.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        VIDEOINFOHEADER vih;
        std::memcpy(&vih, mt.pbFormat, sizeof(vih));
        const BITMAPINFOHEADER& bmi = vih.bmiHeader;
        const size_t extra = mt.cbFormat - sizeof(VIDEOINFOHEADER);
        auto f = StreamFormat::FromBitmapInfo(bmi.biCompression, bmi.biWidth, bmi.biHeight, bmi.biBitCount,
                                              vih.AvgTimePerFrame, mt.pbFormat + sizeof(VIDEOINFOHEADER), extra);
        if (f.codecId == 0 || f.width <= 0 || f.height <= 0) return std::nullopt;
        return f;
    }
    return std::nullopt;
}

const GUID& SubtypeGuid(VideoSubtype subtype)
{
    switch (subtype) {
    case VideoSubtype::I420: return MEDIASUBTYPE_I420;
    case VideoSubtype::NV12: return MEDIASUBTYPE_NV12;
    case VideoSubtype::YUY2: return MEDIASUBTYPE_YUY2;
    case VideoSubtype::UYVY: return MEDIASUBTYPE_UYVY;
    case VideoSubtype::RGB32: return MEDIASUBTYPE_RGB32;
    }
    return MEDIASUBTYPE_I420;
}

namespace {

// The colour information of dwControlFlags (nominal range, transfer matrix).
DWORD ColourFlags(const PictureFormat& format)
{
    DWORD matrix = DXVA_VideoTransferMatrix_BT601;
    switch (format.matrix) {
    case ColourMatrix::BT601: matrix = DXVA_VideoTransferMatrix_BT601; break;
    case ColourMatrix::BT709: matrix = DXVA_VideoTransferMatrix_BT709; break;
    case ColourMatrix::SMPTE240M: matrix = DXVA_VideoTransferMatrix_SMPTE240M; break;
    case ColourMatrix::BT2020: matrix = DXVA_VideoTransferMatrix_BT2020; break;
    case ColourMatrix::FCC: matrix = DXVA_VideoTransferMatrix_FCC; break;
    }
    const DWORD range =
        format.range == ColourRange::Full ? DXVA_NominalRange_0_255 : DXVA_NominalRange_16_235;
    return AMCONTROL_USED | AMCONTROL_COLORINFO_PRESENT | range << DXVA_NominalRangeShift |
           matrix << DXVA_VideoTransferMatrixShift;
}

}  // namespace

CMediaType MakeVideoOutputType(const PictureFormat& format)
{
    CMediaType mt(MEDIATYPE_Video);
    mt.SetSubtype(SubtypeGuid(format.subtype));
    mt.SetFormatType(FORMAT_VideoInfo2);
    mt.SetSampleSize(format.ImageSize());
    mt.SetTemporalCompression(FALSE);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER2*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
    if (!vih) return mt;
    vih->rcSource = {0, 0, format.width, format.height};
    vih->rcTarget = vih->rcSource;
    vih->AvgTimePerFrame = format.avgTimePerFrame;
    // Picture aspect ratio: the size times the sample aspect ratio, reduced.
    uint64_t x = static_cast<uint64_t>(std::max(format.width, 1)) * static_cast<uint64_t>(std::max(format.sarNum, 1));
    uint64_t y = static_cast<uint64_t>(std::max(format.height, 1)) * static_cast<uint64_t>(std::max(format.sarDen, 1));
    const uint64_t g = std::gcd(x, y);
    x /= g;
    y /= g;
    while (x > UINT32_MAX || y > UINT32_MAX) {
        x = (x + 1) / 2;
        y = (y + 1) / 2;
    }
    vih->dwPictAspectRatioX = static_cast<DWORD>(std::max<uint64_t>(x, 1));
    vih->dwPictAspectRatioY = static_cast<DWORD>(std::max<uint64_t>(y, 1));
    // Range and matrix of the YUV samples, as DirectShow decoders say them.
    vih->dwControlFlags = ColourFlags(format);
    BITMAPINFOHEADER& bmi = vih->bmiHeader;
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = format.width;
    bmi.biHeight = format.BitmapHeight();
    bmi.biPlanes = 1;
    bmi.biBitCount = format.BitCount();
    bmi.biCompression = format.Compression();
    bmi.biSizeImage = format.ImageSize();
    return mt;
}

CMediaType MakeAudioOutputType(const AudioFormat& format)
{
    CMediaType mt(MEDIATYPE_Audio);
    mt.SetSubtype(MEDIASUBTYPE_PCM);
    mt.SetFormatType(FORMAT_WaveFormatEx);
    mt.SetSampleSize(format.BlockAlign());
    auto* wfx = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(sizeof(WAVEFORMATEX)));
    if (!wfx) return mt;
    wfx->wFormatTag = AudioFormat::kFormatTag;
    wfx->nChannels = static_cast<WORD>(format.channels);
    wfx->nSamplesPerSec = static_cast<DWORD>(format.sampleRate);
    wfx->nAvgBytesPerSec = format.AvgBytesPerSec();
    wfx->nBlockAlign = format.BlockAlign();
    wfx->wBitsPerSample = static_cast<WORD>(format.bitsPerSample);
    wfx->cbSize = 0;
    return mt;
}

}  // namespace lav
