#include "convert/ResampleDriver.h"

#include <algorithm>
#include <new>

#include "log/LogWrapper.h"

int64_t CResampleDriver::Need(long length, int32_t sourceRate, int32_t targetRate)
{
    return static_cast<int64_t>(length) * targetRate * 2 / sourceRate + 5000;
}

bool CResampleDriver::Prepare(const MediaFormat& source, const MediaFormat& target, const void* owner)
{
    // A format change within a playback needs a resampler made for it;
    // feeding the old one would misread the samples.
    if (m_pResampleCtx && !m_pResampleCtx->MadeFor(source, target)) m_pResampleCtx.reset();
    if (m_pResampleCtx) return true;  // step 3 grows a missing buffer

    m_pResampleCtx = CAudioResampler::Create(source, target);
    m_bRun = false;
    if (!m_pResampleData) {
        m_pResampleData.reset(new (std::nothrow) uint8_t[kInitialDataLen]);
    }
    iDataLen = m_pResampleData ? kInitialDataLen : 0;
    CLogLine line;
    line.rec().Advance("CMarlinDlg.OnDateReceive.else.if  m_pResampleData=").Advance("0x")
        << CLogWrapper::Hex << static_cast<unsigned long>(reinterpret_cast<uintptr_t>(m_pResampleData.get()));
    line.rec().Advance(" iDataLen= ") << iDataLen << LogThis{owner};
    return m_pResampleCtx && m_pResampleData;
}

ResampleOutput CResampleDriver::OnBlock(const MediaFormat& source, const MediaFormat& target,
                                        const uint8_t* data, long length, const void* owner, const BlockTime& time)
{
    ResampleOutput result;

    // 1. Creation at the first block.
    if (!Prepare(source, target, owner)) return result;

    // 2. Blocks the buffer rule cannot serve.
    if (length < 0 || length >= kMaxBlockLength || !data) return result;
    if (source.sampleRate <= 0 || target.sampleRate <= 0) return result;

    // 3. Make room: the rule's need, or what the resampler can yield when
    // remixing to more channels makes that larger.
    const int frames = static_cast<int>(length / m_pResampleCtx->SourceFrameBytes());
    const int outFrameBytes = m_pResampleCtx->TargetFrameBytes();
    int64_t want = Need(length, source.sampleRate, target.sampleRate);
    const int64_t yield = m_pResampleCtx->MaxOutputFrames(frames) * outFrameBytes;
    if (yield > want - 5000) want = yield + 5000;
    want = std::min(want, m_llMaxDataLen);
    if (iDataLen < want) {
        m_pResampleData.reset();
        m_pResampleData.reset(new (std::nothrow) uint8_t[static_cast<size_t>(want)]);
        iDataLen = m_pResampleData ? static_cast<int32_t>(want) : 0;
        if (!m_pResampleData) {
            // Out of memory: start over with a fresh buffer at the next block.
            m_pResampleCtx.reset();
            return result;
        }
    }

    // Where this block lies on the run of source frames.
    const int64_t rate = source.sampleRate;
    const int64_t runTime = m_llRunStart + m_llRunFrames * 10'000'000 / rate;
    const bool offRun = time.hasTime && (time.start > runTime + kResyncTicks || time.start < runTime - kResyncTicks);
    if (!m_bRun || time.discontinuity || offRun) {
        // The frames of the old stream still inside must not come out with
        // the new one's times.
        if (m_bRun && time.discontinuity) m_pResampleCtx->Reset();
        m_llRunStart = time.hasTime ? time.start : (m_bRun ? runTime : 0);
        m_llRunFrames = 0;
        m_bRun = true;
    }
    result.time = m_llRunStart + m_llRunFrames * 10'000'000 / rate - m_pResampleCtx->DelayTicks();
    m_llRunFrames += frames;

    // 4./5. Resample, never past the buffer's capacity.
    const int capacityFrames = iDataLen / outFrameBytes;
    int produced = m_pResampleCtx->Convert(data, frames, m_pResampleData.get(), capacityFrames);
    if (produced < 0) produced = 0;

    // 6. Handed on also when nothing came out.
    result.data = m_pResampleData.get();
    result.length = static_cast<long>(produced) * outFrameBytes;
    result.deliver = true;
    return result;
}
