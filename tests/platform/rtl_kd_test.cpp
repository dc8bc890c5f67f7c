// Rtl and Kd contracts where they differ from a naive string library: counted-string
// copies truncate silently, appends refuse and leave the destination as it was, a NUL
// is written only when there is room, integer conversion needs room for its NUL;
// swprintf formats as the kernel's C runtime does (%s wide, 'l' 32 bits) and returns
// characters without the NUL; each DbgPrint call is one log entry, cut at 512 bytes.
#include "tests/support/test_driver.h"

#include "sim/kd/kd.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class RtlStrings : public bench::PlatformTest {};

// A counted string over a local buffer pre-filled with 'x', so a test sees exactly
// which characters a routine wrote.
struct Buffer {
    explicit Buffer(USHORT maxBytes)
    {
        std::fill(std::begin(chars), std::end(chars), u'x');
        s = {0, maxBytes, chars};
    }
    std::u16string Text() const { return bench::Text(s); }
    WCHAR chars[64];
    UNICODE_STRING s;
};

TEST_F(RtlStrings, InitCountsBytesWithoutTheNulAndCopyTerminatesOnlyWhenRoomIsLeft)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"COM15");
    EXPECT_EQ(source.Length, 10);
    EXPECT_EQ(source.MaximumLength, 12);

    const struct {
        USHORT maxBytes;
        const char16_t *text;
        WCHAR after;
    } cases[] = {
        {6, u"COM", u'x'},     // three characters, no room for a NUL
        {10, u"COM15", u'x'},  // exactly the five characters
        {12, u"COM15", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.maxBytes);
        Buffer b(c.maxBytes);
        RtlCopyUnicodeString(&b.s, &source);
        EXPECT_EQ(b.Text(), c.text);
        EXPECT_EQ(b.chars[b.s.Length / 2], c.after) << "no NUL may be written past MaximumLength";
    }
}

TEST_F(RtlStrings, AppendRefusesWhatDoesNotFitAndLeavesTheDestinationUnchanged)
{
    Buffer name(20);  // ten characters
    ASSERT_EQ(RtlAppendUnicodeToString(&name.s, u"\\Device\\"), STATUS_SUCCESS);
    EXPECT_EQ(name.chars[8], 0) << "terminated while room is left";

    EXPECT_EQ(RtlAppendUnicodeToString(&name.s, u"VAR"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(name.Text(), u"\\Device\\");
    EXPECT_EQ(name.chars[8], 0) << "nothing of the refused text was copied";

    ASSERT_EQ(RtlAppendUnicodeToString(&name.s, u"V1"), STATUS_SUCCESS);
    EXPECT_EQ(name.chars[10], u'x') << "a full string gets no NUL";

    UNICODE_STRING digits;
    RtlInitUnicodeString(&digits, u"7");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&name.s, &digits), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(name.Text(), u"\\Device\\V1");
    name.s.Length -= 2;
    ASSERT_EQ(RtlAppendUnicodeStringToString(&name.s, &digits), STATUS_SUCCESS);
    EXPECT_EQ(name.Text(), u"\\Device\\V7");
}

TEST_F(RtlStrings, IntegerConversionCoversTheBasesAndNeedsRoomForItsNul)
{
    const struct {
        ULONG value;
        ULONG base;
        const char16_t *text;
    } cases[] = {
        {0, 10, u"0"}, {12, 0, u"12"}, {4294967295u, 10, u"4294967295"}, {255, 16, u"FF"}, {5, 2, u"101"},
    };
    for (const auto &c : cases) {
        Buffer b(80);
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &b.s), STATUS_SUCCESS) << c.value;
        EXPECT_EQ(b.Text(), c.text);
        EXPECT_EQ(b.chars[b.s.Length / 2], 0);
    }

    Buffer b(4);  // two characters: "12" fits only without its NUL
    b.s.Length = 2;
    EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &b.s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(b.s.Length, 2) << "the string is left as it was";
    EXPECT_EQ(b.chars[0], u'x');
    EXPECT_EQ(RtlIntegerToUnicodeString(7, 10, &b.s), STATUS_SUCCESS);
    EXPECT_EQ(b.Text(), u"7");
    EXPECT_EQ(RtlIntegerToUnicodeString(7, 3, &b.s), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStrings, SwprintfFormatsAsTheKernelsRuntimeAndCountsWithoutTheNul)
{
    WCHAR buffer[128];
    std::fill(std::begin(buffer), std::end(buffer), u'x');
    EXPECT_EQ(swprintf(buffer, u"\\DosDevices\\%ws", u"COM5"), 16);
    EXPECT_EQ(std::u16string(buffer), u"\\DosDevices\\COM5");
    EXPECT_EQ(buffer[17], u'x') << "nothing is written past the NUL";

    swprintf(buffer, u"[%s|%S|%hs|%c|%C|%%]", u"wide", "narrow", "h", u'W', 'N');
    EXPECT_EQ(std::u16string(buffer), u"[wide|narrow|h|W|N|%]");
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, u"VARNOOBEX1-tail");
    counted.Length = 20;  // only the first ten characters are the string's
    swprintf(buffer, u"%wZ/%.3ws/%6ws|", &counted, u"abcdef", u"ab");
    EXPECT_EQ(std::u16string(buffer), u"VARNOOBEX1/abc/    ab|");
    // 'l' reads a 32-bit LONG; reading 64 bits here would pick up the next argument.
    swprintf(buffer, u"%ld %lu %d %08X %p", LONG{-5}, ULONG{0xFFFFFFFFu}, 7, 0x1Bu, reinterpret_cast<void *>(0xABCull));
    EXPECT_EQ(std::u16string(buffer), u"-5 4294967295 7 0000001B 0000000000000ABC");
}

class KdLog : public bench::PlatformTest {};

TEST_F(KdLog, EachCallIsOneEntryFormattedAsTheKernelDoesAndCutAt512Bytes)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\VARNOOBEX1");
    DbgPrint("%s %ws %wZ %d %08lx\n", "a", u"COM5", &name, -3, 0x1bu);
    DbgPrint("%s", std::string(700, 'q').c_str());
    std::vector<std::string> log = sim::kd::Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "a COM5 \\Device\\VARNOOBEX1 -3 0000001b\n");
    EXPECT_EQ(log[1], std::string(512, 'q'));
}

TEST_F(KdLog, ConcurrentPrintersLoseNoEntryAndNeverInterleaveOne)
{
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; i++) {
                DbgPrint("thread %d line %d\n", t, i);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    std::vector<std::string> log = sim::kd::Log();
    ASSERT_EQ(log.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const std::string &entry : log) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(entry.c_str(), "thread %d line %d\n", &t, &i), 2) << entry;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(i, next[t]++) << "each thread's entries stay in its order";
    }
}

}  // namespace
