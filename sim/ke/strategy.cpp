// The strategies of scheduled runs and the plans that sequence them (see sched.h):
// random, PCT, the default order with explicit switches, and the bounded search that
// enumerates every schedule within a number of switches from the default order.
//
// Every choice depends only on the strategy's parameters and on what the run showed it
// (the enabled threads, by id in creation order), never on addresses or real time, so
// that the same value of VARNOOBEX_SCHEDULE gives the same run.
#include "sim/ke/sched.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

namespace sim::ke::sched {
namespace {

int DefaultChoice(const std::vector<int> &enabled, int current)
{
    return current != -1 ? current : enabled.front();
}

class Random : public Strategy {
public:
    explicit Random(uint64_t seed) : seed_(seed), rng_(seed) {}
    int Pick(const std::vector<int> &enabled, int, uint64_t) override
    {
        return enabled[rng_() % enabled.size()];
    }
    std::string Describe() const override { return "random:" + std::to_string(seed_); }

private:
    uint64_t seed_;
    std::mt19937_64 rng_;
};

// PCT. Priorities are drawn as each thread is first seen (threads are created while the
// run goes on); the d-1 change points are explored steps in [1, steps], and the i-th
// one (in the order drawn) drops the thread that ran last to priority i, below every
// priority drawn at first sight (all at least depth).
class Pct : public Strategy {
public:
    Pct(int depth, uint64_t steps, uint64_t seed) : depth_(depth), steps_(steps), seed_(seed), rng_(seed)
    {
        for (int i = 1; i < depth_ && steps_ > 0; i++) {
            changes_[1 + rng_() % steps_] = i;
        }
    }
    int Pick(const std::vector<int> &enabled, int current, uint64_t step) override
    {
        for (int id : enabled) {
            if (priority_.find(id) == priority_.end()) {
                priority_[id] = depth_ + static_cast<int64_t>(rng_() >> 2);
            }
        }
        auto change = changes_.find(step);
        if (change != changes_.end() && last_ != -1) {
            priority_[last_] = change->second;
        }
        (void)current;
        int best = enabled.front();
        for (int id : enabled) {
            if (priority_[id] > priority_[best]) {
                best = id;
            }
        }
        last_ = best;
        return best;
    }
    std::string Describe() const override
    {
        return "pct:" + std::to_string(depth_) + ":" + std::to_string(steps_) + ":" + std::to_string(seed_);
    }

private:
    int depth_;
    uint64_t steps_;
    uint64_t seed_;
    std::mt19937_64 rng_;
    std::map<uint64_t, int> changes_;   // explored step -> the priority it gives
    std::map<int, int64_t> priority_;
    int last_ = -1;
};

class Switches : public Strategy {
public:
    explicit Switches(std::vector<Switch> switches) : switches_(std::move(switches)) {}
    int Pick(const std::vector<int> &enabled, int current, uint64_t step) override
    {
        for (const Switch &s : switches_) {
            if (s.step == step) {
                return s.thread;
            }
        }
        return DefaultChoice(enabled, current);
    }
    std::string Describe() const override
    {
        std::string text = "switch:";
        for (size_t i = 0; i < switches_.size(); i++) {
            text += (i == 0 ? "" : ",") + std::to_string(switches_[i].step) + ">" +
                    std::to_string(switches_[i].thread);
        }
        return text;
    }

private:
    std::vector<Switch> switches_;
};

bool ParseNumber(const std::string &text, size_t &at, uint64_t *value)
{
    size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        end++;
    }
    if (end == at) {
        return false;
    }
    *value = std::strtoull(text.substr(at, end - at).c_str(), nullptr, 10);
    at = end;
    return true;
}

class RandomSeeds : public Plan {
public:
    RandomSeeds(uint64_t seed, uint64_t count) : seed_(seed), count_(count) {}
    std::unique_ptr<Strategy> Next() override
    {
        return next_ < count_ ? RandomStrategy(seed_ + next_++) : nullptr;
    }
    std::string Name() const override
    {
        return "random (seeds " + std::to_string(seed_) + " on)";
    }

private:
    uint64_t seed_;
    uint64_t count_;
    uint64_t next_ = 0;
};

class PctSeeds : public Plan {
public:
    PctSeeds(int depth, uint64_t seed, uint64_t count) : depth_(depth), seed_(seed), count_(count) {}
    std::unique_ptr<Strategy> Next() override
    {
        if (next_ >= count_) {
            return nullptr;
        }
        const uint64_t seed = seed_ + next_++;
        // Until a run has shown how long the explored part is, no change points.
        return PctStrategy(steps_ == 0 ? 1 : depth_, steps_, seed);
    }
    void Ran(const std::vector<StepSeen> &steps) override
    {
        steps_ = std::max<uint64_t>(steps_, steps.size());
    }
    std::string Name() const override { return "pct depth " + std::to_string(depth_); }

private:
    int depth_;
    uint64_t seed_;
    uint64_t count_;
    uint64_t next_ = 0;
    uint64_t steps_ = 0;
};

// The bounded search, depth first over the list of switches. A node is a schedule
// (its switches, in step order) with the steps its run showed; its children add one
// switch at a later step, to any enabled thread but the default one. Each switch
// counts against the bound, whether the thread that ran could have gone on (a
// preemption) or waited (a choice other than the lowest id).
class Bounded : public Plan {
public:
    Bounded(int bound, uint64_t count) : bound_(bound), count_(count) {}

