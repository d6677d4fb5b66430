// Bounded least-recently-used map from a 64-bit key to a query result. Each
// entry keeps the query it answers: 64-bit keys of different queries can
// collide, and a hit must be for the very query asked.
#pragma once

#include <cstdint>
#include <list>
#include <unordered_map>
#include <utility>

#include "json/value.h"

#include "collections/collection.h"

namespace quarn {

class QueryResultCache {
public:
    static constexpr std::size_t default_capacity = 100;

    explicit QueryResultCache(std::size_t capacity = default_capacity) : capacity_(capacity) {}

    // The result stored under key for a query equal to query (number classes
    // apart); a hit becomes the most recent entry. Returns null on a miss.
    QueryResultRef get(std::uint64_t key, const Value& query) {
        auto found = index_.find(key);
        if (found == index_.end() || !(found->second->query == query)) return nullptr;
        order_.splice(order_.begin(), order_, found->second);
        return found->second->result;
    }

    // Inserts or replaces (whatever query the key held) as the most recent
    // entry, evicting the least recent.
    void put(std::uint64_t key, Value query, QueryResultRef result) {
        if (auto found = index_.find(key); found != index_.end()) {
            found->second->query = std::move(query);
            found->second->result = std::move(result);
            order_.splice(order_.begin(), order_, found->second);
            return;
        }
        if (order_.size() == capacity_) {
            index_.erase(order_.back().key);
            order_.pop_back();
        }
        order_.push_front(Node{key, std::move(query), std::move(result)});
        index_.emplace(key, order_.begin());
    }

    void clear() noexcept {
        index_.clear();
        order_.clear();
    }

private:
    struct Node {
        std::uint64_t key;
        Value query;
        QueryResultRef result;
    };
    std::size_t capacity_;
    std::list<Node> order_;  // most recent first
    std::unordered_map<std::uint64_t, std::list<Node>::iterator> index_;
};

}  // namespace quarn
