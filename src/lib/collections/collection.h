// One collection in memory, shared by reference count between the database's
// map, cached results and the call that is using it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "json/value.h"
#include "collections/access_paths.h"
#include "core/file_identity.h"

namespace quarn {

class SharedCollection {
public:
    explicit SharedCollection(std::vector<Value> documents) : documents_(std::move(documents)) {}

    // Holding the read lock; reports whether an earlier failure poisoned it.
    class ReadGuard {
    public:
        explicit ReadGuard(const SharedCollection& collection) : owner_(collection), lock_(collection.lock_) {}
        bool poisoned() const noexcept { return owner_.poisoned_.load(); }
        const std::vector<Value>& documents() const noexcept { return owner_.documents_; }

    private:
        const SharedCollection& owner_;
        std::shared_lock<std::shared_mutex> lock_;
    };

    // Holding the write lock. An internal failure while it is held must call
    // poison() before the guard goes away; the flag is never cleared.
    class WriteGuard {
    public:
        explicit WriteGuard(SharedCollection& collection) : owner_(collection), lock_(collection.lock_) {}
        bool poisoned() const noexcept { return owner_.poisoned_.load(); }
        void poison() noexcept { owner_.poisoned_.store(true); }
        std::vector<Value>& documents() noexcept { return owner_.documents_; }

    private:
        SharedCollection& owner_;
        std::unique_lock<std::shared_mutex> lock_;
    };

    ReadGuard read() const { return ReadGuard(*this); }
    WriteGuard write() { return WriteGuard(*this); }

    // The collection's indexes; they guard themselves, so that finds holding
    // only the read lock can build and extend them.
    AccessPaths& access_paths() const noexcept { return access_paths_; }

    // The collection file as its database last saw it (read, created or
    // written), to tell whether another writer replaced or changed it since.
    // Absent when the collection never had a file. The database's calls run
    // under the interpreter lock, which guards it.
    const std::optional<FileIdentity>& file_seen() const noexcept { return file_seen_; }
    void saw_file(const FileIdentity& identity) const noexcept { file_seen_ = identity; }

private:
    mutable AccessPaths access_paths_;
    mutable std::shared_mutex lock_;
    std::atomic<bool> poisoned_{false};
    std::vector<Value> documents_;
    mutable std::optional<FileIdentity> file_seen_;
};

// The holder count is the shared_ptr's (atomic) use count.
using CollectionRef = std::shared_ptr<SharedCollection>;

inline CollectionRef make_collection(std::vector<Value> documents, const FileIdentity& file) {
    auto collection = std::make_shared<SharedCollection>(std::move(documents));
    collection->saw_file(file);
    return collection;
}

// The documents a query matched, as their positions in the collection.
// Results hold no copies: every change to a collection empties the cache.
struct QueryResult {
    CollectionRef source;
    std::vector<std::size_t> positions;
};

using QueryResultRef = std::shared_ptr<const QueryResult>;

}  // namespace quarn
