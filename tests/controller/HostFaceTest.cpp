// The embedding face of the controller library (marlin/Controller.h), linked
// as the shared library programs get, against the real host beside it and
// the stand-in host of tests/play for the failures the real one does not
// show on demand.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <marlin/Controller.h>

using namespace marlin;

namespace {

const std::string kSample = MARLIN_SOURCE_DIR "/media/sample.mp4";
const std::string kFakeHost = MARLIN_BIN_DIR "/marlin-play-fake-host";

// Polls `done` until it holds or timeoutMs passes.
template <class Condition>
bool WaitFor(Condition done, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::unique_ptr<Host> StartFake(const char* mode, int replyTimeoutMs)
{
    setenv("MARLIN_FAKE_HOST", mode, 1);
    HostOptions options;
    options.hostPath = kFakeHost;
    options.replyTimeoutMs = replyTimeoutMs;
    Error error;
    auto host = Host::Start(options, &error);
    EXPECT_TRUE(host) << error.message;
    return host;
}

}  // namespace

TEST(HostFace, PlaysTheSampleThroughTheQueueAndQuits)
{
    unsetenv("MARLIN_HOST");
    Error error;
    auto host = Host::Start({}, &error);  // the host beside this library
    ASSERT_TRUE(host) << error.message;
    EXPECT_EQ(host->HostPath(), MARLIN_BIN_DIR "/marlin-host");

    auto info = host->TestFile(kSample, &error);
    ASSERT_TRUE(info) << error.message;
    EXPECT_TRUE(info->hasVideo);
    EXPECT_EQ(info->width, 320);
    EXPECT_EQ(info->height, 240);
    EXPECT_EQ(info->durationMs, 4000);
    EXPECT_EQ(info->framesPerSecond, 25);

    const OutputFormat format{.width = 160, .height = 120, .layout = Layout::I420, .sampleRate = 16000, .channels = 1};
    ASSERT_TRUE(host->Play(kSample, format, &error)) << error.message;
    EXPECT_TRUE(host->Pause(&error)) << error.message;
    auto position = host->Position(&error);
    ASSERT_TRUE(position) << error.message;
    EXPECT_GE(*position, 0);
    auto playing = host->Info(&error);
    ASSERT_TRUE(playing) << error.message;
    EXPECT_EQ(playing->durationMs, 4000);
    EXPECT_TRUE(host->Resume(&error)) << error.message;

    int pictures = 0, wrongPictures = 0, wrongSound = 0;
    size_t soundBytes = 0;
    std::optional<int64_t> firstPicturePosition;
    int misnumbered = 0, mistimed = 0, keyPictures = 0;
    for (;;) {
        auto frame = host->NextFrame(10000, &error);
        ASSERT_TRUE(frame) << error.message;
        if (frame->kind == FrameKind::EndOfMedia) {
            EXPECT_TRUE(frame->data.empty());
            break;
        }
        if (frame->kind == FrameKind::Video) {
            if (!firstPicturePosition) firstPicturePosition = frame->positionMs;
            // The sample's pictures are 40 ms apart from 0, numbered from 0.
            if (frame->number != static_cast<uint32_t>(pictures) || frame->isDiscontinuity != (pictures == 0))
                ++misnumbered;
            if (frame->presentationTime != pictures * 400'000LL) ++mistimed;
            if (frame->isKeyPicture) ++keyPictures;
            if (frame->width != 160 || frame->height != 120 || frame->layout != Layout::I420 ||
                frame->data.size() != PictureBytes(Layout::I420, 160, 120) || !frame->positionMs)
                ++wrongPictures;
            ++pictures;
        } else {
            if (frame->sampleRate != 16000 || frame->channels != 1 || frame->data.size() % 2 != 0) ++wrongSound;
            soundBytes += frame->data.size();
        }
    }
    EXPECT_EQ(pictures, 100);
    EXPECT_EQ(wrongPictures, 0);
    EXPECT_EQ(wrongSound, 0);
    EXPECT_EQ(firstPicturePosition, std::optional<int64_t>(0));
    EXPECT_EQ(misnumbered, 0);
    EXPECT_EQ(mistimed, 0);
    EXPECT_GE(keyPictures, 1);
    EXPECT_LT(keyPictures, pictures);
    EXPECT_NEAR(static_cast<double>(soundBytes) / (2 * 16000), 4.0, 0.1);

    EXPECT_TRUE(host->Stop(&error)) << error.message;
    EXPECT_EQ(host->Position(&error), std::optional<int64_t>(-1));

    HostEnd end = host->Quit(5000);
    EXPECT_EQ(end.reason, EndReason::Quit) << end.description;
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_NE(end.log.find("StartPlayFile"), std::string::npos);
    ASSERT_TRUE(host->Ended());
    EXPECT_EQ(host->Ended()->reason, EndReason::Quit);
    EXPECT_FALSE(host->Pause(&error));
    EXPECT_EQ(error.code, ErrorCode::HostEnded);
}

TEST(HostFace, PlayHandsOutNoFrameOfTheEarlierPlayback)
{
    // A host sends the last frames of a running playback before it answers
    // the next command (the stand-in marks them 0xEE). Those that come while
    // Play runs are the earlier playback's and are dropped, both from the
    // queue and before the callback.
    const OutputFormat first{.width = 64, .height = 48, .layout = Layout::I420, .sampleRate = 8000, .channels = 1};
    const OutputFormat second{.width = 32, .height = 16, .layout = Layout::Rgb24, .sampleRate = 16000, .channels = 2};
    auto isLate = [](const Frame& f) {
        return !f.data.empty() && std::all_of(f.data.begin(), f.data.end(), [](uint8_t b) { return b == 0xEE; });
    };
    auto isSecond = [&](const Frame& f) {
        return f.kind == FrameKind::Video ? f.width == second.width && f.layout == second.layout
               : f.kind == FrameKind::Audio ? f.channels == second.channels
                                            : true;
    };
    for (bool callback : {false, true}) {
        SCOPED_TRACE(callback ? "callback" : "queue");
        std::mutex lock;
        std::vector<Frame> received;
        setenv("MARLIN_FAKE_HOST", "player-late-frames", 1);
        HostOptions options;
        options.hostPath = kFakeHost;
        if (callback)
            options.onFrame = [&](Frame f) {
                std::lock_guard guard(lock);
                received.push_back(std::move(f));
            };
        Error error;
        auto host = Host::Start(options, &error);
        ASSERT_TRUE(host) << error.message;
        auto take = [&] {
            while (!callback && host->QueuedFrames() > 0)
                if (auto f = host->NextFrame(0)) received.push_back(std::move(*f));
        };
        auto secondPictures = [&] {
            take();
            std::lock_guard guard(lock);
            return std::count_if(received.begin(), received.end(),
                                 [&](const Frame& f) { return f.kind == FrameKind::Video && isSecond(f); });
        };

        ASSERT_TRUE(host->Play(kSample, first, &error)) << error.message;
        ASSERT_TRUE(WaitFor([&] { take(); std::lock_guard guard(lock); return !received.empty(); }, 5000));
        ASSERT_TRUE(host->Play(kSample, second, &error)) << error.message;
        if (!callback) {
            // What waits in the queue now is the new playback's.
            std::vector<Frame> queued;
            while (host->QueuedFrames() > 0)
                if (auto f = host->NextFrame(0)) queued.push_back(std::move(*f));
            for (const Frame& f : queued) EXPECT_TRUE(isSecond(f)) << "a frame of the earlier playback";
            received.insert(received.end(), std::make_move_iterator(queued.begin()),
                            std::make_move_iterator(queued.end()));
        }
        ASSERT_TRUE(WaitFor([&] { return secondPictures() >= 3; }, 5000));
        std::lock_guard guard(lock);
        EXPECT_EQ(std::count_if(received.begin(), received.end(), isLate), 0);
    }
}

TEST(HostFace, RecycledStorageCarriesLaterFramesWithTheirOwnBytes)
{
    // Two hosts play the sample side by side; one program hands every frame
    // back. Its pictures must land in the storage it handed back, and still
    // be byte for byte those of the other.
    unsetenv("MARLIN_HOST");
    const OutputFormat format{.width = 96, .height = 64, .layout = Layout::Rgb32, .sampleRate = 8000, .channels = 1};
    Error error;
    auto keeping = Host::Start({}, &error);
    ASSERT_TRUE(keeping) << error.message;
    auto recycling = Host::Start({}, &error);
    ASSERT_TRUE(recycling) << error.message;
    ASSERT_TRUE(keeping->Play(kSample, format, &error)) << error.message;
    ASSERT_TRUE(recycling->Play(kSample, format, &error)) << error.message;

    // Storage handed back gets a capacity that the library never chooses,
    // so a frame that arrives in it is known by that.
    auto marked = [](size_t size) { return size * 3 / 2 + 7; };
    auto pictures = [&](Host& host, bool recycle, std::vector<std::vector<uint8_t>>* out, int* reused) {
        for (;;) {
            Error e;
            auto frame = host.NextFrame(10000, &e);
            if (!frame) return ::testing::AssertionFailure() << e.message;
            if (frame->kind == FrameKind::EndOfMedia) return ::testing::AssertionSuccess();
            if (frame->kind == FrameKind::Video) {
                if (frame->data.capacity() == marked(frame->data.size())) ++*reused;
                out->push_back(frame->data);
            }
            if (recycle) {
                frame->data.reserve(marked(frame->data.size()));
                host.Recycle(std::move(*frame));
            }
        }
    };
    std::vector<std::vector<uint8_t>> kept, recycled;
    int reusedByKeeping = 0, reusedByRecycling = 0;
    std::thread other([&] { EXPECT_TRUE(pictures(*keeping, false, &kept, &reusedByKeeping)); });
    EXPECT_TRUE(pictures(*recycling, true, &recycled, &reusedByRecycling));
    other.join();

    ASSERT_EQ(recycled.size(), 100u);
    ASSERT_EQ(kept.size(), recycled.size());
    int differing = 0;
    for (size_t i = 0; i < kept.size(); ++i) differing += kept[i] != recycled[i];
    EXPECT_EQ(differing, 0);
    // The reader may be reading the next picture while one is handed back,
    // so not every one finds returned storage; most must.
    EXPECT_GE(reusedByRecycling, 50);
    // A program that keeps its frames: nothing to pass on.
    recycling->Recycle(Frame{});
    EXPECT_EQ(keeping->Quit(5000).reason, EndReason::Quit);
    EXPECT_EQ(recycling->Quit(5000).reason, EndReason::Quit);
}

TEST(HostFace, CallbackTakesFramesOnTheReaderThreadAndLearnsOfACrash)
{
    std::atomic<Host*> self{nullptr};
    std::atomic<int> frames{0}, ends{0};
    std::atomic<int> commandFromCallback{-1};
    std::mutex endLock;
    HostEnd seenEnd;
    HostOptions options;
    options.onFrame = [&](Frame) {
        if (frames++ == 0 && self.load()) {
            Error error;
            self.load()->Position(&error);
            commandFromCallback = static_cast<int>(error.code);
        }
    };
    options.onEnded = [&](const HostEnd& end) {
        std::lock_guard guard(endLock);
        seenEnd = end;
        ++ends;
    };
    Error error;
    auto host = Host::Start(options, &error);
    ASSERT_TRUE(host) << error.message;
    self = host.get();
    ASSERT_TRUE(host->Play(kSample, {}, &error)) << error.message;
    ASSERT_TRUE(WaitFor([&] { return frames >= 5; }, 10000));
    EXPECT_EQ(commandFromCallback, static_cast<int>(ErrorCode::WrongThread));
    EXPECT_EQ(host->QueuedFrames(), 0u);  // all went to the callback

    ASSERT_EQ(kill(host->Pid(), SIGKILL), 0);
    auto end = host->WaitEnded(10000);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->reason, EndReason::Signal) << end->description;
    EXPECT_EQ(end->signal, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return ends > 0; }, 5000));
    {
        std::lock_guard guard(endLock);
        EXPECT_EQ(seenEnd.reason, EndReason::Signal);
    }
    EXPECT_FALSE(host->Position(&error));
    EXPECT_EQ(error.code, ErrorCode::HostEnded);
    EXPECT_FALSE(host->NextFrame(0, &error));
    EXPECT_EQ(error.code, ErrorCode::HostEnded);
    EXPECT_EQ(host->Quit().reason, EndReason::Signal);  // already ended: reported again
    host.reset();
    EXPECT_EQ(ends, 1);
}