    std::unique_ptr<Strategy> Next() override
    {
        if (given_ >= count_) {
            return nullptr;
        }
        if (!rootRun_) {
            rootRun_ = true;
            pending_.clear();
            given_++;
            return SwitchStrategy({});
        }
        while (!stack_.empty()) {
            Node &node = stack_.back();
            while (node.step < node.seen.size()) {
                const StepSeen &seen = node.seen[node.step];
                const int fallback = DefaultChoice(seen.enabled, seen.current);
                while (node.alternative < seen.enabled.size()) {
                    const int thread = seen.enabled[node.alternative++];
                    if (thread != fallback) {
                        pending_ = node.switches;
                        pending_.push_back(Switch{node.step + 1, thread});
                        given_++;
                        return SwitchStrategy(pending_);
                    }
                }
                node.step++;
                node.alternative = 0;
            }
            stack_.pop_back();
        }
        return nullptr;
    }

    void Ran(const std::vector<StepSeen> &steps) override
    {
        if (static_cast<int>(pending_.size()) >= bound_) {
            return;  // no room for another switch: the run has no children
        }
        Node node;
        node.switches = pending_;
        node.seen = steps;
        // Later switches only: earlier steps were the parent's to vary.
        node.step = pending_.empty() ? 0 : pending_.back().step;
        stack_.push_back(std::move(node));
    }

    std::string Name() const override
    {
        return "bounded search, " + std::to_string(bound_) + " switch(es)";
    }

private:
    struct Node {
        std::vector<Switch> switches;
        std::vector<StepSeen> seen;
        size_t step = 0;          // index into seen of the next step to vary
        size_t alternative = 0;   // index into that step's enabled threads
    };
    int bound_;
    uint64_t count_;
    uint64_t given_ = 0;
    bool rootRun_ = false;
    std::vector<Switch> pending_;   // the switches of the schedule last given
    std::vector<Node> stack_;
};

class Replay : public Plan {
public:
    explicit Replay(std::string text) : text_(std::move(text)) {}
    std::unique_ptr<Strategy> Next() override
    {
        if (given_) {
            return nullptr;
        }
        given_ = true;
        return ParseStrategy(text_);
    }
    std::string Name() const override { return "replay of " + text_; }

private:
    std::string text_;
    bool given_ = false;
};

}  // namespace

std::unique_ptr<Strategy> RandomStrategy(uint64_t seed)
{
    return std::make_unique<Random>(seed);
}

std::unique_ptr<Strategy> PctStrategy(int depth, uint64_t steps, uint64_t seed)
{
    return std::make_unique<Pct>(depth, steps, seed);
}

std::unique_ptr<Strategy> SwitchStrategy(std::vector<Switch> switches)
{
    return std::make_unique<Switches>(std::move(switches));
}

std::unique_ptr<Strategy> ParseStrategy(const std::string &text)
{
    size_t at = 0;
    uint64_t a = 0, b = 0, c = 0;
    if (text.rfind("random:", 0) == 0) {
        at = 7;
        if (ParseNumber(text, at, &a) && at == text.size()) {
            return RandomStrategy(a);
        }
    } else if (text.rfind("pct:", 0) == 0) {
        at = 4;
        if (ParseNumber(text, at, &a) && at < text.size() && text[at++] == ':' &&
            ParseNumber(text, at, &b) && at < text.size() && text[at++] == ':' &&
            ParseNumber(text, at, &c) && at == text.size()) {
            return PctStrategy(static_cast<int>(a), b, c);
        }
    } else if (text.rfind("switch:", 0) == 0) {
        at = 7;
        std::vector<Switch> switches;
        while (at < text.size()) {
            if (!switches.empty() && text[at++] != ',') {
                return nullptr;
            }
            if (!ParseNumber(text, at, &a) || at >= text.size() || text[at++] != '>' ||
                !ParseNumber(text, at, &b)) {
                return nullptr;
            }
            switches.push_back(Switch{a, static_cast<int>(b)});
        }
        return SwitchStrategy(std::move(switches));
    }
    return nullptr;
}

std::unique_ptr<Plan> RandomPlan(uint64_t seed, uint64_t count)
{
    return std::make_unique<RandomSeeds>(seed, count);
}

std::unique_ptr<Plan> PctPlan(int depth, uint64_t seed, uint64_t count)
{
    return std::make_unique<PctSeeds>(depth, seed, count);
}

std::unique_ptr<Plan> BoundedPlan(int bound, uint64_t count)
{
    return std::make_unique<Bounded>(bound, count);
}

std::unique_ptr<Plan> ReplayPlan(const std::string &text)
{
    return std::make_unique<Replay>(text);
}

}  // namespace sim::ke::sched
