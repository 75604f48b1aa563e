#include "platform/lavfilters/filters/LavMediaTypes.h"

#include <cstring>

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

CMediaType MakeVideoOutputType(const PictureFormat& format)
{
    CMediaType mt(MEDIATYPE_Video);
    mt.SetSubtype(SubtypeGuid(format.subtype));
    mt.SetFormatType(FORMAT_VideoInfo);
    mt.SetSampleSize(format.ImageSize());
    mt.SetTemporalCompression(FALSE);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (!vih) return mt;
    vih->rcSource = {0, 0, format.width, format.height};
    vih->rcTarget = vih->rcSource;
    vih->AvgTimePerFrame = format.avgTimePerFrame;
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
