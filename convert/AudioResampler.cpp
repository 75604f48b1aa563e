#include "convert/AudioResampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace {

// Remix weights, out x in, for the pairs that are not n->n.
bool RemixMatrix(int in, int out, std::vector<double>& m)
{
    m.assign(static_cast<size_t>(in) * static_cast<size_t>(out), 0.0);
    auto at = [&](int o, int i) -> double& { return m[static_cast<size_t>(o * in + i)]; };
    if (in == 1 && out == 2) {
        at(0, 0) = at(1, 0) = 1.0;
    } else if (in == 2 && out == 1) {
        at(0, 0) = at(0, 1) = 0.5;
    } else if (in == 6 && out == 2) {
        // Input order FL FR FC LFE RL RR; LFE gets no weight.
        at(0, 0) = 1.0;
        at(0, 2) = 0.7;
        at(0, 4) = 0.5;
        at(1, 1) = 1.0;
        at(1, 2) = 0.7;
        at(1, 5) = 0.5;
    } else if (in == 2 && out == 6) {
        // L, L/2 + R/2, R, then three silent channels.
        at(0, 0) = 1.0;
        at(1, 0) = at(1, 1) = 0.5;
        at(2, 1) = 1.0;
    } else {
        return false;
    }
    return true;
}

// The largest sum of absolute weights over the rows of an out x in matrix.
double MaxRowGain(const std::vector<double>& m, int in)
{
    double most = 0;
    for (size_t row = 0; row + static_cast<size_t>(in) <= m.size(); row += static_cast<size_t>(in)) {
        double sum = 0;
        for (size_t i = row; i < row + static_cast<size_t>(in); ++i) sum += std::fabs(m[i]);
        most = std::max(most, sum);
    }
    return most;
}

bool SourceSampleFormat(int bits, AVSampleFormat& fmt, int& bytes)
{
    switch (bits) {
    case 8: fmt = AV_SAMPLE_FMT_U8; bytes = 1; return true;
    case 16: fmt = AV_SAMPLE_FMT_S16; bytes = 2; return true;
    case 24: fmt = AV_SAMPLE_FMT_S32; bytes = 3; return true;  // widened before the resampler
    case 32: fmt = AV_SAMPLE_FMT_S32; bytes = 4; return true;
    default: return false;
    }
}

struct LayoutHolder
{
    AVChannelLayout layout{};
    ~LayoutHolder() { av_channel_layout_uninit(&layout); }
};

}  // namespace

std::unique_ptr<CAudioResampler> CAudioResampler::Create(const MediaFormat& source, const MediaFormat& target)
{
    const int inCh = source.channels;
    const int outCh = target.channels;
    if (source.sampleRate < 1 || source.sampleRate > kMaxRate) return nullptr;
    if (target.sampleRate < 1 || target.sampleRate > kMaxRate) return nullptr;
    if (inCh < 1 || inCh > kMaxChannels || outCh < 1 || outCh > kMaxChannels) return nullptr;

    AVSampleFormat inFmt{};
    int inBytes = 0;
    if (!SourceSampleFormat(source.bitsPerSample, inFmt, inBytes)) return nullptr;

    // The listed pairs get their own weights; any other pair of 1 to 8
    // channels gets libswresample's standard mix of the default layouts, so
    // that a 5.1 or 7.1 file asked for mono or stereo still has sound.
    std::vector<double> matrix;
    const bool remix = inCh != outCh && RemixMatrix(inCh, outCh, matrix);

    LayoutHolder inLayout;
    LayoutHolder outLayout;
    av_channel_layout_default(&inLayout.layout, inCh);
    av_channel_layout_default(&outLayout.layout, outCh);

    std::unique_ptr<CAudioResampler> r(new (std::nothrow) CAudioResampler());
    if (!r) return nullptr;
    if (swr_alloc_set_opts2(&r->m_pSwr, &outLayout.layout, AV_SAMPLE_FMT_S16, target.sampleRate,
                            &inLayout.layout, inFmt, source.sampleRate, 0, nullptr) < 0 ||
        !r->m_pSwr)
        return nullptr;

    SwrContext* s = r->m_pSwr;
    if (av_opt_set_int(s, "filter_size", 16, 0) < 0 || av_opt_set_int(s, "phase_shift", 10, 0) < 0 ||
        av_opt_set_int(s, "linear_interp", 0, 0) < 0 || av_opt_set_double(s, "cutoff", 0.8, 0) < 0 ||
        av_opt_set_int(s, "filter_type", SWR_FILTER_TYPE_KAISER, 0) < 0 ||
        av_opt_set_double(s, "kaiser_beta", 9.0, 0) < 0 ||
        // Resample also at equal rates: no pass-through.
        av_opt_set(s, "flags", "res", 0) < 0)
        return nullptr;
    if (remix && swr_set_matrix(s, matrix.data(), inCh) < 0) return nullptr;
    // libswresample mixes 16-bit sound in integers and keeps the low 16 bits
    // of each sum: a row whose weights add up to more than 1 (6 -> 2) wraps a
    // loud sum round to the other sign. Mixed in float, it is clipped.
    if (remix && MaxRowGain(matrix, inCh) > 1.0 && av_opt_set_sample_fmt(s, "internal_sample_fmt", AV_SAMPLE_FMT_FLTP, 0) < 0)
        return nullptr;
    if (swr_init(s) < 0) return nullptr;

    r->m_source = MediaFormat{};
    r->m_source.sampleRate = source.sampleRate;
    r->m_source.bitsPerSample = source.bitsPerSample;
    r->m_source.channels = inCh;
    r->m_target = MediaFormat{};
    r->m_target.sampleRate = target.sampleRate;
    r->m_target.bitsPerSample = 16;
    r->m_target.channels = outCh;
    r->m_nSourceFrameBytes = inBytes * inCh;
    return r;
}

