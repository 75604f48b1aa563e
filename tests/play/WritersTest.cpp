// The files marlin-play writes: y4m streams, raw frames, WAV, PNG contact
// sheets, and the picture conversion behind the sheet.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "controller/play/ContactSheet.h"
#include "controller/play/MediaWriters.h"
#include "controller/play/PixelLayouts.h"
#include "playback/MediaFormat.h"

using namespace marlin::play;
using Bytes = std::vector<uint8_t>;

namespace {

class TempDir
{
public:
    TempDir()
    {
        char pattern[] = "/tmp/marlin-play-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint32_t Le(const Bytes& b, size_t offset, int size)
{
    uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = (v << 8) | b[offset + static_cast<size_t>(i)];
    return v;
}

// A 4x2 picture with distinct bytes everywhere, in the layout's own order.
Bytes Sequence(size_t size, uint8_t first = 1)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

bool ReadPng(const std::string& path, int* width, int* height, Bytes* rgb)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb->resize(PNG_IMAGE_SIZE(image));
    bool ok = png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr) != 0;
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    png_image_free(&image);
    return ok;
}

}  // namespace

// --- y4m ---

TEST(PlayY4m, HeaderNamesSizeRateAndChromaOfEachLayout)
{
    EXPECT_EQ(Y4mHeader(ColorSpace::I420, 320, 240, 25), "YUV4MPEG2 W320 H240 F25:1 Ip A1:1 C420jpeg\n");
    EXPECT_EQ(Y4mHeader(ColorSpace::YUY2, 64, 48, 30), "YUV4MPEG2 W64 H48 F30:1 Ip A1:1 C422\n");
    EXPECT_EQ(Y4mHeader(ColorSpace::NV12, 2, 2, 0), "YUV4MPEG2 W2 H2 F25:1 Ip A1:1 C420jpeg\n");
    EXPECT_EQ(Y4mHeader(ColorSpace::IYUV, 2, 2, 29), "YUV4MPEG2 W2 H2 F30000:1001 Ip A1:1 C420jpeg\n");
    EXPECT_EQ(Y4mHeader(ColorSpace::UYVY, 2, 2, 23), "YUV4MPEG2 W2 H2 F24000:1001 Ip A1:1 C422\n");
    for (int32_t code : {ColorSpace::I420, ColorSpace::IYUV, ColorSpace::YV12, ColorSpace::NV12})
        EXPECT_STREQ(Y4mChroma(code), "420jpeg");
    for (int32_t code : {ColorSpace::YUY2, ColorSpace::UYVY}) EXPECT_STREQ(Y4mChroma(code), "422");
    for (int32_t code : {ColorSpace::RGB24, ColorSpace::RGB32, ColorSpace::RGB565, ColorSpace::RGB555,
                         ColorSpace::YVU9})
        EXPECT_EQ(Y4mChroma(code), nullptr);
}

TEST(PlayY4m, PlanesAreRearrangedToYThenCbThenCr)
{
    // 4x2: 8 luma bytes, 2 Cb, 2 Cr in 4:2:0.
    Bytes i420 = Sequence(12);
    Bytes planes;
    ASSERT_TRUE(ToY4mPlanes(ColorSpace::I420, 4, 2, i420.data(), i420.size(), &planes));
    EXPECT_EQ(planes, i420);
    ASSERT_TRUE(ToY4mPlanes(ColorSpace::IYUV, 4, 2, i420.data(), i420.size(), &planes));
    EXPECT_EQ(planes, i420);

    Bytes yv12 = {1, 2, 3, 4, 5, 6, 7, 8, /*V*/ 30, 31, /*U*/ 20, 21};
    ASSERT_TRUE(ToY4mPlanes(ColorSpace::YV12, 4, 2, yv12.data(), yv12.size(), &planes));
    EXPECT_EQ(planes, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 20, 21, 30, 31}));

    Bytes nv12 = {1, 2, 3, 4, 5, 6, 7, 8, /*UV*/ 20, 30, 21, 31};
    ASSERT_TRUE(ToY4mPlanes(ColorSpace::NV12, 4, 2, nv12.data(), nv12.size(), &planes));
    EXPECT_EQ(planes, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 20, 21, 30, 31}));

    // 4:2:2 packed, two lines of two pixel pairs each.
    Bytes yuy2 = {1, 20, 2, 30, 3, 21, 4, 31, 5, 22, 6, 32, 7, 23, 8, 33};
    ASSERT_TRUE(ToY4mPlanes(ColorSpace::YUY2, 4, 2, yuy2.data(), yuy2.size(), &planes));
    EXPECT_EQ(planes, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 20, 21, 22, 23, 30, 31, 32, 33}));
    Bytes uyvy = {20, 1, 30, 2, 21, 3, 31, 4, 22, 5, 32, 6, 23, 7, 33, 8};
    ASSERT_TRUE(ToY4mPlanes(ColorSpace::UYVY, 4, 2, uyvy.data(), uyvy.size(), &planes));
    EXPECT_EQ(planes, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 20, 21, 22, 23, 30, 31, 32, 33}));
}