TEST(HostFace, RefusesWhatCannotBeSentAndReportsWhatTheHostCannotDo)
{
    Error error;
    HostOptions missing;
    missing.hostPath = "/nonexistent/marlin-host";
    EXPECT_FALSE(Host::Start(missing, &error));
    EXPECT_EQ(error.code, ErrorCode::CannotStart);
    setenv("MARLIN_HOST", "/nonexistent/marlin-host", 1);
    EXPECT_FALSE(Host::Start({}, &error));
    EXPECT_EQ(error.code, ErrorCode::HostNotFound);
    unsetenv("MARLIN_HOST");

    auto host = Host::Start({}, &error);
    ASSERT_TRUE(host) << error.message;
    EXPECT_FALSE(host->TestFile("/nonexistent/clip.mp4", &error));
    EXPECT_EQ(error.code, ErrorCode::CannotOpen);
    EXPECT_FALSE(host->TestFile("/tmp/\xff\xfe.mp4", &error));
    EXPECT_EQ(error.code, ErrorCode::InvalidArgument);
    EXPECT_FALSE(host->Play(kSample, {.width = 0}, &error));
    EXPECT_EQ(error.code, ErrorCode::InvalidArgument);
    EXPECT_FALSE(host->Play(kSample, {.layout = static_cast<Layout>(5)}, &error));
    EXPECT_EQ(error.code, ErrorCode::InvalidArgument);
    EXPECT_FALSE(host->Play("/nonexistent/clip.mp4", {}, &error));
    EXPECT_EQ(error.code, ErrorCode::CannotOpen);
    EXPECT_FALSE(host->Seek(-1, &error));
    EXPECT_EQ(error.code, ErrorCode::InvalidArgument);
    EXPECT_FALSE(host->NextFrame(50, &error));
    EXPECT_EQ(error.code, ErrorCode::Timeout);
    // Still answering after all that.
    EXPECT_EQ(host->Position(&error), std::optional<int64_t>(-1));

    EXPECT_EQ(ParseLayout("NV12"), Layout::Nv12);
    EXPECT_STREQ(LayoutName(Layout::Yvu9), "yvu9");
    EXPECT_EQ(ParseLayout("bgr24"), std::nullopt);
    EXPECT_EQ(PictureBytes(Layout::I420, 5, 3), 15u + 2 * 3 * 2);
    EXPECT_EQ(PictureBytes(Layout::Yuy2, 5, 3), 3u * 4 * 3);
    EXPECT_EQ(PictureBytes(Layout::Yvu9, 5, 5), 25u + 2 * 2 * 2);
    EXPECT_EQ(PictureBytes(Layout::Rgb24, 0, 3), 0u);
}

