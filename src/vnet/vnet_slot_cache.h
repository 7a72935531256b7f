// A small cache of named values in a fixed number of slots, for the
// trusted-client names and the legacy host entries.
//
// An entry lives `lifetime` seconds from its creation. A lookup walks every
// slot and frees the expired ones it meets; a hit (names compare in any
// case) sets the slot's last-use time. An insert takes the first empty slot,
// else the first expired one, else the one used longest ago. The caller
// holds its own lock around every call.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <strings.h>
#include <vector>

namespace zt::vnet {

template <class T> class SlotCache {
  public:
    SlotCache(size_t slots, long lifetime) : slots_(slots), lifetime_(lifetime) {}

    // The value stored under name and still alive at now.
    const T *find(const char *name, time_t now) {
        const T *hit = nullptr;
        for (Slot &s : slots_) {
            if (!s.value)
                continue;
            if (expired(s, now)) {
                s = Slot{};
                continue;
            }
            if (hit == nullptr && strcasecmp(s.name.c_str(), name) == 0) {
                s.last_use = now;
                hit = &*s.value;
            }
        }
        return hit;
    }

    void insert(const char *name, T value, time_t now) {
        Slot *target = nullptr;
        for (Slot &s : slots_)
            if (!s.value) {
                target = &s;
                break;
            }
        for (size_t i = 0; target == nullptr && i < slots_.size(); ++i)
            if (expired(slots_[i], now))
                target = &slots_[i];
        if (target == nullptr && !slots_.empty()) {
            target = &slots_[0];
            for (Slot &s : slots_)
                if (s.last_use < target->last_use)
                    target = &s;
        }
        if (target == nullptr)
            return; // no slots at all
        target->name = name;
        target->value.emplace(std::move(value));
        target->created = target->last_use = now;
    }

    void set_lifetime(long lifetime) { lifetime_ = lifetime; }
    long lifetime() const { return lifetime_; }
    size_t slots() const { return slots_.size(); }

  private:
    struct Slot {
        std::string name;
        std::optional<T> value;
        time_t created = 0, last_use = 0;
    };
    bool expired(const Slot &s, time_t now) const {
        return now - s.created >= lifetime_ || now < s.created;
    }
    std::vector<Slot> slots_;
    long lifetime_;
};

} // namespace zt::vnet