CAudioResampler::~CAudioResampler()
{
    swr_free(&m_pSwr);
}

int64_t CAudioResampler::MaxOutputFrames(int frames) const
{
    const int n = swr_get_out_samples(m_pSwr, frames);
    return n < 0 ? 0 : n;
}

int CAudioResampler::Convert(const uint8_t* data, int frames, uint8_t* out, int outCapacityFrames)
{
    if (frames < 0 || outCapacityFrames < 0 || (frames > 0 && !data) || !out) return -1;
    const uint8_t* in = data;
    if (m_source.bitsPerSample == 24 && frames > 0) {
        // Packed little-endian 24-bit samples become the top bits of S32.
        const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(m_source.channels);
        try {
            m_unpacked.resize(samples);
        } catch (const std::bad_alloc&) {
            return -1;
        }
        for (size_t i = 0; i < samples; ++i) {
            const uint8_t* p = data + 3 * i;
            const uint32_t v = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
            m_unpacked[i] = static_cast<int32_t>(v);
        }
        in = reinterpret_cast<const uint8_t*>(m_unpacked.data());
    }
    // A non-null input, even with 0 frames, only drains what is held;
    // a null one would flush the resampler and end the stream.
    static const uint8_t kNothing[4] = {};
    const uint8_t* inPlanes[1] = {in ? in : kNothing};
    uint8_t* outPlanes[1] = {out};
    // libswresample sizes (and clears) its work buffers by the output limit
    // it is given: a limit of what this input can yield keeps them small,
    // where the caller's whole buffer would cost megabytes at the first
    // block and after every reset.
    const int yield = swr_get_out_samples(m_pSwr, frames);
    if (yield >= 0 && yield < outCapacityFrames) outCapacityFrames = yield;
    return swr_convert(m_pSwr, outPlanes, outCapacityFrames, inPlanes, frames);
}

int64_t CAudioResampler::DelayTicks() const
{
    return swr_get_delay(m_pSwr, 10'000'000);
}

bool CAudioResampler::Reset()
{
    // Initialising again clears the buffers and keeps the options and the
    // remix matrix.
    return swr_init(m_pSwr) >= 0;
}

bool CAudioResampler::MadeFor(const MediaFormat& source, const MediaFormat& target) const
{
    return source.sampleRate == m_source.sampleRate && source.bitsPerSample == m_source.bitsPerSample &&
           source.channels == m_source.channels && target.sampleRate == m_target.sampleRate &&
           target.channels == m_target.channels;
}
