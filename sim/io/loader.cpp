// Loading a driver file (see loader.h): mapping, base relocations, import binding,
// section protections, the entry point, and naming addresses inside mapped images.
//
// The registry of mapped images is a fixed array read without a lock, so that the
// bug check handler (a signal handler) and the verifier can name an address at any
// moment; a slot is published only once its image is fully mapped, and withdrawn
// before the image is unmapped.
#include "sim/io/loader.h"

#include "sim/io/internal.h"
#include "sim/ke/ke.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace sim::io {

struct LoadedImage {
    pe::Image pe;
    std::string name;          // the file's name, as a debugger names the module
    uint8_t *base = nullptr;   // the mapping; SizeOfImage bytes
    size_t size = 0;
    int slot = -1;

    ~LoadedImage();
};

namespace {

constexpr int kSlots = 64;

struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<const LoadedImage *> image{nullptr};
};
Slot g_slots[kSlots];
std::atomic<int> g_mapped{0};

void Publish(LoadedImage *image)
{
    for (int i = 0; i < kSlots; i++) {
        const LoadedImage *expected = nullptr;
        if (g_slots[i].image.compare_exchange_strong(expected, image)) {
            g_slots[i].begin.store(reinterpret_cast<uintptr_t>(image->base));
            g_slots[i].end.store(reinterpret_cast<uintptr_t>(image->base) + image->size);
            image->slot = i;
            g_mapped.fetch_add(1);
            return;
        }
    }
    // Sixty-four images at once: later ones are only not named in reports.
}

void Withdraw(LoadedImage *image)
{
    if (image->slot >= 0) {
        Slot &slot = g_slots[image->slot];
        slot.begin.store(0);
        slot.end.store(0);
        slot.image.store(nullptr);
        g_mapped.fetch_sub(1);
        image->slot = -1;
    }
}

const LoadedImage *ImageAt(uintptr_t address)
{
    if (g_mapped.load(std::memory_order_relaxed) == 0) {
        return nullptr;
    }
    for (Slot &slot : g_slots) {
        const uintptr_t begin = slot.begin.load();
        if (begin != 0 && address >= begin && address < slot.end.load()) {
            return slot.image.load();
        }
    }
    return nullptr;
}

std::string BaseName(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Protection(const pe::Section &s)
{
    int prot = PROT_NONE;
    if (s.characteristics & pe::kScnRead) {
        prot |= PROT_READ;
    }
    if (s.characteristics & pe::kScnWrite) {
        prot |= PROT_WRITE;
    }
    if (s.characteristics & pe::kScnExecute) {
        prot |= PROT_EXEC | PROT_READ;
    }
    return prot;
}

// Maps a checked image: sections at their RVAs in a fresh mapping, relocated to it,
// imports bound, each section protected as its characteristics say.
NTSTATUS Map(pe::Image &&checked, std::unique_ptr<LoadedImage> *out, std::string *error)
{
    auto image = std::make_unique<LoadedImage>();
    image->pe = std::move(checked);
    const pe::Image &pe = image->pe;
    image->name = BaseName(pe.path);
    void *base = mmap(nullptr, pe.sizeOfImage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        *error = "cannot map " + std::to_string(pe.sizeOfImage) + " bytes for " + image->name + ": " +
                 std::strerror(errno);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    image->base = static_cast<uint8_t *>(base);
    image->size = pe.sizeOfImage;
    std::memcpy(image->base, pe.file.data(), pe.sizeOfHeaders);
    for (const pe::Section &s : pe.sections) {
        const uint32_t n = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
        std::memcpy(image->base + s.rva, pe.file.data() + s.rawOffset, n);
    }

    const uint64_t delta = reinterpret_cast<uint64_t>(image->base) - pe.imageBase;
    for (const pe::Relocation &r : pe.relocations) {
        uint64_t value;
        std::memcpy(&value, image->base + r.rva, sizeof value);
        value += delta;
        std::memcpy(image->base + r.rva, &value, sizeof value);
    }

    for (const pe::Import &import : pe.imports) {
        bool knownModule = false;
        const void *routine = FindKernelRoutine(import.dll, import.routine, &knownModule);
        if (!knownModule) {
            *error = import.dll + "!" + import.routine + ": " + import.dll +
                     " is not a kernel module the platform provides (ntoskrnl.exe, HAL.dll, USBD.SYS)";
            return STATUS_DLL_NOT_FOUND;
        }
        if (routine == nullptr) {
            *error = import.dll + "!" + import.routine + ": the platform does not provide this routine";
            return STATUS_DRIVER_ENTRYPOINT_NOT_FOUND;
        }
        const uint64_t address = reinterpret_cast<uint64_t>(routine);
        std::memcpy(image->base + import.slotRva, &address, sizeof address);
    }

    // Headers read-only; each section as it asks; the gaps between them inaccessible.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    mprotect(image->base, pe.sizeOfImage, PROT_NONE);
    mprotect(image->base, (pe.sizeOfHeaders + page - 1) / page * page, PROT_READ);
    for (const pe::Section &s : pe.sections) {
        const size_t span = std::max(s.virtualSize, s.rawSize);
        const size_t length = (span + page - 1) / page * page;
        if (length != 0 && mprotect(image->base + s.rva, length, Protection(s)) != 0) {
            *error = "cannot protect section " + s.name + ": " + std::strerror(errno);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    Publish(image.get());
    *out = std::move(image);
    return STATUS_SUCCESS;
}

// This thread's stack, for the frame walk's bounds.
void StackBounds(uintptr_t *low, uintptr_t *high)
{
    thread_local uintptr_t lo = 0, hi = 0;
    if (hi == 0) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void *stack = nullptr;
            size_t size = 0;
            pthread_attr_getstack(&attr, &stack, &size);
            pthread_attr_destroy(&attr);
            lo = reinterpret_cast<uintptr_t>(stack);
            hi = lo + size;
        }
    }
    *low = lo;
    *high = hi;
}

}  // namespace

LoadedImage::~LoadedImage()
{
    Withdraw(this);
    if (base != nullptr) {
        munmap(base, size);
    }
}

bool DescribeImageAddress(uintptr_t address, char *out, size_t size)
{
    const LoadedImage *image = ImageAt(address);
    if (image == nullptr || size == 0) {
        return false;
    }
    const uint32_t rva = static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(image->base));
    // Only reads, with no lock and no allocation: a signal handler may be the caller.
    const pe::Symbol *routine = image->pe.SymbolAt(rva);
    if (routine == nullptr) {
        std::snprintf(out, size, "%s+0x%x", image->name.c_str(), rva);
    } else if (routine->rva == rva) {
        std::snprintf(out, size, "%s+0x%x (%s)", image->name.c_str(), rva, routine->name.c_str());
    } else {
        std::snprintf(out, size, "%s+0x%x (%s+0x%x)", image->name.c_str(), rva, routine->name.c_str(),
                      rva - routine->rva);
    }
    return true;
}

