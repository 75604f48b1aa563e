#include "controller/play/PlayStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace marlin::play {

namespace {

std::string Fixed(double value, int decimals)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::string Bytes(uint64_t bytes)
{
    if (bytes < 10000) return std::to_string(bytes) + " B";
    if (bytes < 1000000) return Fixed(static_cast<double>(bytes) / 1e3, 1) + " kB";
    return Fixed(static_cast<double>(bytes) / 1e6, 1) + " MB";
}

std::string Ms(double ms)
{
    return ms < 0 ? std::string("-") : Fixed(ms, 0) + " ms";
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size()))) ;
    index = index == 0 ? 0 : index - 1;
    return values[std::min(index, values.size() - 1)];
}

std::string JsonNumber(double value, int decimals)
{
    return std::isfinite(value) ? Fixed(value, decimals) : "null";
}

}  // namespace

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

PlayStats::Pace PlayStats::ComputePace() const
{
    Pace pace;
    const size_t n = std::min(pictureArrivalMs.size(), pictureMediaMs.size());
    double fps = filePicturesPerSecond > 0 ? filePicturesPerSecond : 25;
    pace.lateThresholdMs = 1000.0 / fps;
    if (n == 0) return pace;
    if (n >= 2) {
        double span = pictureArrivalMs[n - 1] - pictureArrivalMs[0];
        pace.spanSeconds = span / 1000.0;
        if (span > 0) pace.picturesPerSecond = static_cast<double>(n - 1) * 1000.0 / span;
    }
    std::vector<double> offsets(n);
    for (size_t i = 0; i < n; ++i) offsets[i] = pictureArrivalMs[i] - pictureMediaMs[i];
    double anchor = Percentile(offsets, 0.5);
    std::vector<double> errors(n);
    for (size_t i = 0; i < n; ++i) {
        double lateness = offsets[i] - anchor;
        if (lateness > pace.lateThresholdMs) ++pace.latePictures;
        errors[i] = std::fabs(lateness);
    }
    pace.medianErrorMs = Percentile(errors, 0.5);
    pace.p99ErrorMs = Percentile(errors, 0.99);
    return pace;
}

void PlayStats::NoteNumber(bool picture, uint32_t number)
{
    bool& seen = picture ? m_bPictureNumbered : m_bSoundNumbered;
    uint32_t& last = picture ? m_nLastPicture : m_nLastSound;
    uint64_t& missing = picture ? missingPictures : missingSoundBlocks;
    if (seen && number > last + 1) missing += number - last - 1;
    if (!seen || number > last) last = number;
    seen = true;
}

PlayStats::Sync PlayStats::ComputeSync() const
{
    Sync sync;
    std::vector<Stamped> sound = stampedSound;
    std::sort(sound.begin(), sound.end(), [](const Stamped& a, const Stamped& b) { return a.time < b.time; });
    std::vector<double> errors;
    for (const Stamped& picture : stampedPictures) {
        auto after = std::upper_bound(sound.begin(), sound.end(), picture.time,
                                      [](int64_t t, const Stamped& b) { return t < b.time; });
        if (after == sound.begin()) continue;  // before the sound starts
        const Stamped& block = *(after - 1);
        if (picture.time >= block.time + block.duration) continue;  // no sound there
        const double soundArrival = block.arrivalMs + static_cast<double>(picture.time - block.time) / 1e4;
        errors.push_back(std::fabs(picture.arrivalMs - soundArrival));
    }
    sync.pictures = errors.size();
    sync.medianMs = Percentile(errors, 0.5);
    sync.p99Ms = Percentile(errors, 0.99);
    return sync;
}

