// Stream: byte streams and the in-memory stream.
#include "platform/rtl/Stream.h"

#include "platform/rtl/Exception.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string_view>

namespace rtl {
namespace {

TEST(TMemoryStream, WritesReadsAndSeeksFromEveryOrigin) {
    TMemoryStream Stream;
    Stream.WriteAll("hello world");
    EXPECT_EQ(Stream.Size(), 11);
    EXPECT_EQ(Stream.Position(), 11);
    EXPECT_EQ(Stream.Seek(-5, TSeekOrigin::soEnd), 6);
    char Buffer[8] = {};
    EXPECT_EQ(Stream.Read(Buffer, sizeof(Buffer)), 5);
    EXPECT_EQ(std::string(Buffer, 5), "world");
    EXPECT_EQ(Stream.Read(Buffer, sizeof(Buffer)), 0);
    EXPECT_EQ(Stream.Seek(-6, TSeekOrigin::soCurrent), 5);
    Stream.SetPosition(0);
    Stream.WriteAll("J");
    EXPECT_EQ(Stream.View(), "Jello world");
    EXPECT_THROW(Stream.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
}

TEST(TMemoryStream, WritingPastTheEndFillsTheGapWithZeros) {
    TMemoryStream Stream;
    Stream.SetPosition(3);
    Stream.WriteAll("x");
    EXPECT_EQ(Stream.View(), std::string_view("\0\0\0x", 4));
}

TEST(TMemoryStream, GrowingOverEarlierContentGivesZerosNotTheOldBytes) {
    // The room of truncated bytes is kept: growing into it again must not show them.
    struct TCase {
        const char* Name;
        void (*Grow)(TMemoryStream& Stream);
        std::string_view Expected;
    };
    const TCase Cases[] = {
        {"SetSize", [](TMemoryStream& S) { S.SetSize(6); }, std::string_view("\0\0\0\0\0\0", 6)},
        {"write past the end",
         [](TMemoryStream& S) {
             S.SetPosition(4);
             S.WriteAll("xy");
         },
         std::string_view("\0\0\0\0xy", 6)},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TMemoryStream Stream("abcdefgh");
        Stream.SetSize(0);
        Case.Grow(Stream);
        EXPECT_EQ(Stream.View(), Case.Expected);
    }
}

TEST(TMemoryStream, ExtendHandsOutRoomAtTheEnd) {
    TMemoryStream Stream("ab");
    Stream.SetPosition(1);
    std::uint8_t* Room = Stream.Extend(3);
    std::memcpy(Room, "cde", 3);
    EXPECT_EQ(Stream.View(), "abcde");
    EXPECT_EQ(Stream.Position(), 1);
    EXPECT_EQ(Stream.Extend(0), Stream.Memory() + 5);
    EXPECT_THROW(Stream.Extend(-1), EStreamError);
    EXPECT_EQ(Stream.Size(), 5);
}

TEST(TMemoryStream, SetSizeTruncatesAndClampsThePosition) {
    TMemoryStream Stream("0123456789");
    Stream.SetPosition(8);
    Stream.SetSize(4);
    EXPECT_EQ(Stream.Position(), 4);
    EXPECT_EQ(Stream.View(), "0123");
    EXPECT_THROW(Stream.SetSize(-1), EStreamError);
}

TEST(TStream, ReadExactThrowsWhenTheStreamEndsEarly) {
    TMemoryStream Stream("abc");
    char Buffer[4];
    EXPECT_THROW(Stream.ReadExact(Buffer, 4), EReadError);
}

TEST(TStream, CopyFromWithZeroCountCopiesTheWholeSource) {
    TMemoryStream Source("payload");
    Source.SetPosition(4);
    TMemoryStream Target("> ");
    Target.Seek(0, TSeekOrigin::soEnd);
    EXPECT_EQ(Target.CopyFrom(Source, 0), 7);
    EXPECT_EQ(Target.View(), "> payload");

    Source.SetPosition(3);
    TMemoryStream Part;
    EXPECT_EQ(Part.CopyFrom(Source, 2), 2);
    EXPECT_EQ(Part.View(), "lo");
    EXPECT_THROW(Part.CopyFrom(Source, 10), EReadError);
}

TEST(TMemoryStream, LoadFromStreamReplacesTheContentAndRewinds) {
    TMemoryStream Source("new");
    Source.SetPosition(2);
    TMemoryStream Target("old content");
    Target.LoadFromStream(Source);
    EXPECT_EQ(Target.View(), "new");
    EXPECT_EQ(Target.Position(), 0);
}

} // namespace
} // namespace rtl