TEST(PlayY4m, RefusesLayoutsItCannotHoldAndPicturesOfTheWrongSize)
{
    Bytes planes;
    Bytes rgb(4 * 2 * 3);
    EXPECT_FALSE(ToY4mPlanes(ColorSpace::RGB24, 4, 2, rgb.data(), rgb.size(), &planes));
    Bytes yvu9(16 + 2);
    EXPECT_FALSE(ToY4mPlanes(ColorSpace::YVU9, 4, 4, yvu9.data(), yvu9.size(), &planes));
    Bytes shortI420(11);
    EXPECT_FALSE(ToY4mPlanes(ColorSpace::I420, 4, 2, shortI420.data(), shortI420.size(), &planes));
    Bytes odd(3 * 2 * 2);  // lines without the whole last macropixel
    EXPECT_FALSE(ToY4mPlanes(ColorSpace::YUY2, 3, 2, odd.data(), odd.size(), &planes));
}

TEST(PlayPixelLayouts, OddSizesReadWholeChromaSamples)
{
    Bytes rgb;
    // 3 x 3 I420: chroma 2 x 2; the last column and row use the second
    // chroma sample. Left column pair red (U 90, V 240), last column white.
    Bytes i420 = {81, 81, 235, 81, 81, 235, 81, 81, 235, 90, 128, 90, 128, 240, 128, 240, 128};
    ASSERT_EQ(i420.size(), PictureBytes(ColorSpace::I420, 3, 3));
    ASSERT_TRUE(ConvertToRgb(ColorSpace::I420, 3, 3, i420.data(), i420.size(), &rgb));
    const Bytes red = {rgb[0], rgb[1], rgb[2]};
    EXPECT_GT(red[0], 230);
    EXPECT_LT(red[1], 30);
    for (size_t p : {2u, 5u, 8u}) EXPECT_EQ((Bytes{rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2]}), (Bytes{255, 255, 255}));
    // The same picture as NV12 and as YUY2 (lines of 8 bytes, the last
    // pair's second luma unused).
    Bytes nv12 = {81, 81, 235, 81, 81, 235, 81, 81, 235, 90, 240, 128, 128, 90, 240, 128, 128};
    Bytes fromNv12;
    ASSERT_TRUE(ConvertToRgb(ColorSpace::NV12, 3, 3, nv12.data(), nv12.size(), &fromNv12));
    EXPECT_EQ(fromNv12, rgb);
    Bytes yuy2;
    for (int row = 0; row < 3; ++row) yuy2.insert(yuy2.end(), {81, 90, 81, 240, 235, 128, 0, 128});
    ASSERT_EQ(yuy2.size(), PictureBytes(ColorSpace::YUY2, 3, 3));
    Bytes fromYuy2;
    ASSERT_TRUE(ConvertToRgb(ColorSpace::YUY2, 3, 3, yuy2.data(), yuy2.size(), &fromYuy2));
    EXPECT_EQ(fromYuy2, rgb);
    // Y4M planes of the YUY2 picture: Y 3 x 3, U and V 2 x 3.
    Bytes planes;
    ASSERT_TRUE(ToY4mPlanes(ColorSpace::YUY2, 3, 3, yuy2.data(), yuy2.size(), &planes));
    EXPECT_EQ(planes, (Bytes{81, 81, 235, 81, 81, 235, 81, 81, 235, 90, 128, 90, 128, 90, 128, 240, 128, 240, 128,
                             240, 128}));
    ASSERT_TRUE(ToY4mPlanes(ColorSpace::NV12, 3, 3, nv12.data(), nv12.size(), &planes));
    EXPECT_EQ(planes, i420);
}

TEST(PlayY4m, WriterPutsHeaderThenFrameMarkersAndPlanes)
{
    TempDir dir;
    std::string error;
    auto writer = VideoFileWriter::Open(dir.File("a.y4m"), ColorSpace::YV12, 4, 2, 25, true, &error);
    ASSERT_TRUE(writer) << error;
    EXPECT_TRUE(writer->IsY4m());
    Bytes yv12 = {1, 2, 3, 4, 5, 6, 7, 8, 30, 31, 20, 21};
    ASSERT_TRUE(writer->WriteFrame(yv12.data(), yv12.size(), &error)) << error;
    ASSERT_TRUE(writer->WriteFrame(yv12.data(), yv12.size(), &error)) << error;
    Bytes tooShort(5);
    EXPECT_FALSE(writer->WriteFrame(tooShort.data(), tooShort.size(), &error));
    EXPECT_NE(error.find("does not fit 4x2"), std::string::npos) << error;
    EXPECT_EQ(writer->Frames(), 2u);
    ASSERT_TRUE(writer->Close(&error)) << error;

    std::string header = "YUV4MPEG2 W4 H2 F25:1 Ip A1:1 C420jpeg\n";
    Bytes frame = {'F', 'R', 'A', 'M', 'E', '\n', 1, 2, 3, 4, 5, 6, 7, 8, 20, 21, 30, 31};
    Bytes want(header.begin(), header.end());
    want.insert(want.end(), frame.begin(), frame.end());
    want.insert(want.end(), frame.begin(), frame.end());
    EXPECT_EQ(ReadFile(dir.File("a.y4m")), want);
}

