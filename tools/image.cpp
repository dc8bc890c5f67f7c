// varnoobex image PATH: a driver image checked as the kernel's loader checks it, and
// shown as the loader sees it (sections, imports, relocations). Nothing of it runs.
#include "tools/commands.h"

#include "sim/io/loader.h"
#include "sim/io/pe.h"

#include <cstdio>
#include <map>

namespace tool {

int RunImage(const Options &options)
{
    const std::string &path = options.arguments.at(0);
    sim::io::pe::Image image;
    std::string why;
    if (!sim::io::pe::Parse(path, &image, &why)) {
        std::fprintf(stderr, "varnoobex: image: %s: %s\n", path.c_str(), why.c_str());
        return kExitInput;
    }
    std::printf("%s: PE32+ AMD64 kernel-mode driver (native subsystem)\n", path.c_str());
    std::printf("  image size 0x%x, preferred base 0x%llx, checksum 0x%08x (matches the file)\n",
                image.sizeOfImage, static_cast<unsigned long long>(image.imageBase), image.checksum);
    const std::string entry = image.SymbolFor(image.entryRva);
    std::printf("  entry point RVA 0x%x%s%s%s in %s\n", image.entryRva, entry.empty() ? "" : " (",
                entry.c_str(), entry.empty() ? "" : ")", image.SectionAt(image.entryRva)->name.c_str());

    std::printf("\nsections:\n  %-8s %-10s %-10s %-10s %s\n", "name", "RVA", "size", "file size", "mapped");
    for (const auto &s : image.sections) {
        std::printf("  %-8s 0x%-8x 0x%-8x 0x%-8x %s\n", s.name.c_str(), s.rva, s.virtualSize, s.rawSize,
                    s.Protection().c_str());
    }

    std::map<std::string, std::vector<const sim::io::pe::Import *>> byModule;
    for (const auto &import : image.imports) {
        byModule[import.dll].push_back(&import);
    }
    size_t missing = 0;
    std::printf("\nimports: %zu routines from %zu modules\n", image.imports.size(), byModule.size());
    for (const auto &[module, imports] : byModule) {
        std::printf("  %s\n", module.c_str());
        for (const auto *import : imports) {
            bool knownModule = false;
            const bool provided = sim::io::FindKernelRoutine(module, import->routine, &knownModule) != nullptr;
            missing += provided ? 0 : 1;
            std::printf("    %-40s %s\n", import->routine.c_str(),
                        provided ? "" : knownModule ? "NOT PROVIDED by the platform" : "NOT A KERNEL MODULE");
        }
    }
    std::printf("\nbase relocations: %zu DIR64 (and %zu ABSOLUTE padding entries)\n", image.relocations.size(),
                image.paddingRelocations);
    std::printf("symbols: %zu routines named in the COFF symbol table\n", image.symbols.size());
    if (missing != 0) {
        std::printf("\nthe platform would refuse this image: %zu import(s) it does not provide\n", missing);
        return kExitFailed;
    }
    std::printf("\nthe platform can load this image: every import is provided\n");
    return kExitOk;
}

}  // namespace tool