PlayStats::Schedule PlayStats::ComputeSchedule() const
{
    Schedule schedule{NAN, NAN};
    const size_t n = std::min(pictureArrivalMs.size(), pictureMediaMs.size());
    const size_t first = segmentFirstPicture;
    if (first >= n || n - first < 3) return schedule;
    const double fps = filePicturesPerSecond > 0 ? filePicturesPerSecond : 25;
    const size_t following = std::max<size_t>(2, static_cast<size_t>(fps));
    auto offset = [&](size_t i) { return pictureArrivalMs[i] - pictureMediaMs[i]; };
    std::vector<double> offsets;
    for (size_t i = first + 1; i < n && i <= first + following; ++i) offsets.push_back(offset(i));
    const double anchor = Percentile(offsets, 0.5);
    schedule.firstLagMs = offset(first) - anchor;
    schedule.followingMaxLagMs = -INFINITY;
    for (size_t i = first + 1; i < n && i <= first + 5; ++i)
        schedule.followingMaxLagMs = std::max(schedule.followingMaxLagMs, offset(i) - anchor);
    return schedule;
}

std::string PlayStats::Text() const
{
    Pace pace = ComputePace();
    double soundSeconds = sampleRate > 0 ? static_cast<double>(audioSampleFrames) / sampleRate : 0;
    std::string t;
    t += "pictures:            " + std::to_string(videoFrames) + " (" + Bytes(videoBytes) + ")\n";
    t += "sound blocks:        " + std::to_string(audioBlocks) + " (" + Bytes(audioBytes) + ", " +
         Fixed(soundSeconds, 3) + " s)\n";
    if (hasVideo) {
        t += "pace:                " + Fixed(pace.picturesPerSecond, 2) + " pictures/s over " +
             Fixed(pace.spanSeconds, 2) + " s (file: " + std::to_string(filePicturesPerSecond) + "/s)\n";
        t += "late pictures:       " + std::to_string(pace.latePictures) + " (more than " +
             Fixed(pace.lateThresholdMs, 0) + " ms behind)\n";
        t += "pacing error:        median " + Fixed(pace.medianErrorMs, 1) + " ms, 99th percentile " +
             Fixed(pace.p99ErrorMs, 1) + " ms\n";
        t += "first-frame latency: " + Ms(firstVideoMs) + " (picture), " + Ms(firstAudioMs) + " (sound)\n";
        const Schedule schedule = ComputeSchedule();
        if (std::isfinite(schedule.firstLagMs))
            t += "first picture:       " + Fixed(schedule.firstLagMs, 1) + " ms behind the schedule of those after it" +
                 " (next five: at most " + Fixed(schedule.followingMaxLagMs, 1) + " ms)\n";
    } else {
        t += "first-frame latency: " + Ms(firstAudioMs) + " (sound)\n";
    }
    t += "seek latency:        " + Ms(seekLatencyMs);
    if (seekLandedMs >= 0) t += " (landed at " + std::to_string(seekLandedMs) + " ms)";
    t += "\n";
    if (pausedMs > 0)
        t += "paused:              " + Ms(pausedMs) + ", " + std::to_string(arrivedWhilePaused) +
             " frames arrived meanwhile\n";
    if (discardedBeforeSeek) t += "before the seek:     " + std::to_string(discardedBeforeSeek) + " frames dropped\n";
    if (droppedAfterEnd) t += "after --duration:    " + std::to_string(droppedAfterEnd) + " frames dropped\n";
    if (malformedFrames) t += "malformed frames:    " + std::to_string(malformedFrames) + "\n";
    if (!stampedPictures.empty() || !stampedSound.empty()) {
        t += "missing frames:      " + std::to_string(missingPictures) + " pictures, " +
             std::to_string(missingSoundBlocks) + " sound blocks (gaps in the frame numbers)\n";
        const Sync sync = ComputeSync();
        if (sync.pictures > 0)
            t += "sound-picture sync:  median " + Fixed(sync.medianMs, 1) + " ms, 99th percentile " +
                 Fixed(sync.p99Ms, 1) + " ms (over " + std::to_string(sync.pictures) + " pictures)\n";
    }
    t += "ended by:            " + (endedBy.empty() ? std::string("-") : endedBy) + "\n";
    return t;
}