TEST(PlayY4m, RgbAndYvu9AndNonY4mNamesGetRawFramesBackToBack)
{
    TempDir dir;
    std::string error;
    Bytes rgb = Sequence(4 * 2 * 3);
    auto writer = VideoFileWriter::Open(dir.File("a.y4m"), ColorSpace::RGB24, 4, 2, 25, true, &error);
    ASSERT_TRUE(writer) << error;
    EXPECT_FALSE(writer->IsY4m());
    ASSERT_TRUE(writer->WriteFrame(rgb.data(), rgb.size(), &error));
    ASSERT_TRUE(writer->WriteFrame(rgb.data(), rgb.size(), &error));
    ASSERT_TRUE(writer->Close(&error));
    Bytes want = rgb;
    want.insert(want.end(), rgb.begin(), rgb.end());
    EXPECT_EQ(ReadFile(dir.File("a.y4m")), want);

    Bytes i420 = Sequence(12);
    auto raw = VideoFileWriter::Open(dir.File("a.yuv"), ColorSpace::I420, 4, 2, 25, false, &error);
    ASSERT_TRUE(raw);
    EXPECT_FALSE(raw->IsY4m());
    ASSERT_TRUE(raw->WriteFrame(i420.data(), i420.size(), &error));
    ASSERT_TRUE(raw->Close(&error));
    EXPECT_EQ(ReadFile(dir.File("a.yuv")), i420);
}

TEST(PlayY4m, OnAPipeEachPictureArrivesWholeBeforeTheNext)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    std::string error;
    auto writer = VideoFileWriter::Open("/dev/fd/" + std::to_string(fds[1]), ColorSpace::I420, 4, 2, 25,
                                        false, &error);
    ASSERT_TRUE(writer) << error;
    Bytes picture = Sequence(12);
    ASSERT_TRUE(writer->WriteFrame(picture.data(), picture.size(), &error)) << error;
    Bytes got(64);
    ssize_t n = read(fds[0], got.data(), got.size());
    EXPECT_EQ(n, 12) << "the picture stayed in a buffer";
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(got, picture);
    EXPECT_TRUE(writer->Close(&error));
    close(fds[0]);
    close(fds[1]);
}

TEST(PlayY4m, UnwritablePlacesAreReported)
{
    std::string error;
    EXPECT_FALSE(VideoFileWriter::Open("/nonexistent-folder/a.y4m", ColorSpace::I420, 4, 2, 25, true, &error));
    EXPECT_NE(error.find("/nonexistent-folder/a.y4m"), std::string::npos) << error;
    if (access("/dev/full", W_OK) == 0) {
        auto writer = VideoFileWriter::Open("/dev/full", ColorSpace::I420, 4, 2, 25, false, &error);
        ASSERT_TRUE(writer);
        Bytes big(1 << 20);
        bool ok = writer->WriteFrame(big.data(), big.size(), &error);
        ok = writer->Close(&error) && ok;
        EXPECT_FALSE(ok) << "a full disk must not pass for success";
    }
}

// --- WAV ---

