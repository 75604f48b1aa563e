#include <gtest/gtest.h>

#include "platform/dshow/MediaType.h"
#include "tests/dshow/TestFilters.h"

using namespace testing_dshow;

TEST(MediaType, GuidValuesAreDirectShows)
{
    EXPECT_EQ(GuidToString(MEDIATYPE_Video), "73646976-0000-0010-8000-00AA00389B71");
    EXPECT_EQ(GuidToString(MEDIATYPE_Audio), "73647561-0000-0010-8000-00AA00389B71");
    EXPECT_EQ(GuidToString(FORMAT_VideoInfo), "05589F80-C356-11CE-BF01-00AA0055595A");
    EXPECT_EQ(GuidToString(FORMAT_VideoInfo2), "F72A76A0-EB0A-11D0-ACE4-0000C0CC16BA");
    EXPECT_EQ(GuidToString(FORMAT_WaveFormatEx), "05589F81-C356-11CE-BF01-00AA0055595A");
    EXPECT_EQ(GuidToString(MEDIASUBTYPE_YUY2), "32595559-0000-0010-8000-00AA00389B71");
    EXPECT_EQ(GuidToString(MEDIASUBTYPE_RGB24), "E436EB7D-524F-11CE-9F53-0020AF0BA770");
    EXPECT_EQ(GuidToString(MEDIASUBTYPE_PCM), "00000001-0000-0010-8000-00AA00389B71");
    EXPECT_EQ(GuidToString(IID_IBaseFilter), "56A86895-0AD4-11CE-B03A-0020AF0BA770");
    EXPECT_EQ(GuidToString(CLSID_FilterGraph), "E436EBB3-524F-11CE-9F53-0020AF0BA770");
    EXPECT_EQ(static_cast<uint32_t>(VFW_S_STATE_INTERMEDIATE), 0x00040237u);
    EXPECT_EQ(static_cast<uint32_t>(VFW_S_PARTIAL_RENDER), 0x00040242u);
}

TEST(MediaType, CopiesOwnTheirFormatBlock)
{
    CMediaType a = MakeVideoType(MEDIASUBTYPE_NV12, 640, -360, true);
    CMediaType b = a;
    ASSERT_NE(a.pbFormat, b.pbFormat);
    EXPECT_TRUE(a.MatchesExactly(b));
    reinterpret_cast<VIDEOINFOHEADER2*>(b.pbFormat)->bmiHeader.biWidth = 1;
    EXPECT_FALSE(a.MatchesExactly(b));
    EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER2*>(a.pbFormat)->bmiHeader.biWidth, 640);

    AM_MEDIA_TYPE* heap = CreateMediaType(&a);
    ASSERT_NE(heap, nullptr);
    EXPECT_TRUE(a.MatchesExactly(*heap));
    DeleteMediaType(heap);

    CMediaType moved = std::move(b);
    EXPECT_EQ(b.pbFormat, nullptr);
    EXPECT_EQ(moved.cbFormat, sizeof(VIDEOINFOHEADER2));
    a = moved;
    EXPECT_TRUE(a.MatchesExactly(moved));
}

TEST(MediaType, PartialTypesMatchAsWildcards)
{
    CMediaType full = MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16);
    CMediaType partial(MEDIATYPE_Audio);
    EXPECT_TRUE(partial.IsPartiallySpecified());
    EXPECT_TRUE(full.MatchesPartial(&partial));
    EXPECT_TRUE(full.MatchesPartial(nullptr));
    partial.SetSubtype(MEDIASUBTYPE_IEEE_FLOAT);
    EXPECT_FALSE(full.MatchesPartial(&partial));
    CMediaType video(MEDIATYPE_Video);
    EXPECT_FALSE(full.MatchesPartial(&video));
}