TEST(HostFace, TimesOutOnASilentHostAndKillsOneThatBreaksTheProtocol)
{
    Error error;
    {
        auto host = StartFake("silent", 300);
        ASSERT_TRUE(host);
        EXPECT_FALSE(host->Position(&error));
        EXPECT_EQ(error.code, ErrorCode::Timeout);
        HostEnd end = host->Quit(300);  // it reads Quit and stays
        EXPECT_EQ(end.reason, EndReason::Signal) << end.description;
        EXPECT_EQ(end.signal, SIGKILL);
    }
    {
        auto host = StartFake("garbage", 5000);
        ASSERT_TRUE(host);
        EXPECT_FALSE(host->TestFile(kSample, &error));
        EXPECT_EQ(error.code, ErrorCode::HostEnded);
        auto end = host->Ended();
        ASSERT_TRUE(end);
        EXPECT_EQ(end->reason, EndReason::ProtocolError) << end->description;
    }
    {
        auto host = StartFake("die", 5000);
        ASSERT_TRUE(host);
        EXPECT_FALSE(host->TestFile(kSample, &error));
        EXPECT_EQ(error.code, ErrorCode::HostEnded);
        auto end = host->WaitEnded(5000);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->reason, EndReason::Exited) << end->description;
        EXPECT_EQ(end->exitCode, 3);
        EXPECT_NE(end->log.find("giving up"), std::string::npos);
    }
}