TEST(PlayWav, HeaderFieldsDescribe16BitPcm)
{
    Bytes h = WavHeader(16000, 1, 32000);
    ASSERT_EQ(h.size(), kWavHeaderBytes);
    EXPECT_EQ(std::string(h.begin(), h.begin() + 4), "RIFF");
    EXPECT_EQ(Le(h, 4, 4), 36u + 32000u);
    EXPECT_EQ(std::string(h.begin() + 8, h.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(Le(h, 16, 4), 16u);
    EXPECT_EQ(Le(h, 20, 2), 1u);      // PCM
    EXPECT_EQ(Le(h, 22, 2), 1u);      // channels
    EXPECT_EQ(Le(h, 24, 4), 16000u);  // rate
    EXPECT_EQ(Le(h, 28, 4), 32000u);  // bytes per second
    EXPECT_EQ(Le(h, 32, 2), 2u);      // block align
    EXPECT_EQ(Le(h, 34, 2), 16u);     // bits
    EXPECT_EQ(std::string(h.begin() + 36, h.begin() + 40), "data");
    EXPECT_EQ(Le(h, 40, 4), 32000u);

    Bytes stereo = WavHeader(44100, 2, 0);
    EXPECT_EQ(Le(stereo, 28, 4), 44100u * 4);
    EXPECT_EQ(Le(stereo, 32, 2), 4u);
}

TEST(PlayWav, WriterFillsInTheLengthsAtClose)
{
    TempDir dir;
    std::string error;
    auto writer = WavWriter::Open(dir.File("a.wav"), 48000, 2, &error);
    ASSERT_TRUE(writer) << error;
    Bytes block = Sequence(400);
    ASSERT_TRUE(writer->Write(block.data(), block.size(), &error));
    ASSERT_TRUE(writer->Write(block.data(), 100, &error));
    EXPECT_EQ(writer->DataBytes(), 500u);
    ASSERT_TRUE(writer->Close(&error)) << error;

    Bytes file = ReadFile(dir.File("a.wav"));
    ASSERT_EQ(file.size(), kWavHeaderBytes + 500);
    EXPECT_EQ(Le(file, 4, 4), 536u);
    EXPECT_EQ(Le(file, 40, 4), 500u);
    EXPECT_EQ(Le(file, 22, 2), 2u);
    EXPECT_EQ(Le(file, 24, 4), 48000u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), file.begin() + kWavHeaderBytes));
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 100, file.begin() + kWavHeaderBytes + 400));
}

TEST(PlayWav, AnEmptyRecordingIsStillAValidFile)
{
    TempDir dir;
    std::string error;
    auto writer = WavWriter::Open(dir.File("a.wav"), 8000, 1, &error);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->Close(&error));
    EXPECT_EQ(ReadFile(dir.File("a.wav")), WavHeader(8000, 1, 0));
}

TEST(PlayWav, APipeGetsStreamingLengths)
{
    TempDir dir;
    std::string fifo = dir.File("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes received;
    std::thread reader([&] { received = ReadFile(fifo); });
    std::string error;
    auto writer = WavWriter::Open(fifo, 8000, 1, &error);
    ASSERT_TRUE(writer) << error;
    Bytes block = Sequence(64);
    ASSERT_TRUE(writer->Write(block.data(), block.size(), &error));
    EXPECT_TRUE(writer->Close(&error)) << error;
    reader.join();
    ASSERT_EQ(received.size(), kWavHeaderBytes + 64);
    EXPECT_EQ(Le(received, 4, 4), 0xFFFFFFFFu);
    EXPECT_EQ(Le(received, 40, 4), kWavStreamingDataBytes);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), received.begin() + kWavHeaderBytes));
}

// --- picture conversion ---

TEST(PlayPixelLayouts, NamesCodesAndSizesOfTheEleven)
{
    const std::pair<const char*, int32_t> expected[] = {
        {"rgb24", 0}, {"rgb32", 2}, {"rgb565", 3}, {"rgb555", 4}, {"yuy2", 6}, {"uyvy", 10},
        {"i420", 12}, {"yvu9", 13}, {"yv12", 16}, {"iyuv", 19}, {"nv12", 22}};
    ASSERT_EQ(AllPixelLayouts().size(), 11u);
    for (auto [name, code] : expected) {
        const PixelLayout* layout = FindPixelLayout(std::string_view(name));
        ASSERT_NE(layout, nullptr) << name;
        EXPECT_EQ(layout->code, code);
        EXPECT_EQ(FindPixelLayout(code), layout);
    }
    EXPECT_EQ(FindPixelLayout(std::string_view("I420")), FindPixelLayout(ColorSpace::I420));
    EXPECT_EQ(FindPixelLayout(std::string_view("rgb")), nullptr);
    EXPECT_EQ(FindPixelLayout(int32_t{1}), nullptr);

    EXPECT_EQ(PictureBytes(ColorSpace::RGB24, 320, 240), 230400u);
    EXPECT_EQ(PictureBytes(ColorSpace::RGB32, 320, 240), 307200u);
    EXPECT_EQ(PictureBytes(ColorSpace::YUY2, 320, 240), 153600u);
    EXPECT_EQ(PictureBytes(ColorSpace::NV12, 320, 240), 115200u);
    EXPECT_EQ(PictureBytes(ColorSpace::YVU9, 320, 240), 76800u + 2 * 80 * 60);
    EXPECT_EQ(PictureBytes(99, 320, 240), 0u);

    // Odd sizes: chroma planes and 4:2:2 lines round up (853 x 479: chroma
    // 427 x 240, YVU9 chroma 214 x 120, 4:2:2 lines of 1708 bytes).
    EXPECT_EQ(PictureBytes(ColorSpace::RGB24, 853, 479), 853u * 479 * 3);
    EXPECT_EQ(PictureBytes(ColorSpace::RGB565, 853, 479), 853u * 479 * 2);
    EXPECT_EQ(PictureBytes(ColorSpace::YUY2, 853, 479), 1708u * 479);
    EXPECT_EQ(PictureBytes(ColorSpace::UYVY, 853, 479), 1708u * 479);
    EXPECT_EQ(PictureBytes(ColorSpace::I420, 853, 479), 853u * 479 + 2 * 427 * 240);
    EXPECT_EQ(PictureBytes(ColorSpace::NV12, 853, 479), 853u * 479 + 2 * 427 * 240);
    EXPECT_EQ(PictureBytes(ColorSpace::YVU9, 853, 479), 853u * 479 + 2 * 214 * 120);

    EXPECT_FALSE(CheckPictureSize(*FindPixelLayout(ColorSpace::RGB24), 3, 3));
    EXPECT_FALSE(CheckPictureSize(*FindPixelLayout(ColorSpace::I420), 3, 2));
    EXPECT_FALSE(CheckPictureSize(*FindPixelLayout(ColorSpace::YUY2), 3, 3));
    EXPECT_FALSE(CheckPictureSize(*FindPixelLayout(ColorSpace::YVU9), 6, 5));
    EXPECT_TRUE(CheckPictureSize(*FindPixelLayout(ColorSpace::I420), 0, 2));
}

