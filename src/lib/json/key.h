// Interned object keys.
//
// Every distinct key text is stored once per process. Object entries hold a
// counted reference to it (as its id), so a lookup with an interned key
// compares ids instead of bytes, and the binding can cache the key's Python str in the key
// itself (building a dict then costs one incref per key).
//
// The table is not locked: every caller runs under the interpreter lock (the
// engine never releases it), and standalone engine code is single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn {

class Key {
public:
    std::string_view text() const noexcept { return {bytes() + 1, size_}; }
    // The key as a member's start in JSON, "text": (for plain keys the
    // writer's whole work). Readable in whole blocks of member_block bytes:
    // the storage is padded, so a copy may take fixed-size blocks.
    std::string_view member_text() const noexcept { return {bytes(), size_ + 3}; }
    static constexpr std::size_t member_block = 16;
    // The first eight bytes as a big-endian number (zero-padded): ordering
    // these orders most keys without comparing their bytes.
    std::uint64_t prefix() const noexcept { return prefix_; }

    // Whether the text needs no escapes in JSON (the writer copies it as it is).
    bool plain() const noexcept { return plain_; }

    // Small and reused after the key dies: what object entries hold.
    std::uint32_t id() const noexcept { return id_; }
    // How many keys have died so far: ids remembered while this stays the
    // same still name the same keys.
    static std::uint64_t deaths() noexcept;
    // The live key with this id (not zero). Inline: entries hold ids, so
    // every walk over an object's keys goes through it.
    static Key* from_id(std::uint32_t id) noexcept;

    // A slot for the binding's cached Python str of this key; released
    // through the hook set with set_key_cache_release when the key dies.
    void* cache() const noexcept { return cache_; }
    void set_cache(void* object) noexcept { cache_ = object; }

    // Hints for a reader, as key ids (0: none yet): the key that followed
    // this one in the last object that had it, and the first key of the last
    // object that was its value. Documents repeat their shapes, so these
    // mostly name the next key before it is read; the text still decides.
    std::uint32_t& next_key_hint() noexcept { return next_hint_; }
    std::uint32_t& first_member_hint() noexcept { return first_member_hint_; }

    void retain() noexcept { ++refs_; }
    void release() noexcept;  // frees the key when the last holder lets go

    // Returns the interned key for text with one new reference for the caller.
    static Key* intern(std::string_view text);
    static std::uint64_t hash_bytes(std::string_view text) noexcept;
    // Number of live interned keys (for tests and leak checks).
    static std::size_t live_count() noexcept;

private:
    friend class KeyTable;
    Key(std::uint32_t size, std::uint64_t hash) noexcept : size_(size), hash_(hash) {}
    const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
    char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }

    std::uint32_t refs_ = 1;
    std::uint32_t size_;
    std::uint32_t id_ = 0;
    std::uint32_t next_hint_ = 0;
    std::uint32_t first_member_hint_ = 0;
    bool plain_ = false;
    std::uint64_t hash_;
    std::uint64_t prefix_ = 0;
    void* cache_ = nullptr;
};

// Id to key, in chunks that never move, so that looking a key up by id is
// two loads. Filled by the intern table (key.cpp).
namespace key_ids {
inline constexpr std::uint32_t chunk_bits = 12;
inline constexpr std::size_t chunk_size = std::size_t{1} << chunk_bits;
inline constexpr std::size_t max_chunks = std::size_t{1} << 16;
extern Key** chunks[max_chunks];
extern std::uint64_t deaths;
}  // namespace key_ids

inline std::uint64_t Key::deaths() noexcept { return key_ids::deaths; }

inline Key* Key::from_id(std::uint32_t id) noexcept {
    return key_ids::chunks[id >> key_ids::chunk_bits][id & (key_ids::chunk_size - 1)];
}

// The key of an object entry, held as the key's 32-bit id so that an entry
// takes 20 bytes instead of 24: documents are mostly entries. It converts to
// and from Key*; a null key has id zero. Holding one counts no reference: the
// entry's owner retains and releases the key.
class KeyRef {
public:
    KeyRef() = default;
    KeyRef(std::nullptr_t) noexcept {}
    KeyRef(Key* key) noexcept : id_(key != nullptr ? key->id() : 0) {}

    std::uint32_t id() const noexcept { return id_; }
    Key* get() const noexcept { return id_ != 0 ? Key::from_id(id_) : nullptr; }
    operator Key*() const noexcept { return get(); }
    Key* operator->() const noexcept { return Key::from_id(id_); }

    friend bool operator==(KeyRef a, KeyRef b) noexcept { return a.id_ == b.id_; }
    friend bool operator==(KeyRef a, const Key* b) noexcept { return a.id_ == (b != nullptr ? b->id() : 0); }

private:
    std::uint32_t id_ = 0;
};

// Called with a key's cache slot when the key is freed (set by the binding).
void set_key_cache_release(void (*release)(void*)) noexcept;

}  // namespace quarn
