// Reading and checking a PE32+ driver file (see pe.h). Every read is bounded by the
// file or by the image it describes: a malformed file is refused, never read past.
#include "sim/io/pe.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <fstream>
#include <iterator>
#include <memory>

namespace sim::io::pe {

namespace {

// Offsets in the headers (PE Format: "MS-DOS Stub", "COFF File Header",
// "Optional Header Image Only", "Section Table").
constexpr size_t kDosLfanew = 0x3c;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kOptMagic = 0, kOptEntry = 16, kOptImageBase = 24, kOptSectionAlignment = 32,
                 kOptFileAlignment = 36, kOptSizeOfImage = 56, kOptSizeOfHeaders = 60,
                 kOptChecksum = 64, kOptSubsystem = 68, kOptDllCharacteristics = 70,
                 kOptNumberOfRvaAndSizes = 108, kOptDataDirectories = 112;
constexpr size_t kSectionHeaderSize = 40;
constexpr int kDirImport = 1, kDirBaseReloc = 5, kDirTls = 9;
constexpr uint32_t kPage = 0x1000;

std::string Hex(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Bytes with bounded little-endian reads.
class Bytes {
public:
    Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Has(size_t offset, size_t length) const
    {
        return offset <= size_ && length <= size_ - offset;
    }
    template <typename T>
    T At(size_t offset) const
    {
        T value{};
        std::memcpy(&value, data_ + offset, sizeof(T));
        return value;
    }
    // A NUL-terminated string at `offset`, at most `max` bytes; false when it runs out.
    bool String(size_t offset, size_t max, std::string *out) const
    {
        if (offset >= size_) {
            return false;
        }
        const size_t limit = std::min(max, size_ - offset);
        const void *end = std::memchr(data_ + offset, 0, limit);
        if (end == nullptr) {
            return false;
        }
        out->assign(reinterpret_cast<const char *>(data_ + offset),
                    static_cast<const uint8_t *>(end) - (data_ + offset));
        return true;
    }

private:
    const uint8_t *data_;
    size_t size_;
};

bool PowerOfTwo(uint32_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

uint32_t AlignUp(uint32_t v, uint32_t alignment)
{
    return (v + alignment - 1) & ~(alignment - 1);
}

std::string Demangle(const std::string &name)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> text(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
    if (status != 0 || !text) {
        return name;
    }
    // "DispatchRead(_DEVICE_OBJECT*, _IRP*)" -> "DispatchRead": the routine is enough.
    std::string out = text.get();
    if (size_t paren = out.find('('); paren != std::string::npos) {
        out.resize(paren);
    }
    return out;
}

// The image as the loader lays it out (each section's raw data at its RVA), for the
// directories, whose addresses are RVAs.
std::vector<uint8_t> Layout(const Image &image)
{
    std::vector<uint8_t> out(image.sizeOfImage, 0);
    std::memcpy(out.data(), image.file.data(), std::min<size_t>(image.sizeOfHeaders, image.file.size()));
    for (const Section &s : image.sections) {
        const uint32_t n = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
        std::memcpy(out.data() + s.rva, image.file.data() + s.rawOffset, n);
    }
    return out;
}

bool ReadImports(const Bytes &mapped, uint32_t rva, uint32_t size, std::vector<Import> *imports,
                 std::string *error)
{
    if (rva == 0 && size == 0) {
        return true;
    }
    for (uint32_t at = rva;; at += 20) {
        if (!mapped.Has(at, 20)) {
            *error = "the import directory runs past the end of the image";
            return false;
        }
        const uint32_t lookup = mapped.At<uint32_t>(at);
        const uint32_t nameRva = mapped.At<uint32_t>(at + 12);
        const uint32_t slots = mapped.At<uint32_t>(at + 16);
        if (lookup == 0 && nameRva == 0 && slots == 0) {
            return true;
        }
        std::string dll;
        if (!mapped.String(nameRva, 256, &dll)) {
            *error = "an import descriptor's DLL name at RVA " + Hex(nameRva) + " lies outside the image";
            return false;
        }
        // Without a lookup table the address table itself holds the names.
        const uint32_t names = lookup != 0 ? lookup : slots;
        for (uint32_t k = 0;; k++) {
            const uint32_t entry = names + 8 * k;
            if (!mapped.Has(entry, 8) || !mapped.Has(slots + 8 * k, 8)) {
                *error = "the import table of " + dll + " runs past the end of the image";
                return false;
            }
            const uint64_t thunk = mapped.At<uint64_t>(entry);
            if (thunk == 0) {
                break;
            }
            Import import;
            import.dll = dll;
            import.slotRva = slots + 8 * k;
            if (thunk & (1ull << 63)) {
                import.ordinal = static_cast<uint32_t>(thunk & 0xffff);
            } else if (thunk >> 31 != 0 ||
                       !mapped.String(static_cast<uint32_t>(thunk) + 2, 512, &import.routine)) {
                *error = "an import of " + dll + " names a routine outside the image";
                return false;
            }
            imports->push_back(import);
        }
    }
}

bool ReadRelocations(const Bytes &mapped, uint32_t sizeOfImage, uint32_t rva, uint32_t size,
                     Image *image, std::string *error)
{
    if (!mapped.Has(rva, size)) {
        *error = "the base relocation directory lies outside the image";
        return false;
    }
    uint32_t at = rva;
    while (at < rva + size) {
        if (!mapped.Has(at, 8)) {
            *error = "a base relocation block runs past the directory";
            return false;
        }
        const uint32_t page = mapped.At<uint32_t>(at);
        const uint32_t blockSize = mapped.At<uint32_t>(at + 4);
        if (blockSize < 8 || blockSize % 2 != 0 || at + blockSize > rva + size) {
            *error = "the base relocation block at RVA " + Hex(at) + " has size " + Hex(blockSize);
            return false;
        }
        for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            const uint16_t entry = mapped.At<uint16_t>(e);
            const int type = entry >> 12;
            const uint32_t target = page + (entry & 0xfff);
            if (type == kRelocAbsolute) {
                image->paddingRelocations++;
                continue;
            }
            if (type != kRelocDir64) {
                *error = "base relocation type " + std::to_string(type) + " at RVA " + Hex(target) +
                         " is not one an x64 image uses (only ABSOLUTE and DIR64)";
                return false;
            }
            if (target > sizeOfImage || sizeOfImage - target < 8) {
                *error = "a DIR64 base relocation at RVA " + Hex(target) + " lies outside the image";
                return false;
            }
            image->relocations.push_back({target, type});
        }
        at += blockSize;
    }
    return true;
}

void ReadSymbols(const Bytes &file, uint32_t table, uint32_t count, Image *image)
{
    if (table == 0 || count == 0 || !file.Has(table, static_cast<size_t>(count) * 18)) {
        return;
    }
    const size_t strings = table + static_cast<size_t>(count) * 18;
    for (uint32_t i = 0; i < count; i++) {
        const size_t at = table + static_cast<size_t>(i) * 18;
        const int16_t section = file.At<int16_t>(at + 12);
        const uint16_t type = file.At<uint16_t>(at + 14);
        const uint8_t storage = file.At<uint8_t>(at + 16);
        const uint8_t aux = file.At<uint8_t>(at + 17);
        // Functions (complex type 2 in the high byte's low nibble: 0x20), external or static.
        if ((type & 0xf0) == 0x20 && (storage == 2 || storage == 3) && section >= 1 &&
            static_cast<size_t>(section) <= image->sections.size()) {
            std::string name;
            if (file.At<uint32_t>(at) == 0) {
                file.String(strings + file.At<uint32_t>(at + 4), 4096, &name);
            } else {
                char shortName[9] = {};
                std::memcpy(shortName, &image->file[at], 8);
                name = shortName;
            }
            if (!name.empty()) {
                const uint32_t rva = image->sections[section - 1].rva + file.At<uint32_t>(at + 8);
                image->symbols.push_back({rva, Demangle(name)});
            }
        }
        i += aux;
    }
    std::sort(image->symbols.begin(), image->symbols.end(),
              [](const Symbol &a, const Symbol &b) { return a.rva < b.rva; });
}

}  // namespace

std::string Section::Protection() const
{
    std::string p = "---";
    if (characteristics & kScnRead) {
        p[0] = 'r';
    }
    if (characteristics & kScnWrite) {
        p[1] = 'w';
    }
    if (characteristics & kScnExecute) {
        p[2] = 'x';
    }
    return p;
}

const Section *Image::SectionAt(uint32_t rva) const
{
    for (const Section &s : sections) {
        if (rva >= s.rva && rva - s.rva < std::max(s.virtualSize, s.rawSize)) {
            return &s;
        }
    }
    return nullptr;
}

const Symbol *Image::SymbolAt(uint32_t rva) const
{
    auto after = std::upper_bound(symbols.begin(), symbols.end(), rva,
                                  [](uint32_t value, const Symbol &s) { return value < s.rva; });
    if (after == symbols.begin()) {
        return nullptr;
    }
    const Symbol &s = *std::prev(after);
    const Section *holder = SectionAt(rva);
    if (holder == nullptr || holder != SectionAt(s.rva)) {
        return nullptr;
    }
    return &s;
}

std::string Image::SymbolFor(uint32_t rva) const
{
    const Symbol *s = SymbolAt(rva);
    if (s == nullptr) {
        return "";
    }
    return rva == s->rva ? s->name : s->name + "+" + Hex(rva - s->rva);
}

uint32_t Image::SymbolRva(const std::string &name) const
{
    for (const Symbol &s : symbols) {
        if (s.name == name) {
            return s.rva;
        }
    }
    return 0;
}

uint32_t ComputeChecksum(const std::vector<uint8_t> &file, size_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2) {
            continue;
        }
        uint16_t word = file[i];
        if (i + 1 < file.size()) {
            word |= static_cast<uint16_t>(file[i + 1]) << 8;
        }
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

bool Parse(const std::string &path, Image *image, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    return ParseBytes(path, std::move(bytes), image, error);
}

bool ParseBytes(const std::string &path, std::vector<uint8_t> bytes, Image *image, std::string *error)
{
    *image = Image{};
    image->path = path;
    image->file = std::move(bytes);
    const Bytes file(image->file.data(), image->file.size());
    auto refuse = [&](const std::string &why) {
        *error = why;
        return false;
    };

    if (!file.Has(0, 0x40) || file.At<uint16_t>(0) != 0x5a4d) {
        return refuse("not a PE image: no MZ signature");
    }
    const uint32_t nt = file.At<uint32_t>(kDosLfanew);
    if (!file.Has(nt, 4 + kFileHeaderSize) || file.At<uint32_t>(nt) != 0x00004550) {
        return refuse("not a PE image: no PE signature at e_lfanew " + Hex(nt));
    }
    const size_t fh = nt + 4;
    const uint16_t machine = file.At<uint16_t>(fh);
    if (machine != kMachineAmd64) {
        return refuse("machine " + Hex(machine) + " is not AMD64 (0x8664)");
    }
    const uint16_t sectionCount = file.At<uint16_t>(fh + 2);
    const uint32_t symbolTable = file.At<uint32_t>(fh + 8);
    const uint32_t symbolCount = file.At<uint32_t>(fh + 12);
    const uint16_t optSize = file.At<uint16_t>(fh + 16);
    image->characteristics = file.At<uint16_t>(fh + 18);
    const size_t opt = fh + kFileHeaderSize;
    if (optSize < kOptDataDirectories || !file.Has(opt, optSize)) {
        return refuse("the optional header (" + std::to_string(optSize) + " bytes) is cut short");
    }
    const uint16_t magic = file.At<uint16_t>(opt + kOptMagic);
    if (magic != kMagicPe32Plus) {
        return refuse("optional header magic " + Hex(magic) + " is not PE32+ (0x20b)");
    }
    image->entryRva = file.At<uint32_t>(opt + kOptEntry);
    image->imageBase = file.At<uint64_t>(opt + kOptImageBase);
    image->sectionAlignment = file.At<uint32_t>(opt + kOptSectionAlignment);
    image->fileAlignment = file.At<uint32_t>(opt + kOptFileAlignment);
    image->sizeOfImage = file.At<uint32_t>(opt + kOptSizeOfImage);
    image->sizeOfHeaders = file.At<uint32_t>(opt + kOptSizeOfHeaders);
    image->checksum = file.At<uint32_t>(opt + kOptChecksum);
    image->subsystem = file.At<uint16_t>(opt + kOptSubsystem);
    image->dllCharacteristics = file.At<uint16_t>(opt + kOptDllCharacteristics);
    const uint32_t directories = file.At<uint32_t>(opt + kOptNumberOfRvaAndSizes);

    if (image->subsystem != kSubsystemNative) {
        return refuse("subsystem " + std::to_string(image->subsystem) +
                      " is not native (1): the image is not a kernel-mode driver");
    }
    if (!PowerOfTwo(image->fileAlignment) || image->fileAlignment < 0x200 || image->fileAlignment > 0x10000) {
        return refuse("file alignment " + Hex(image->fileAlignment) +
                      " is not a power of two from 0x200 to 0x10000");
    }
    if (!PowerOfTwo(image->sectionAlignment) || image->sectionAlignment < kPage) {
        return refuse("section alignment " + Hex(image->sectionAlignment) +
                      " is not a power of two of at least the page size (0x1000), so the sections "
                      "cannot be mapped each with its own protection");
    }
    if (image->imageBase % 0x10000 != 0) {
        return refuse("image base " + Hex(image->imageBase) + " is not a multiple of 64 KB");
    }
    if (image->sizeOfHeaders == 0 || image->sizeOfHeaders > image->file.size() ||
        image->sizeOfHeaders % image->fileAlignment != 0) {
        return refuse("SizeOfHeaders " + Hex(image->sizeOfHeaders) +
                      " is not a multiple of the file alignment inside the file");
    }
    const size_t checksumOffset = opt + kOptChecksum;
    const uint32_t computed = ComputeChecksum(image->file, checksumOffset);
    if (image->checksum != computed) {
        return refuse("the PE checksum in the header is " + Hex(image->checksum) + ", the file's is " +
                      Hex(computed));
    }

    // Sections: in RVA order, aligned, inside the image and the file, never overlapping.
    const size_t table = opt + optSize;
    if (sectionCount == 0 || sectionCount > 96 ||
        !file.Has(table, static_cast<size_t>(sectionCount) * kSectionHeaderSize)) {
        return refuse("the section table (" + std::to_string(sectionCount) + " sections) is malformed");
    }
    if (table + sectionCount * kSectionHeaderSize > image->sizeOfHeaders) {
        return refuse("the section table runs past SizeOfHeaders");
    }
    uint32_t end = AlignUp(image->sizeOfHeaders, image->sectionAlignment);
    for (uint16_t i = 0; i < sectionCount; i++) {
        const size_t at = table + static_cast<size_t>(i) * kSectionHeaderSize;
        Section s;
        char name[9] = {};
        std::memcpy(name, &image->file[at], 8);
        s.name = name;
        s.virtualSize = file.At<uint32_t>(at + 8);
        s.rva = file.At<uint32_t>(at + 12);
        s.rawSize = file.At<uint32_t>(at + 16);
        s.rawOffset = file.At<uint32_t>(at + 20);
        s.characteristics = file.At<uint32_t>(at + 36);
        const uint32_t span = std::max(s.virtualSize, s.rawSize);
        if (s.rva % image->sectionAlignment != 0 || s.rva < end) {
            return refuse("section " + s.name + " at RVA " + Hex(s.rva) +
                          " is not aligned to the section alignment after the previous one");
        }
        if (s.rawSize != 0 && (s.rawOffset % image->fileAlignment != 0 || !file.Has(s.rawOffset, s.rawSize))) {
            return refuse("section " + s.name + "'s raw data (" + Hex(s.rawSize) + " bytes at " +
                          Hex(s.rawOffset) + ") lies outside the file");
        }
        if (s.Executable() && s.Writable()) {
            return refuse("section " + s.name +
                          " is both writable and executable, which a kernel image may not be");
        }
        end = AlignUp(s.rva + span, image->sectionAlignment);
        image->sections.push_back(s);
    }
    if (image->sizeOfImage != end) {
        return refuse("SizeOfImage " + Hex(image->sizeOfImage) + " does not match the end of the last section (" +
                      Hex(end) + ")");
    }
    const Section *entry = image->SectionAt(image->entryRva);
    if (image->entryRva == 0 || entry == nullptr) {
        return refuse("the entry point RVA " + Hex(image->entryRva) + " lies outside every section");
    }
    if (!entry->Executable()) {
        return refuse("the entry point RVA " + Hex(image->entryRva) + " lies in " + entry->name +
                      ", which is not executable");
    }

    auto directory = [&](int index, uint32_t *rva, uint32_t *size) {
        *rva = *size = 0;
        if (static_cast<uint32_t>(index) < directories &&
            kOptDataDirectories + 8 * static_cast<size_t>(index) + 8 <= optSize) {
            *rva = file.At<uint32_t>(opt + kOptDataDirectories + 8 * index);
            *size = file.At<uint32_t>(opt + kOptDataDirectories + 8 * index + 4);
        }
    };
    const std::vector<uint8_t> laidOut = Layout(*image);
    const Bytes mapped(laidOut.data(), laidOut.size());
    uint32_t rva, size;
    directory(kDirTls, &rva, &size);
    if (rva != 0 || size != 0) {
        return refuse("the image has a TLS directory: a driver cannot use thread-local storage");
    }
    // IMAGE_FILE_RELOCS_STRIPPED says the image can run only at its preferred base
    // ("PE Format", Characteristics); an image without the flag and without a
    // relocation directory has no absolute address to fix and loads anywhere.
    directory(kDirBaseReloc, &rva, &size);
    if (image->characteristics & kFileRelocsStripped) {
        return refuse("the image has no base relocations (relocations stripped): it can only run at its "
                      "preferred base " + Hex(image->imageBase) + ", and a driver is loaded wherever there is room");
    }
    if ((rva != 0 || size != 0) && !ReadRelocations(mapped, image->sizeOfImage, rva, size, image, error)) {
        return false;
    }
    directory(kDirImport, &rva, &size);
    if (!ReadImports(mapped, rva, size, &image->imports, error)) {
        return false;
    }
    for (const Import &import : image->imports) {
        if (import.routine.empty()) {
            return refuse(import.dll + "!#" + std::to_string(import.ordinal) +
                          ": imported by ordinal (the kernel binds driver imports by name)");
        }
    }
    ReadSymbols(file, symbolTable, symbolCount, image);
    return true;
}

}  // namespace sim::io::pe