TEST(PlayPixelLayouts, RgbLayoutsConvertExactly)
{
    Bytes rgb;
    // One red and one green pixel, then blue and white.
    Bytes rgb24 = {0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255};
    ASSERT_TRUE(ConvertToRgb(ColorSpace::RGB24, 2, 2, rgb24.data(), rgb24.size(), &rgb));
    EXPECT_EQ(rgb, (Bytes{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}));
    Bytes rgb32 = {0, 0, 255, 9, 0, 255, 0, 9, 255, 0, 0, 9, 255, 255, 255, 9};
    ASSERT_TRUE(ConvertToRgb(ColorSpace::RGB32, 2, 2, rgb32.data(), rgb32.size(), &rgb));
    EXPECT_EQ(rgb, (Bytes{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}));
    // Little-endian words: red F800, green 07E0, blue 001F, white FFFF.
    Bytes rgb565 = {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF};
    ASSERT_TRUE(ConvertToRgb(ColorSpace::RGB565, 2, 2, rgb565.data(), rgb565.size(), &rgb));
    EXPECT_EQ(rgb, (Bytes{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}));
    // 555: red 7C00, green 03E0, blue 001F, black.
    Bytes rgb555 = {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0x00, 0x00};
    ASSERT_TRUE(ConvertToRgb(ColorSpace::RGB555, 2, 2, rgb555.data(), rgb555.size(), &rgb));
    EXPECT_EQ(rgb, (Bytes{255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0}));
}

// Every YUV layout of the same 4x4 picture, left half studio red (Y 81,
// U 90, V 240), right half white (Y 235, U = V = 128), gives the same RGB.
TEST(PlayPixelLayouts, EveryYuvLayoutGivesTheSamePicture)
{
    const int w = 4, h = 4;
    auto lumaAt = [](int x) { return static_cast<uint8_t>(x < 2 ? 81 : 235); };
    auto uAt = [](int x) { return static_cast<uint8_t>(x < 2 ? 90 : 128); };
    auto vAt = [](int x) { return static_cast<uint8_t>(x < 2 ? 240 : 128); };
    std::map<int32_t, Bytes> layouts;
    Bytes luma;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) luma.push_back(lumaAt(x));
    auto planar = [&](int sx, int sy, bool uFirst) {
        Bytes b = luma, u, v;
        for (int y = 0; y < h / sy; ++y)
            for (int x = 0; x < w / sx; ++x) {
                u.push_back(uAt(x * sx));
                v.push_back(vAt(x * sx));
            }
        b.insert(b.end(), (uFirst ? u : v).begin(), (uFirst ? u : v).end());
        b.insert(b.end(), (uFirst ? v : u).begin(), (uFirst ? v : u).end());
        return b;
    };
    layouts[ColorSpace::I420] = planar(2, 2, true);
    layouts[ColorSpace::IYUV] = planar(2, 2, true);
    layouts[ColorSpace::YV12] = planar(2, 2, false);
    // YVU9 holds one chroma sample per 4x4 block; this picture gets white's.
    Bytes nv12 = luma;
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            nv12.push_back(uAt(x * 2));
            nv12.push_back(vAt(x * 2));
        }
    layouts[ColorSpace::NV12] = nv12;
    Bytes yuy2, uyvy;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; x += 2) {
            yuy2.insert(yuy2.end(), {lumaAt(x), uAt(x), lumaAt(x + 1), vAt(x)});
            uyvy.insert(uyvy.end(), {uAt(x), lumaAt(x), vAt(x), lumaAt(x + 1)});
        }
    layouts[ColorSpace::YUY2] = yuy2;
    layouts[ColorSpace::UYVY] = uyvy;

    for (const auto& [code, data] : layouts) {
        Bytes rgb;
        ASSERT_TRUE(ConvertToRgb(code, w, h, data.data(), data.size(), &rgb)) << code;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = &rgb[static_cast<size_t>(y * w + x) * 3];
                if (x < 2) {
                    EXPECT_NEAR(p[0], 255, 3) << code;
                    EXPECT_NEAR(p[1], 0, 3) << code;
                    EXPECT_NEAR(p[2], 0, 3) << code;
                } else {
                    EXPECT_EQ(p[0], 255) << code;
                    EXPECT_EQ(p[1], 255) << code;
                    EXPECT_EQ(p[2], 255) << code;
                }
            }
    }

    // YVU9: V plane before U; one sample for the 4x4 block (red here).
    Bytes yvu9 = luma;
    yvu9.push_back(240);  // V
    yvu9.push_back(90);   // U
    Bytes rgb;
    ASSERT_TRUE(ConvertToRgb(ColorSpace::YVU9, w, h, yvu9.data(), yvu9.size(), &rgb));
    EXPECT_NEAR(rgb[0], 255, 3);
    EXPECT_NEAR(rgb[1], 0, 3);
    EXPECT_NEAR(rgb[2], 0, 3);
}

