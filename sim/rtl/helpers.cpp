// Shared helpers of the host Rtl layer: case mapping, conversions between counted
// strings, UTF-16 and UTF-8, and the argument checks that the platform's routines
// make before they touch a driver's string. Callable from any thread.
#include "sim/ke/ke.h"
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

namespace sim::rtl {

char16_t Upcase(char16_t c)
{
    if (c >= u'a' && c <= u'z') {
        return static_cast<char16_t>(c - 0x20);
    }
    // Latin-1 lower-case letters, except the division sign (U+00F7); U+00FF maps
    // outside Latin-1 (to U+0178).
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    return c;
}

std::u16string Upper(std::u16string_view s)
{
    std::u16string out(s);
    for (char16_t &c : out) {
        c = Upcase(c);
    }
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (Upcase(a[i]) != Upcase(b[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix)
{
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

std::u16string FromCounted(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string FromWide(PCWSTR s)
{
    return s == nullptr ? std::u16string() : std::u16string(s);
}

std::string Narrow(std::u16string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = '?';
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string Widen(std::string_view s)
{
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        bool valid = extra >= 0;
        char32_t c = extra == 3 ? (b & 0x07) : extra == 2 ? (b & 0x0F) : extra == 1 ? (b & 0x1F) : b;
        for (int k = 1; valid && k <= extra; k++) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                valid = false;
            } else {
                c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
            }
        }
        if (!valid) {
            // Not UTF-8: take the byte as a Latin-1 character, as an ANSI code page would.
            out.push_back(b);
            i++;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += 1 + extra;
    }
    return out;
}

bool CheckCounted(PCUNICODE_STRING s, const char *routine, const char *parameter, bool optional)
{
    using sim::verifier::Report;
    using sim::verifier::Rule;
    if (s == nullptr) {
        if (!optional) {
            Report(Rule::InvalidParameter, "%s: %s is NULL", routine, parameter);
        }
        return optional;
    }
    if (s->Length > s->MaximumLength || (s->Length & 1) != 0 || (s->Length != 0 && s->Buffer == nullptr)) {
        Report(Rule::InvalidParameter, "%s: %s is malformed (Length %u, MaximumLength %u, Buffer %p)",
               routine, parameter, s->Length, s->MaximumLength, static_cast<void *>(s->Buffer));
        return false;
    }
    return true;
}

bool RequirePassive(const char *routine)
{
    KIRQL irql = sim::ke::CurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        sim::verifier::Report(sim::verifier::Rule::BlockingAtDispatch,
                              "%s called at IRQL %u; it runs at PASSIVE_LEVEL only", routine, irql);
        return false;
    }
    return true;
}

}  // namespace sim::rtl