std::string DescribeImageAddress(uintptr_t address)
{
    char text[512];
    return DescribeImageAddress(address, text, sizeof text) ? std::string(text) : std::string();
}

std::string ImageCaller()
{
    if (g_mapped.load(std::memory_order_relaxed) == 0) {
        return "";
    }
    uintptr_t low, high;
    StackBounds(&low, &high);
    // Every frame on the way has a frame pointer: the platform is built with them and
    // so is the driver image. A frame that leaves the stack or does not move up ends
    // the walk.
    auto *frame = static_cast<uintptr_t *>(__builtin_frame_address(0));
    for (int depth = 0; depth < 64; depth++) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(frame);
        if (at < low || at + 2 * sizeof(uintptr_t) > high) {
            break;
        }
        const uintptr_t returnAddress = frame[1];
        if (ImageAt(returnAddress) != nullptr) {
            return DescribeImageAddress(returnAddress);
        }
        auto *next = reinterpret_cast<uintptr_t *>(frame[0]);
        if (next <= frame) {
            break;
        }
        frame = next;
    }
    return "";
}

NTSTATUS LoadDriverImage(const std::string &path, const std::u16string &serviceName, PDRIVER_OBJECT *out,
                         std::string *error)
{
    *out = nullptr;
    std::string reason;
    pe::Image checked;
    NTSTATUS status = STATUS_SUCCESS;
    if (!pe::Parse(path, &checked, &reason)) {
        status = checked.file.empty() ? STATUS_OBJECT_NAME_NOT_FOUND
                 : reason.rfind("the PE checksum", 0) == 0 ? STATUS_IMAGE_CHECKSUM_MISMATCH
                                                          : STATUS_INVALID_IMAGE_FORMAT;
    }
    std::unique_ptr<LoadedImage> image;
    if (NT_SUCCESS(status)) {
        status = Map(std::move(checked), &image, &reason);
    }
    if (!NT_SUCCESS(status)) {
        if (error != nullptr) {
            *error = BaseName(path) + ": " + reason;
        }
        return status;
    }
    // From here a fault in the image's code is reported as a bug check.
    ke::EnableDriverFaultReports();
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image->base + image->pe.entryRva);
    std::shared_ptr<LoadedImage> shared(std::move(image));
    status = detail::LoadDriverBlock(entry, serviceName, out, shared);
    if (!NT_SUCCESS(status) && error != nullptr) {
        *error = BaseName(path) + ": DriverEntry failed";
    }
    return status;
}

bool IsImageDriver(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    auto it = detail::S().drivers.find(driver);
    return it != detail::S().drivers.end() && it->second->image != nullptr;
}

uintptr_t ImageSymbolAddress(PDRIVER_OBJECT driver, const std::string &name)
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    auto it = detail::S().drivers.find(driver);
    if (it == detail::S().drivers.end() || it->second->image == nullptr) {
        return 0;
    }
    const LoadedImage &image = *it->second->image;
    const uint32_t rva = image.pe.SymbolRva(name);
    return rva == 0 ? 0 : reinterpret_cast<uintptr_t>(image.base) + rva;
}

namespace detail {

void UnmapDriverImage(std::shared_ptr<LoadedImage> image)
{
    if (image == nullptr) {
        return;
    }
    // Nothing may run the image's code once it is gone: a timer, DPC or work item of
    // its routines still queued is the driver's fault, reported and dropped.
    ke::CheckNoDeferredWorkIn(image->base, image->size, "driver unload");
    image.reset();
}

void SetImageRange(PDRIVER_OBJECT driver, const LoadedImage &image)
{
    driver->DriverStart = image.base;
    driver->DriverSize = static_cast<ULONG>(image.size);
}

}  // namespace detail

}  // namespace sim::io