TEST(PlayPixelLayouts, StudioBlackAndWhiteAreFullBlackAndWhite)
{
    Bytes i420 = {16, 16, 235, 235, 128, 128};
    Bytes rgb;
    ASSERT_TRUE(ConvertToRgb(ColorSpace::I420, 2, 2, i420.data(), i420.size(), &rgb));
    EXPECT_EQ(rgb, (Bytes{0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255}));
}

TEST(PlayPixelLayouts, WrongSizesAndUnknownCodesAreRefused)
{
    Bytes rgb;
    Bytes data(100);
    EXPECT_FALSE(ConvertToRgb(ColorSpace::I420, 4, 4, data.data(), 23, &rgb));
    EXPECT_FALSE(ConvertToRgb(ColorSpace::I420, 3, 2, data.data(), 3 * 2 + 2 * 1 * 1, &rgb));  // w / 2 chroma
    EXPECT_FALSE(ConvertToRgb(7, 2, 2, data.data(), 8, &rgb));
    EXPECT_FALSE(ConvertToRgb(ColorSpace::RGB24, 0, 2, data.data(), 0, &rgb));
}

// --- PNG and contact sheet ---

TEST(PlayPng, WrittenPicturesDecodeBackToTheSamePixels)
{
    TempDir dir;
    Bytes pixels = Sequence(5 * 3 * 3, 7);
    std::string error;
    ASSERT_TRUE(WritePng(dir.File("a.png"), 5, 3, pixels, &error)) << error;
    int w = 0, h = 0;
    Bytes back;
    ASSERT_TRUE(ReadPng(dir.File("a.png"), &w, &h, &back));
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(back, pixels);

    EXPECT_FALSE(WritePng(dir.File("b.png"), 5, 3, Bytes(10), &error));
    EXPECT_FALSE(WritePng("/nonexistent-folder/a.png", 5, 3, pixels, &error));
    EXPECT_NE(error.find("/nonexistent-folder/a.png"), std::string::npos) << error;
}

TEST(PlayContactSheet, CellsFollowEvenIntervalsOfTheSpan)
{
    ContactSheet sheet(64, 48, 12, 4);
    EXPECT_EQ(sheet.CellFor(0, 2000), 0);
    EXPECT_EQ(sheet.CellFor(166, 2000), 0);
    EXPECT_EQ(sheet.CellFor(167, 2000), 1);
    EXPECT_EQ(sheet.CellFor(1999, 2000), 11);
    EXPECT_EQ(sheet.CellFor(5000, 2000), 11);
    EXPECT_EQ(sheet.CellFor(-10, 2000), 0);
    EXPECT_EQ(sheet.CellFor(100, 0), 0);
}