std::string PlayStats::Json() const
{
    Pace pace = ComputePace();
    auto num = [](double v) { return v < 0 ? std::string("null") : JsonNumber(v, 1); };
    std::string j = "{";
    j += "\"videoFrames\": " + std::to_string(videoFrames);
    j += ", \"videoBytes\": " + std::to_string(videoBytes);
    j += ", \"audioBlocks\": " + std::to_string(audioBlocks);
    j += ", \"audioBytes\": " + std::to_string(audioBytes);
    j += ", \"audioSampleFrames\": " + std::to_string(audioSampleFrames);
    j += ", \"sampleRate\": " + std::to_string(sampleRate);
    j += ", \"filePicturesPerSecond\": " + std::to_string(filePicturesPerSecond);
    // Sound only: no picture pace at all, rather than zeros.
    auto paced = [this](const std::string& value) { return hasVideo ? value : std::string("null"); };
    j += ", \"picturesPerSecond\": " + paced(JsonNumber(pace.picturesPerSecond, 3));
    j += ", \"paceSpanSeconds\": " + paced(JsonNumber(pace.spanSeconds, 3));
    j += ", \"latePictures\": " + paced(std::to_string(pace.latePictures));
    j += ", \"pacingErrorMedianMs\": " + paced(JsonNumber(pace.medianErrorMs, 2));
    j += ", \"pacingErrorP99Ms\": " + paced(JsonNumber(pace.p99ErrorMs, 2));
    j += ", \"firstVideoLatencyMs\": " + num(firstVideoMs);
    j += ", \"firstAudioLatencyMs\": " + num(firstAudioMs);
    const Schedule schedule = ComputeSchedule();
    j += ", \"firstPictureLagMs\": " + JsonNumber(schedule.firstLagMs, 2);
    j += ", \"followingMaxLagMs\": " + JsonNumber(schedule.followingMaxLagMs, 2);
    j += ", \"seekLatencyMs\": " + num(seekLatencyMs);
    j += ", \"seekLandedMs\": " + (seekLandedMs < 0 ? std::string("null") : std::to_string(seekLandedMs));
    j += ", \"pausedMs\": " + JsonNumber(pausedMs, 1);
    j += ", \"arrivedWhilePaused\": " + std::to_string(arrivedWhilePaused);
    j += ", \"discardedBeforeSeek\": " + std::to_string(discardedBeforeSeek);
    j += ", \"droppedAfterEnd\": " + std::to_string(droppedAfterEnd);
    j += ", \"malformedFrames\": " + std::to_string(malformedFrames);
    const bool stamped = !stampedPictures.empty() || !stampedSound.empty();
    const Sync sync = ComputeSync();
    j += ", \"missingPictures\": " + (stamped ? std::to_string(missingPictures) : std::string("null"));
    j += ", \"missingSoundBlocks\": " + (stamped ? std::to_string(missingSoundBlocks) : std::string("null"));
    j += ", \"syncPictures\": " + std::to_string(sync.pictures);
    j += ", \"syncErrorMedianMs\": " + (sync.pictures ? JsonNumber(sync.medianMs, 2) : std::string("null"));
    j += ", \"syncErrorP99Ms\": " + (sync.pictures ? JsonNumber(sync.p99Ms, 2) : std::string("null"));
    j += ", \"endedBy\": " + JsonString(endedBy);
    j += "}\n";
    return j;
}

std::string ProgressLine(double positionMs, double durationMs, double picturesPerSecond, int barWidth)
{
    double fraction = durationMs > 0 ? std::clamp(positionMs / durationMs, 0.0, 1.0) : 0.0;
    int filled = static_cast<int>(fraction * barWidth + 0.5);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(barWidth - filled), '.');
    std::string duration = durationMs > 0 ? Fixed(durationMs / 1000.0, 1) : std::string("?");
    std::string line = Fixed(std::max(positionMs, 0.0) / 1000.0, 1) + " / " + duration + " s [" + bar + "]";
    if (picturesPerSecond >= 0) line += " " + Fixed(picturesPerSecond, 1) + " fps";
    return line;
}

}  // namespace marlin::play
