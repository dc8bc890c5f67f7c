// Rtl contract: the kernel's swprintf formats as its C runtime does on Windows: %s
// and %c are wide in the wide family, %S and %hs narrow, 'l' is 32 bits (LLP64), and
// the return value counts characters without the NUL it writes.
#include "kernel/kernel.h"
#include "tests/support/platform_test.h"

#include <string>

namespace {

class RtlFormat : public bench::PlatformTest {};

TEST_F(RtlFormat, BuildsALinkNameFromAWidePortNameAndTerminatesIt)
{
    WCHAR buffer[64];
    for (auto &c : buffer) {
        c = u'x';
    }
    const WCHAR port[] = u"COM5";
    int n = swprintf(buffer, u"\\DosDevices\\%ws", port);
    EXPECT_EQ(n, 16);
    EXPECT_EQ(std::u16string(buffer), u"\\DosDevices\\COM5");
    EXPECT_EQ(buffer[17], u'x') << "nothing is written past the NUL";
}

TEST_F(RtlFormat, StringAndCharacterConversionsFollowTheWideFamily)
{
    WCHAR buffer[128];
    swprintf(buffer, u"[%s|%S|%hs|%ls|%c|%C|%%]", u"wide", "narrow", "h", u"l", u'W', 'N');
    EXPECT_EQ(std::u16string(buffer), u"[wide|narrow|h|l|W|N|%]");

    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, u"VARNOOBEX1-tail");
    counted.Length = 20;  // only the first ten characters are the string's
    swprintf(buffer, u"%wZ/%.3ws/%6ws/%-4ws|", &counted, u"abcdef", u"ab", u"c");
    EXPECT_EQ(std::u16string(buffer), u"VARNOOBEX1/abc/    ab/c   |");

    swprintf(buffer, u"%ws", static_cast<const WCHAR *>(nullptr));
    EXPECT_EQ(std::u16string(buffer), u"(null)");
}

TEST_F(RtlFormat, NumbersUseWindowsArgumentSizes)
{
    WCHAR buffer[128];
    LONG negative = -5;
    ULONG big = 0xFFFFFFFFu;
    // 'l' reads a 32-bit LONG; reading 64 bits here would pick up the next argument.
    swprintf(buffer, u"%ld %lu %d %u", negative, big, 7, 8u);
    EXPECT_EQ(std::u16string(buffer), u"-5 4294967295 7 8");

    swprintf(buffer, u"%x %X %08X %#x %I64d %llu %5d|%-5d|", 0xbeefu, 0xbeefu, 0x1Bu, 255u,
             static_cast<LONGLONG>(-1234567890123LL), 18446744073709551615ull, 42, 42);
    EXPECT_EQ(std::u16string(buffer), u"beef BEEF 0000001B 0xff -1234567890123 18446744073709551615    42|42   |");

    swprintf(buffer, u"%hd %hhu %*d", 70000, 300, 4, 9);
    EXPECT_EQ(std::u16string(buffer), u"4464 44    9");
}

TEST_F(RtlFormat, PointersPrintAllSixteenUpperCaseDigits)
{
    WCHAR buffer[32];
    swprintf(buffer, u"%p", reinterpret_cast<void *>(0xABCull));
    EXPECT_EQ(std::u16string(buffer), u"0000000000000ABC");
}

}  // namespace
