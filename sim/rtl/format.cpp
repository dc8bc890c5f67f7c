// The formatting engine of the kernel's C runtime as the host models it, and the
// kernel's swprintf on top of it. Pure functions: callable from any thread at any IRQL.
// Numbers are formatted by the host's snprintf once the Windows argument sizes have
// been read, so that flags, width and precision behave exactly as the C standard
// says; strings, characters and pointers are laid out here.
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

#include <cstdio>
#include <string>

namespace sim::rtl {

namespace {

enum class Flavor { Narrow, Wide };

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    std::string size;  // "", "hh", "h", "l", "ll", "w", "I", "I32", "I64", "z"
    char conversion = 0;
};

template <typename Ch>
void AppendNarrow(std::basic_string<Ch> &out, std::string_view text)
{
    if constexpr (sizeof(Ch) == 1) {
        out.append(text.begin(), text.end());
    } else {
        out += Widen(text);
    }
}

template <typename Ch>
void AppendWide(std::basic_string<Ch> &out, std::u16string_view text)
{
    if constexpr (sizeof(Ch) == 1) {
        out += Narrow(text);
    } else {
        out.append(text.begin(), text.end());
    }
}

// Appends `field` (already in the output's character type) padded to the conversion's width.
template <typename Ch>
void AppendPadded(std::basic_string<Ch> &out, const std::basic_string<Ch> &field, const Spec &spec)
{
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    bool left = spec.flags.find('-') != std::string::npos;
    if (!left && field.size() < width) {
        out.append(width - field.size(), static_cast<Ch>(' '));
    }
    out += field;
    if (left && field.size() < width) {
        out.append(width - field.size(), static_cast<Ch>(' '));
    }
}

bool IsWideSize(const std::string &size)
{
    return size == "l" || size == "w";
}

// Whether a %s/%c (lower case) or %S/%C (upper case) argument is wide, given the
// size prefix and the family it is formatted by.
bool ArgumentIsWide(const Spec &spec, Flavor flavor)
{
    if (IsWideSize(spec.size)) {
        return true;
    }
    if (spec.size == "h") {
        return false;
    }
    bool upper = spec.conversion == 'S' || spec.conversion == 'C';
    return (flavor == Flavor::Wide) != upper;
}

template <typename Ch>
std::basic_string<Ch> Format(const Ch *format, MsVaList args, Flavor flavor, bool *usedWide)
{
    std::basic_string<Ch> out;
    if (format == nullptr) {
        return out;
    }
    // The Microsoft list is a plain pointer into the 8-byte argument slots, so a copy is
    // an assignment (GCC 12's __builtin_ms_va_copy miscompiles without optimisation).
    MsVaList ap = args;
    const Ch *p = format;
    while (*p != 0) {
        if (*p != static_cast<Ch>('%')) {
            out.push_back(*p++);
            continue;
        }
        const Ch *start = p++;
        Spec spec;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            spec.flags.push_back(static_cast<char>(*p++));
        }
        if (*p == '*') {
            spec.width = __builtin_va_arg(ap, int);
            if (spec.width < 0) {
                spec.flags.push_back('-');
                spec.width = -spec.width;
            }
            p++;
        } else {
            while (*p >= '0' && *p <= '9') {
                spec.width = (spec.width < 0 ? 0 : spec.width * 10) + (*p++ - '0');
            }
        }
        if (*p == '.') {
            p++;
            spec.precision = 0;
            if (*p == '*') {
                spec.precision = __builtin_va_arg(ap, int);
                p++;
            } else {
                while (*p >= '0' && *p <= '9') {
                    spec.precision = spec.precision * 10 + (*p++ - '0');
                }
            }
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            spec.size = "I64";
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            spec.size = "I32";
            p += 3;
        } else if (p[0] == 'h' && p[1] == 'h') {
            spec.size = "hh";
            p += 2;
        } else if (p[0] == 'l' && p[1] == 'l') {
            spec.size = "ll";
            p += 2;
        } else if (*p == 'h' || *p == 'l' || *p == 'w' || *p == 'I' || *p == 'z') {
            spec.size = std::string(1, static_cast<char>(*p++));
        }
        spec.conversion = static_cast<char>(*p);
        if (*p != 0) {
            p++;
        }

        switch (spec.conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            bool is64 = spec.size == "ll" || spec.size == "I64" || spec.size == "I" || spec.size == "z";
            bool isSigned = spec.conversion == 'd' || spec.conversion == 'i';
            std::string f = "%" + spec.flags;
            if (spec.width >= 0) {
                f += std::to_string(spec.width);
            }
            if (spec.precision >= 0) {
                f += "." + std::to_string(spec.precision);
            }
            f += "ll";
            f.push_back(spec.conversion);
            char digits[128];
            if (isSigned) {
                long long v = is64 ? __builtin_va_arg(ap, long long) : __builtin_va_arg(ap, int);
                if (spec.size == "h") {
                    v = static_cast<short>(v);
                } else if (spec.size == "hh") {
                    v = static_cast<signed char>(v);
                }
                snprintf(digits, sizeof digits, f.c_str(), v);
            } else {
                unsigned long long v = is64 ? __builtin_va_arg(ap, unsigned long long) : __builtin_va_arg(ap, unsigned int);
                if (spec.size == "h") {
                    v = static_cast<unsigned short>(v);
                } else if (spec.size == "hh") {
                    v = static_cast<unsigned char>(v);
                }
                snprintf(digits, sizeof digits, f.c_str(), v);
            }
            AppendNarrow(out, digits);
            break;
        }
        case 'p': {
            // Windows prints a pointer as all 16 hex digits, upper case, no prefix.
            char digits[32];
            snprintf(digits, sizeof digits, "%016llX",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(__builtin_va_arg(ap, void *))));
            std::basic_string<Ch> field;
            AppendNarrow(field, digits);
            AppendPadded(out, field, spec);
            break;
        }
        case 'c':
        case 'C': {
            int c = __builtin_va_arg(ap, int);
            std::basic_string<Ch> field;
            if (ArgumentIsWide(spec, flavor)) {
                if (usedWide != nullptr) {
                    *usedWide = true;
                }
                char16_t w = static_cast<char16_t>(c);
                AppendWide(field, std::u16string_view(&w, 1));
            } else {
                char n = static_cast<char>(c);
                AppendNarrow(field, std::string_view(&n, 1));
            }
            AppendPadded(out, field, spec);
            break;
        }
        case 's':
        case 'S':
        case 'Z': {
            std::basic_string<Ch> field;
            size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : std::string::npos;
            bool wide = spec.conversion == 'Z' ? spec.size == "w" : ArgumentIsWide(spec, flavor);
            if (wide && usedWide != nullptr) {
                *usedWide = true;
            }
            const void *arg = __builtin_va_arg(ap, const void *);
            if (arg == nullptr) {
                AppendNarrow(field, std::string_view("(null)").substr(0, limit));
            } else if (spec.conversion == 'Z' && wide) {
                auto *u = static_cast<PCUNICODE_STRING>(arg);
                if (u->Buffer == nullptr) {
                    AppendNarrow(field, std::string_view("(null)").substr(0, limit));
                } else {
                    AppendWide(field, std::u16string_view(u->Buffer, u->Length / 2).substr(0, limit));
                }
            } else if (spec.conversion == 'Z') {
                auto *a = static_cast<const ANSI_STRING *>(arg);
                if (a->Buffer == nullptr) {
                    AppendNarrow(field, std::string_view("(null)").substr(0, limit));
                } else {
                    AppendNarrow(field, std::string_view(a->Buffer, a->Length).substr(0, limit));
                }
            } else if (wide) {
                AppendWide(field, std::u16string_view(static_cast<const char16_t *>(arg)).substr(0, limit));
            } else {
                AppendNarrow(field, std::string_view(static_cast<const char *>(arg)).substr(0, limit));
            }
            AppendPadded(out, field, spec);
            break;
        }
        case '%':
            out.push_back(static_cast<Ch>('%'));
            break;
        default:
            // Not a conversion this runtime knows (or the format ended inside one):
            // print the text as it stands rather than consume an argument.
            out.append(start, p);
            break;
        }
    }
    return out;
}

}  // namespace

std::string FormatNarrow(const char *format, MsVaList args, bool *usedWide)
{
    return Format<char>(format, args, Flavor::Narrow, usedWide);
}

std::u16string FormatWide(const char16_t *format, MsVaList args)
{
    return Format<char16_t>(format, args, Flavor::Wide, nullptr);
}

}  // namespace sim::rtl

// The kernel's swprintf: unbounded, like its C runtime ancestor, so the caller's
// buffer must hold the result and its NUL. The host cannot see the buffer's size;
// an overrun of a pool buffer shows up at its free through the guard bytes.
// Return: the number of characters written, not counting the NUL.
int swprintf(PWCHAR Buffer, PCWSTR Format, ...) noexcept
{
    sim::rtl::MsVaList args;
    __builtin_ms_va_start(args, Format);
    std::u16string text = sim::rtl::FormatWide(Format, args);
    __builtin_ms_va_end(args);
    if (Buffer == nullptr || Format == nullptr) {
        sim::verifier::Report(sim::verifier::Rule::InvalidParameter, "swprintf: NULL %s",
                              Buffer == nullptr ? "buffer" : "format");
        return -1;
    }
    memcpy(Buffer, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    return static_cast<int>(text.size());
}
