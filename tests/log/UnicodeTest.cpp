#include <gtest/gtest.h>

#include "platform/os/Unicode.h"

TEST(Unicode, RoundTripsAllPlanes)
{
    std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
    EXPECT_EQ(Utf16ToUtf8(u"\u4e2d"), "\xE4\xB8\xAD");
}

TEST(Unicode, MalformedInputBecomesReplacementCharacter)
{
    std::u16string lone{u'a', static_cast<char16_t>(0xD800), u'b'};
    EXPECT_EQ(Utf16ToUtf8(lone), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");  // encoded surrogate
    EXPECT_EQ(Utf16Length(nullptr), 0u);
}
