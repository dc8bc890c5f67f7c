// Rtl contract: the counted-string routines where they differ from a naive string
// library: copies truncate silently, appends refuse and leave the destination as it
// was, a NUL is written only when there is room, integer conversion needs room for
// its NUL, and freeing releases pool and empties the string.
#include "kernel/kernel.h"
#include "sim/ex/ex.h"
#include "tests/support/platform_test.h"

#include <string>

using sim::verifier::Rule;

namespace {

class RtlStrings : public bench::PlatformTest {};

// A counted string over a local buffer pre-filled with 'x', so a test sees exactly
// which characters a routine wrote.
struct Buffer {
    explicit Buffer(USHORT maxBytes)
    {
        for (auto &c : chars) {
            c = u'x';
        }
        s.Buffer = chars;
        s.Length = 0;
        s.MaximumLength = maxBytes;
    }
    std::u16string Text() const { return std::u16string(s.Buffer, s.Length / 2); }
    WCHAR chars[64];
    UNICODE_STRING s;
};

TEST_F(RtlStrings, InitCountsBytesWithoutTheNulAndNullGivesAnEmptyString)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"\\Device\\VARNOOBEX");
    EXPECT_EQ(s.Length, 34);
    EXPECT_EQ(s.MaximumLength, 36);

    s.Length = 7;
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    RtlInitUnicodeString(&s, u"");
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 2);
}

TEST_F(RtlStrings, CopyTruncatesToTheDestinationAndTerminatesOnlyWhenRoomIsLeft)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"COM15");

    Buffer small(6);  // three characters, no room for a NUL
    RtlCopyUnicodeString(&small.s, &source);
    EXPECT_EQ(small.Text(), u"COM");
    EXPECT_EQ(small.chars[3], u'x') << "no NUL may be written past MaximumLength";

    Buffer exact(10);  // exactly the five characters
    RtlCopyUnicodeString(&exact.s, &source);
    EXPECT_EQ(exact.Text(), u"COM15");
    EXPECT_EQ(exact.chars[5], u'x');

    Buffer roomy(12);
    RtlCopyUnicodeString(&roomy.s, &source);
    EXPECT_EQ(roomy.Text(), u"COM15");
    EXPECT_EQ(roomy.chars[5], 0);

    RtlCopyUnicodeString(&roomy.s, nullptr);
    EXPECT_EQ(roomy.s.Length, 0) << "a NULL source empties the destination";
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
    EXPECT_EQ(name.Text(), u"\\Device\\V1");
    EXPECT_EQ(name.chars[10], u'x') << "a full string gets no NUL";
    EXPECT_EQ(RtlAppendUnicodeToString(&name.s, nullptr), STATUS_SUCCESS);

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
    struct Case {
        ULONG value;
        ULONG base;
        const char16_t *text;
    } cases[] = {
        {0, 10, u"0"},          {12, 0, u"12"},    {4294967295u, 10, u"4294967295"},
        {255, 16, u"FF"},        {8, 8, u"10"},     {5, 2, u"101"},
        {0x80000000u, 2, u"10000000000000000000000000000000"},
    };
    for (const Case &c : cases) {
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

TEST_F(RtlStrings, FreeReleasesThePoolBufferAndEmptiesTheString)
{
    UNICODE_STRING s;
    s.Buffer = static_cast<PWSTR>(ExAllocatePool(NonPagedPool, 10));
    s.Length = 4;
    s.MaximumLength = 8;
    ASSERT_NE(s.Buffer, nullptr);
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(sim::ex::OutstandingCount(), 0u);

    RtlFreeUnicodeString(&s);  // an empty string is left alone
}

TEST_F(RtlStrings, ComparisonsHonourCaseOnlyWhenAskedAndOrderByTheFirstDifference)
{
    UNICODE_STRING a, b, prefix;
    RtlInitUnicodeString(&a, u"\\DosDevices\\COM5");
    RtlInitUnicodeString(&b, u"\\dosdevices\\com5");
    RtlInitUnicodeString(&prefix, u"\\DosDevices\\COM");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &prefix, TRUE));
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0) << "'D' sorts before 'd'";
    EXPECT_GT(RtlCompareUnicodeString(&a, &prefix, TRUE), 0) << "the longer string sorts last";

    const char x[] = "abcdef";
    const char y[] = "abcXef";
    EXPECT_EQ(RtlCompareMemory(x, y, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(x, x, 6), 6u);
}

TEST_F(RtlStrings, AMalformedCountedStringIsReported)
{
    WCHAR chars[4] = {};
    UNICODE_STRING bad{8, 4, chars};  // Length above MaximumLength
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"A");
    RtlCopyUnicodeString(&bad, &source);
    ExpectViolation(Rule::InvalidParameter);
    EXPECT_EQ(chars[0], 0) << "nothing was written through the malformed string";
}

TEST_F(RtlStrings, PassiveOnlyRoutinesReportACallAtDispatchLevel)
{
    WCHAR chars[8];
    UNICODE_STRING s{0, sizeof chars, chars};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    RtlIntegerToUnicodeString(1, 10, &s);
    KeLowerIrql(old);
    ExpectViolation(Rule::BlockingAtDispatch);
}

}  // namespace