TEST(PlayContactSheet, SpreadSheetKeepsAnEvenSpreadOfAPlaybackOfUnknownLength)
{
    // 4x4 grey pictures whose level is their number; cells as large as the
    // pictures, so a cell's first pixel tells which picture it holds.
    const auto numbers = [](int offered) {
        SpreadContactSheet spread(4, 4, 4, 4, 4);
        for (int n = 0; n < offered; ++n) {
            const Bytes grey(4 * 4 * 3, static_cast<uint8_t>(n));
            EXPECT_TRUE(spread.Offer(ColorSpace::RGB24, grey.data(), grey.size()));
        }
        const ContactSheet& sheet = spread.Finish();
        std::vector<int> held;
        for (int cell = 0; cell < sheet.Cells(); ++cell) {
            if (!sheet.IsFilled(cell)) continue;
            const int x = ContactSheet::kGap + cell * (4 + ContactSheet::kGap);
            held.push_back(sheet.Rgb()[(static_cast<size_t>(ContactSheet::kGap) * sheet.Width() + x) * 3]);
        }
        return held;
    };
    EXPECT_EQ(numbers(3), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(numbers(9), (std::vector<int>{0, 2, 6, 8}));
    // From the first picture to near the last, evenly.
    EXPECT_EQ(numbers(50), (std::vector<int>{0, 16, 32, 48}));
    EXPECT_EQ(numbers(200), (std::vector<int>{0, 64, 128, 192}));
}

TEST(PlayContactSheet, PicturesOfDifferentLayoutsLandScaledInTheirCells)
{
    TempDir dir;
    // 8x4 pictures, cells scaled to 4x2: a grid of 2 columns and 2 rows.
    const int w = 8, h = 4, gap = ContactSheet::kGap;
    ContactSheet sheet(w, h, 4, 2, 4);
    EXPECT_EQ(sheet.Width(), 2 * 4 + 3 * gap);
    EXPECT_EQ(sheet.Height(), 2 * 2 + 3 * gap);

    Bytes redRgb24;
    for (int i = 0; i < w * h; ++i) redRgb24.insert(redRgb24.end(), {0, 0, 255});
    Bytes greenRgb565;
    for (int i = 0; i < w * h; ++i) greenRgb565.insert(greenRgb565.end(), {0xE0, 0x07});
    Bytes whiteNv12(PictureBytes(ColorSpace::NV12, w, h), 128);
    std::fill(whiteNv12.begin(), whiteNv12.begin() + w * h, 235);
    ASSERT_TRUE(sheet.Place(0, ColorSpace::RGB24, redRgb24.data(), redRgb24.size()));
    ASSERT_TRUE(sheet.Place(1, ColorSpace::RGB565, greenRgb565.data(), greenRgb565.size()));
    ASSERT_TRUE(sheet.Place(3, ColorSpace::NV12, whiteNv12.data(), whiteNv12.size()));
    EXPECT_FALSE(sheet.Place(2, ColorSpace::NV12, whiteNv12.data(), 10));
    EXPECT_FALSE(sheet.Place(4, ColorSpace::RGB24, redRgb24.data(), redRgb24.size()));
    EXPECT_EQ(sheet.FilledCount(), 3);
    EXPECT_FALSE(sheet.IsFilled(2));

    std::string error;
    ASSERT_TRUE(sheet.Write(dir.File("sheet.png"), &error)) << error;
    int sw = 0, sh = 0;
    Bytes png;
    ASSERT_TRUE(ReadPng(dir.File("sheet.png"), &sw, &sh, &png));
    ASSERT_EQ(sw, sheet.Width());
    ASSERT_EQ(sh, sheet.Height());
    auto pixel = [&](int x, int y) {
        const uint8_t* p = &png[static_cast<size_t>(y * sw + x) * 3];
        return Bytes{p[0], p[1], p[2]};
    };
    const Bytes background(ContactSheet::kBackground, ContactSheet::kBackground + 3);
    EXPECT_EQ(pixel(0, 0), background);
    EXPECT_EQ(pixel(gap, gap), (Bytes{255, 0, 0}));
    EXPECT_EQ(pixel(gap + 3, gap + 1), (Bytes{255, 0, 0}));
    EXPECT_EQ(pixel(2 * gap + 4, gap), (Bytes{0, 255, 0}));
    EXPECT_EQ(pixel(gap, 2 * gap + 2), background);  // cell 2 stayed empty
    EXPECT_EQ(pixel(2 * gap + 4 + 3, 2 * gap + 2 + 1), (Bytes{255, 255, 255}));
}

TEST(PlayContactSheet, CaptionsShowEachPicturesTimeUnderItsCell)
{
    EXPECT_EQ(ContactSheet::TimeCaption(0), "0.000 s");
    EXPECT_EQ(ContactSheet::TimeCaption(20'400'000), "2.040 s");
    EXPECT_EQ(ContactSheet::TimeCaption(36'123'456'789), "3612.346 s");

    // 80x20 pictures in two cells side by side, each with a strip under it.
    const int w = 80, h = 20, gap = ContactSheet::kGap, strip = ContactSheet::kCaptionHeight;
    ContactSheet sheet(w, h, 2, 2, 80, true);
    EXPECT_EQ(sheet.Height(), h + strip + 2 * gap);
    Bytes black(PictureBytes(ColorSpace::RGB24, w, h), 0);
    ASSERT_TRUE(sheet.Place(0, ColorSpace::RGB24, black.data(), black.size(), ContactSheet::TimeCaption(20'400'000)));
    ASSERT_TRUE(sheet.Place(1, ColorSpace::RGB24, black.data(), black.size(), ""));
    const Bytes& rgb = sheet.Rgb();
    auto inkIn = [&](int x0, int x1, int y0, int y1) {
        int ink = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (std::equal(ContactSheet::kCaptionInk, ContactSheet::kCaptionInk + 3,
                               &rgb[(static_cast<size_t>(y) * sheet.Width() + x) * 3]))
                    ++ink;
        return ink;
    };
    // Seven glyphs of "2.040 s" and nothing beyond them; the picture itself
    // and the empty caption stay free of ink.
    const int left = gap, top = gap + h;
    EXPECT_GT(inkIn(left, left + 7 * 6, top, top + strip), 7 * 5);
    EXPECT_EQ(inkIn(left + 7 * 6, left + w, top, top + strip), 0);
    EXPECT_EQ(inkIn(left, left + w, gap, gap + h), 0);
    EXPECT_EQ(inkIn(2 * gap + w, 2 * gap + 2 * w, top, top + strip), 0);
    // The "2" and the "0" differ, so the digits are the ones asked for.
    EXPECT_NE(inkIn(left, left + 6, top, top + strip), inkIn(left + 2 * 6, left + 3 * 6, top, top + strip));
}

// The same picture converted by FFmpeg's libswscale (what the host uses) into
// each layout, read back by ConvertToRgb: close to the original everywhere.
TEST(PlayPixelLayouts, AgreeWithFfmpegOnARealPicture)
{
    TempDir dir;
    const int w = 64, h = 48;
    auto ffmpeg = [&](const std::string& args) {
        std::string command = "ffmpeg -nostdin -loglevel error -y " + args;
        return std::system(command.c_str()) == 0;
    };
    ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=64x48 -frames:v 1 -pix_fmt rgb24 -f rawvideo '" +
                       dir.File("ref.rgb") + "'"));
    Bytes reference = ReadFile(dir.File("ref.rgb"));
    ASSERT_EQ(reference.size(), static_cast<size_t>(w * h * 3));

    struct Case
    {
        int32_t code;
        const char* ffmpegName;
        int swapPlanes;  // 0, or the chroma plane size to swap (FFmpeg keeps U first)
        double maxMeanError;
    };
    const Case cases[] = {
        {ColorSpace::RGB24, "bgr24", 0, 0.01},      {ColorSpace::RGB32, "bgr0", 0, 0.01},
        {ColorSpace::RGB565, "rgb565le", 0, 4},     {ColorSpace::RGB555, "rgb555le", 0, 4},
        {ColorSpace::YUY2, "yuyv422", 0, 4},        {ColorSpace::UYVY, "uyvy422", 0, 4},
        {ColorSpace::I420, "yuv420p", 0, 6},        {ColorSpace::IYUV, "yuv420p", 0, 6},
        {ColorSpace::YV12, "yuv420p", (w / 2) * (h / 2), 6},
        {ColorSpace::YVU9, "yuv410p", (w / 4) * (h / 4), 24},  // one chroma sample per 4x4
        {ColorSpace::NV12, "nv12", 0, 6},
    };
    auto meanError = [&](const Bytes& rgb) {
        double sum = 0;
        for (size_t i = 0; i < rgb.size(); ++i) sum += std::abs(int(rgb[i]) - int(reference[i]));
        return sum / static_cast<double>(rgb.size());
    };
    for (const Case& c : cases) {
        std::string file = dir.File(std::string(c.ffmpegName) + ".raw");
        ASSERT_TRUE(ffmpeg("-f rawvideo -pix_fmt rgb24 -s 64x48 -i '" + dir.File("ref.rgb") + "' -pix_fmt " +
                           c.ffmpegName + " -f rawvideo '" + file + "'"));
        Bytes data = ReadFile(file);
        ASSERT_EQ(data.size(), PictureBytes(c.code, w, h)) << c.ffmpegName;
        if (c.swapPlanes) {
            auto u = data.begin() + w * h;
            std::swap_ranges(u, u + c.swapPlanes, u + c.swapPlanes);
        }
        Bytes rgb;
        ASSERT_TRUE(ConvertToRgb(c.code, w, h, data.data(), data.size(), &rgb)) << c.ffmpegName;
        EXPECT_LT(meanError(rgb), c.maxMeanError) << c.ffmpegName << " as code " << c.code;
        if (c.code == ColorSpace::I420) {
            // The comparison notices swapped chroma: the same bytes read as YV12 are far off.
            ASSERT_TRUE(ConvertToRgb(ColorSpace::YV12, w, h, data.data(), data.size(), &rgb));
            EXPECT_GT(meanError(rgb), 3 * c.maxMeanError);
        }
    }
}
