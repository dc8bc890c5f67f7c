// Observers of memory going away (see ke.h): a registry that CheckNoDeferredWorkIn
// consults for every pool block freed and every device object deleted. Any thread, any
// IRQL up to DISPATCH_LEVEL; the observers run outside the registry's lock, so one may
// free memory itself without deadlocking.
#include "sim/ke/ke.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace sim::ke {
namespace {

struct Registry {
    std::mutex lock;
    int next = 1;
    std::vector<std::pair<int, std::shared_ptr<ReleaseObserver>>> observers;
};

// Never destroyed: memory may be freed by a platform thread while the process exits.
Registry &R()
{
    static Registry *registry = new Registry;
    return *registry;
}

}  // namespace

int AddReleaseObserver(ReleaseObserver observer)
{
    std::lock_guard<std::mutex> guard(R().lock);
    const int id = R().next++;
    R().observers.emplace_back(id, std::make_shared<ReleaseObserver>(std::move(observer)));
    return id;
}

void RemoveReleaseObserver(int id)
{
    std::lock_guard<std::mutex> guard(R().lock);
    auto &list = R().observers;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->first == id) {
            list.erase(it);
            return;
        }
    }
}

void NotifyRelease(const void *begin, size_t length, const char *owner)
{
    std::vector<std::shared_ptr<ReleaseObserver>> observers;
    {
        std::lock_guard<std::mutex> guard(R().lock);
        for (const auto &entry : R().observers) {
            observers.push_back(entry.second);
        }
    }
    for (const auto &observer : observers) {
        (*observer)(begin, length, owner);
    }
}

}  // namespace sim::ke
