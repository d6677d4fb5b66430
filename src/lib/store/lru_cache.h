// Bounded least-recently-used map from a 64-bit key to a query result.
#pragma once

#include <cstdint>
#include <list>
#include <unordered_map>
#include <utility>

#include "store/collection.h"

namespace quarn {

class LruCache {
public:
    static constexpr std::size_t default_capacity = 100;

    explicit LruCache(std::size_t capacity = default_capacity) : capacity_(capacity) {}

    // A hit becomes the most recent entry. Returns null on a miss.
    QueryResultRef get(std::uint64_t key) {
        auto found = index_.find(key);
        if (found == index_.end()) return nullptr;
        order_.splice(order_.begin(), order_, found->second);
        return found->second->second;
    }

    // Inserts or replaces as the most recent entry, evicting the least recent.
    void put(std::uint64_t key, QueryResultRef value) {
        if (auto found = index_.find(key); found != index_.end()) {
            found->second->second = std::move(value);
            order_.splice(order_.begin(), order_, found->second);
            return;
        }
        if (order_.size() == capacity_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
        order_.emplace_front(key, std::move(value));
        index_.emplace(key, order_.begin());
    }

    void clear() noexcept {
        index_.clear();
        order_.clear();
    }

private:
    using Node = std::pair<std::uint64_t, QueryResultRef>;
    std::size_t capacity_;
    std::list<Node> order_;  // most recent first
    std::unordered_map<std::uint64_t, std::list<Node>::iterator> index_;
};

}  // namespace quarn
