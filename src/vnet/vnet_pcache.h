// The process-wide memory tables of the resolution caches: entries ordered by
// key with creation, update and last-access times (seconds) and counters of
// hits (FOUND), misses (NOTFOUND) and expired hits (EXPIRED).
//
// Invariants:
// - An entry whose creation time + lifetime lies before now is not returned
//   (counted EXPIRED) but stays until replaced or evicted.
// - The capacity starts at the configured size and grows by kGrowth up to the
//   maximum; a full table at the maximum evicts the entry with the oldest
//   last-access time, ties broken by the oldest update time, then the oldest
//   creation time, then the lower key (the earlier position in key order).
// - Keys live in a tree and the eviction order in a second tree, so a lookup,
//   an insert and an eviction each cost O(log n) at 100 000 entries.
// The caller holds the resolution-cache mutex around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <tuple>

namespace zt::vnet {

template <class Key, class Item, class Less> class PCache {
  public:
    static constexpr size_t kGrowth = 10;

    PCache(long lifetime, size_t capacity, size_t maximum)
        : lifetime_(lifetime), capacity_(capacity), maximum_(maximum < capacity ? capacity : maximum) {}

    struct Hit {
        Item *item = nullptr;
        time_t created = 0;
    };

    // The live entry of key (its access time set to now), or none.
    Hit find(const Key &key, time_t now) {
        auto it = map_.find(key);
        if (it == map_.end()) {
            ++notfound_;
            return {};
        }
        Entry &e = it->second;
        if (e.created + lifetime_ < now) {
            ++expired_;
            return {};
        }
        ++found_;
        if (e.accessed != now)
            retime(it, e.created, e.updated, now);
        return {e.item.get(), e.created};
    }

    // Adds or replaces. A replaced entry still within its lifetime keeps its
    // creation time; otherwise, and for a new entry, created (0: now) is used. Returns false only
    // when the table cannot take the entry.
    bool add_replace(const Key &key, std::unique_ptr<Item> item, time_t now, time_t created) {
        auto it = map_.find(key);
        if (it != map_.end()) {
            Entry &e = it->second;
            e.item = std::move(item);
            time_t c = (e.created <= now && now <= e.created + lifetime_) ? e.created
                                                                          : (created != 0 ? created : now);
            retime(it, c, now, now);
            return true;
        }
        if (map_.size() >= capacity_) {
            if (capacity_ < maximum_)
                capacity_ = capacity_ + kGrowth < maximum_ ? capacity_ + kGrowth : maximum_;
            else if (!evict_one())
                return false;
        }
        auto [pos, inserted] = map_.emplace(key, Entry{});
        (void)inserted;
        Entry &e = pos->second;
        e.item = std::move(item);
        // An entry read from the file cache keeps the file's creation time, so
        // that it expires at the same moment in every process.
        e.created = created != 0 ? created : now;
        e.updated = e.accessed = now;
        e.lru = lru_.insert(Order{now, now, e.created, &pos->first}).first;
        return true;
    }

    size_t count() const { return map_.size(); }
    size_t capacity() const { return capacity_; }
    long lifetime() const { return lifetime_; }
    long found() const { return found_; }
    long notfound() const { return notfound_; }
    long expired() const { return expired_; }

    // Calls fn(key, item, created) for every entry in key order.
    template <class Fn> void each(Fn fn) const {
        for (const auto &[k, e] : map_)
            fn(k, *e.item, e.created);
    }

  private:
    struct Order {
        time_t accessed, updated, created;
        const Key *key;
        bool operator<(const Order &o) const {
            if (std::tie(accessed, updated, created) != std::tie(o.accessed, o.updated, o.created))
                return std::tie(accessed, updated, created) < std::tie(o.accessed, o.updated, o.created);
            return Less()(*key, *o.key);
        }
    };
    struct Entry {
        time_t created = 0, updated = 0, accessed = 0;
        std::unique_ptr<Item> item;
        typename std::set<Order>::iterator lru;
    };
    using Map = std::map<Key, Entry, Less>;

    void retime(typename Map::iterator it, time_t created, time_t updated, time_t accessed) {
        Entry &e = it->second;
        lru_.erase(e.lru); // every entry in the map has its place in lru_
        e.created = created;
        e.updated = updated;
        e.accessed = accessed;
        e.lru = lru_.insert(Order{accessed, updated, created, &it->first}).first;
    }

    bool evict_one() {
        if (lru_.empty())
            return false;
        auto victim = lru_.begin();
        auto it = map_.find(*victim->key);
        lru_.erase(victim);
        if (it != map_.end())
            map_.erase(it);
        return true;
    }

    long lifetime_;
    size_t capacity_;
    size_t maximum_;
    long found_ = 0, notfound_ = 0, expired_ = 0;
    Map map_;
    std::set<Order> lru_;
};

} // namespace zt::vnet
