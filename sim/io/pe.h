// The PE32+ image format as the kernel's loader reads a driver file: the headers it
// checks, the sections it maps, the base relocations it applies and the imports it
// binds, and the COFF symbol table a debugger would use to name an address. Written
// from the published PE format ("PE Format", learn.microsoft.com/windows/win32/debug/
// pe-format); no Windows header is used.
//
// Parse() reads and checks a file's bytes without running anything; the loader
// (loader.h) maps what it describes. Every refusal is one sentence naming what is
// wrong, as a load failure should.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::io::pe {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnUninitializedData = 0x00000080;
constexpr uint32_t kScnDiscardable = 0x02000000;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr int kRelocAbsolute = 0;
constexpr int kRelocDir64 = 10;

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
    bool Executable() const { return (characteristics & kScnExecute) != 0; }
    bool Writable() const { return (characteristics & kScnWrite) != 0; }
    // "r-x", "r--", "rw-" as the section is mapped.
    std::string Protection() const;
};

struct Import {
    std::string dll;       // as the image names it ("ntoskrnl.exe")
    std::string routine;   // empty when imported by ordinal
    uint32_t ordinal = 0;  // when imported by ordinal
    uint32_t slotRva = 0;  // the import address table slot the loader fills
};

struct Relocation {
    uint32_t rva = 0;
    int type = 0;
};

// A routine of the image's COFF symbol table (demangled where it is a C++ name).
struct Symbol {
    uint32_t rva = 0;
    std::string name;
};

struct Image {
    std::string path;
    std::vector<uint8_t> file;  // the file's bytes
    uint64_t imageBase = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint32_t entryRva = 0;
    uint32_t checksum = 0;
    uint16_t subsystem = 0;
    uint16_t characteristics = 0;
    uint16_t dllCharacteristics = 0;
    std::vector<Section> sections;
    std::vector<Import> imports;
    std::vector<Relocation> relocations;  // DIR64 entries (ABSOLUTE padding dropped)
    size_t paddingRelocations = 0;        // ABSOLUTE entries
    std::vector<Symbol> symbols;          // sorted by rva

    // The section that holds `rva`, or NULL.
    const Section *SectionAt(uint32_t rva) const;
    // The routine at or before `rva` in the same section, or NULL. Only reads (the bug
    // check handler calls it).
    const Symbol *SymbolAt(uint32_t rva) const;
    // "DispatchRead+0x34" for the routine at or before `rva`, or empty.
    std::string SymbolFor(uint32_t rva) const;
    // The RVA of the routine named `name` (demangled or raw); 0 when absent.
    uint32_t SymbolRva(const std::string &name) const;
};

// Reads `path` and checks it as the kernel's loader checks a driver: AMD64, PE32+,
// native subsystem, a checksum that matches the file, alignments and sizes that
// agree, sections inside the image and the file, no section both writable and
// executable, an entry point in an executable section, base relocations present and
// of the kinds x64 uses, imports by name only, and no thread-local storage. On
// success fills *image and returns true; otherwise *error says what is wrong.
bool Parse(const std::string &path, Image *image, std::string *error);
// The same checks on bytes already read (`path` names them in messages).
bool ParseBytes(const std::string &path, std::vector<uint8_t> bytes, Image *image, std::string *error);

// The PE checksum of a file: the 16-bit folded one's-complement sum of its 16-bit
// words with the header's CheckSum field taken as 0, plus the file's length.
uint32_t ComputeChecksum(const std::vector<uint8_t> &file, size_t checksumOffset);

}  // namespace sim::io::pe
