#pragma once
// The sound path of the dialog's OnDateReceive, block by block: creates the
// resampler of a playback at its first block, keeps the output buffer large
// enough, resamples, and says what to hand to the frame sink. The dialog
// embeds one CResampleDriver and calls, on the audio streaming thread:
//
//   ResampleOutput r = m_resample.OnBlock(*format, m_targetFormat, data, length, this);
//   if (r.deliver && m_pFrameSink) m_pFrameSink->OnAudioFrame(&m_targetFormat, r.data, r.length);
//
// and in StopPlayFile, after the playback engine (and with it the streaming
// thread) is gone: m_resample.ReleaseResampler().
#include <algorithm>
#include <cstdint>
#include <memory>

#include "convert/AudioResampler.h"
#include "playback/MediaFormat.h"

// Where a block of source sound lies: the presentation time of its first
// frame in 100 ns from the file's start, when it has one, and whether it
// starts a new stream (first block after the start or a seek).
struct BlockTime
{
    bool hasTime = false;
    int64_t start = 0;
    bool discontinuity = false;
};

// What one block produced: `length` bytes at `data` (signed 16-bit interleaved
// PCM in the target format), to be handed on only when `deliver` is set, also
// when `length` is 0. `data` stays valid until the next OnBlock. `time` is
// the presentation time of the first frame written (for an empty result,
// where its frames would have started), in 100 ns from the file's start.
struct ResampleOutput
{
    const uint8_t* data = nullptr;
    long length = 0;
    bool deliver = false;
    int64_t time = 0;
};

class CResampleDriver
{
public:
    // Capacity of the output buffer at each creation of a resampler.
    static constexpr int32_t kInitialDataLen = 1048576;
    // Blocks of this many bytes or more are dropped.
    static constexpr long kMaxBlockLength = 1048576;
    // The output buffer never grows beyond this; a block whose output would
    // not fit leaves the rest inside the resampler for the following blocks.
    static constexpr int64_t kMaxDataLen = 64 * 1048576;

    // Capacity asked for a block of `length` bytes:
    // length x target rate x 2 / source rate + 5000, in 64-bit arithmetic.
    static int64_t Need(long length, int32_t sourceRate, int32_t targetRate);

    CResampleDriver() = default;
    CResampleDriver(const CResampleDriver&) = delete;
    CResampleDriver& operator=(const CResampleDriver&) = delete;

    // One block of `length` bytes of interleaved PCM in the sound fields of
    // `source`, for the sound fields of `target` (sampleRate, channels).
    // `owner` is the dialog, named in the creation log line.
    //  1. Without a resampler, or when the source or target format differs
    //     from the one the resampler was made for: create one, reset the
    //     recorded capacity iDataLen to 1,048,576 (allocating the buffer the
    //     first time) and log "CMarlinDlg.OnDateReceive.else.if  m_pResampleData=".
    //     A refused creation drops the block; the next block tries again.
    //  2. Blocks of 1,048,576 bytes or more, or with a rate of 0, are dropped.
    //  3. The buffer grows (contents not kept) to Need(), or to what the
    //     resampler can yield for this block when that is more (remixes to
    //     more channels), at most kMaxDataLen.
    //  4./5. The block's whole frames are resampled with the buffer's capacity
    //     in frames as the output limit, so the buffer is never overrun.
    //  6. The result: frames x target channels x 2 bytes, delivered also when 0.
    // Times: the source blocks are taken as one run of frames from the time
    // of its first block, so that the output joins up exactly; a block that
    // starts a new stream, or whose time is more than kResyncTicks away from
    // where the run has got to (a real gap or overlap in the file), starts a
    // new run at its own time. A new stream also clears what the resampler
    // holds of the old one. The output's time is the run's time of the next
    // input frame less the resampler's delay.
    ResampleOutput OnBlock(const MediaFormat& source, const MediaFormat& target, const uint8_t* data,
                           long length, const void* owner, const BlockTime& time = {});

    // Step 1 alone, ahead of the first block (when the playback holds it,
    // paused): the block then finds its resampler ready. False when none
    // could be made.
    bool Prepare(const MediaFormat& source, const MediaFormat& target, const void* owner);

    // Container time stamps in whole milliseconds put a block up to a
    // millisecond off its true place; anything further is a gap.
    static constexpr int64_t kResyncTicks = 20000;

    // Frees the resampler (frames held inside are discarded); the output
    // buffer and its recorded capacity stay for the next playback.
    void ReleaseResampler() { m_pResampleCtx.reset(); }

    // Lowers the growth limit (not below kInitialDataLen) so that tests can
    // reach the output limit with blocks of ordinary size.
    void SetMaxDataLenForTesting(int64_t bytes) { m_llMaxDataLen = std::max<int64_t>(bytes, kInitialDataLen); }

    const CAudioResampler* Resampler() const { return m_pResampleCtx.get(); }
    const uint8_t* Data() const { return m_pResampleData.get(); }
    int32_t DataLen() const { return iDataLen; }

private:
    // All three are touched only by the audio streaming thread, and by
    // ReleaseResampler once that thread has ended.
    std::unique_ptr<CAudioResampler> m_pResampleCtx;  // null until the first block of a playback
    std::unique_ptr<uint8_t[]> m_pResampleData;       // output buffer, survives playbacks
    int32_t iDataLen = 0;                             // recorded capacity of m_pResampleData
    // The run of source frames: its start time (100 ns) and the frames fed
    // since, at the resampler's source rate. Cleared with each new resampler.
    bool m_bRun = false;
    int64_t m_llRunStart = 0;
    int64_t m_llRunFrames = 0;
    int64_t m_llMaxDataLen = kMaxDataLen;             // set once before use
};
