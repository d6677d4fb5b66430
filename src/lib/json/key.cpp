#include "json/key.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "json/string_scan.h"

namespace quarn {

namespace {
void (*g_cache_release)(void*) = nullptr;
}

void set_key_cache_release(void (*release)(void*)) noexcept { g_cache_release = release; }

namespace key_ids {
constinit Key** chunks[max_chunks] = {};
constinit std::uint64_t deaths = 0;
}

// Hands out ids and fills key_ids::chunks. Ids of dead keys are reused; zero
// is never given out.
class KeyIds {
public:
    std::uint32_t add(Key* key) {
        std::uint32_t id;
        if (!free_.empty()) {
            id = free_.back();
            free_.pop_back();
        } else {
            if (next_ >> key_ids::chunk_bits >= key_ids::max_chunks) throw std::bad_alloc();
            id = next_++;
        }
        Key**& chunk = key_ids::chunks[id >> key_ids::chunk_bits];
        if (chunk == nullptr) {
            chunk = static_cast<Key**>(std::calloc(key_ids::chunk_size, sizeof(Key*)));
            if (chunk == nullptr) throw std::bad_alloc();
        }
        chunk[id & (key_ids::chunk_size - 1)] = key;
        return id;
    }
    void remove(std::uint32_t id) noexcept {
        key_ids::chunks[id >> key_ids::chunk_bits][id & (key_ids::chunk_size - 1)] = nullptr;
        ++key_ids::deaths;
        free_.push_back(id);  // cannot fail: capacity was reserved when the id was new
    }
    void reserve_for_one_more() {
        if (free_.capacity() < next_) free_.reserve(std::size_t{2} * next_);
    }

private:
    std::vector<std::uint32_t> free_;
    std::uint32_t next_ = 1;
};

// Open addressing with linear probing and backward-shift deletion, so no
// tombstones build up while keys come and go.
class KeyTable {
public:
    Key* intern(std::string_view text) {
        if (text.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
        if ((count_ + 1) * 4 > slots_.size() * 3) grow();
        const std::uint64_t hash = Key::hash_bytes(text);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Key* key = slots_[i];
            if (key == nullptr) {
                ids_.reserve_for_one_more();
                key = make(text, hash);
                try {
                    key->id_ = ids_.add(key);
                } catch (...) {
                    std::free(key);
                    throw;
                }
                slots_[i] = key;
                ++count_;
                return key;
            }
            if (key->hash_ == hash && key->text() == text) {
                key->retain();
                return key;
            }
        }
    }

    void remove(Key* dead) noexcept {
        std::size_t mask = slots_.size() - 1;
        std::size_t hole = dead->hash_ & mask;
        while (slots_[hole] != dead) hole = (hole + 1) & mask;
        // Shift later members of the probe run back into the hole.
        for (std::size_t next = (hole + 1) & mask; slots_[next] != nullptr; next = (next + 1) & mask) {
            std::size_t home = slots_[next]->hash_ & mask;
            bool movable = (next > hole) ? (home <= hole || home > next) : (home <= hole && home > next);
            if (movable) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole] = nullptr;
        --count_;
        ids_.remove(dead->id_);
        std::free(dead);
    }

    std::size_t count() const noexcept { return count_; }

private:
    static Key* make(std::string_view text, std::uint64_t hash) {
        // "text": padded to whole blocks, so that the writer copies it in fixed-size pieces.
        const std::size_t member = text.size() + 3;
        const std::size_t padded = (member + Key::member_block - 1) / Key::member_block * Key::member_block;
        void* memory = std::malloc(sizeof(Key) + padded);
        if (memory == nullptr) throw std::bad_alloc();
        Key* key = new (memory) Key(static_cast<std::uint32_t>(text.size()), hash);
        char* bytes = key->bytes();
        bytes[0] = '"';
        if (!text.empty()) std::memcpy(bytes + 1, text.data(), text.size());
        bytes[member - 2] = '"';
        bytes[member - 1] = ':';
        std::memset(bytes + member, 0, padded - member);
        key->plain_ = find_string_stop<NonAscii::Pass>(text.data(), text.data() + text.size()) ==
                      text.data() + text.size();
        for (std::size_t i = 0; i < 8; ++i)
            key->prefix_ = (key->prefix_ << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
        return key;
    }

    void grow() {
        std::vector<Key*> old(slots_.empty() ? 64 : slots_.size() * 2, nullptr);
        old.swap(slots_);
        std::size_t mask = slots_.size() - 1;
        for (Key* key : old) {
            if (key == nullptr) continue;
            std::size_t i = key->hash_ & mask;
            while (slots_[i] != nullptr) i = (i + 1) & mask;
            slots_[i] = key;
        }
    }

    std::vector<Key*> slots_;
    std::size_t count_ = 0;
    KeyIds ids_;
};

namespace {
// Never destroyed: keys may still be released during interpreter shutdown.
KeyTable& table() {
    static KeyTable* instance = new KeyTable();
    return *instance;
}
}  // namespace

Key* Key::intern(std::string_view text) { return table().intern(text); }

void Key::release() noexcept {
    if (--refs_ != 0) return;
    if (cache_ != nullptr && g_cache_release != nullptr) g_cache_release(cache_);
    table().remove(this);
}

std::size_t Key::live_count() noexcept { return table().count(); }

// FNV-1a with a final mix; keys are short, so a simple byte loop is enough.
std::uint64_t Key::hash_bytes(std::string_view text) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char byte : text) hash = (hash ^ byte) * 0x100000001b3ULL;
    hash ^= hash >> 31;
    hash *= 0x7fb5d329728ea185ULL;
    hash ^= hash >> 27;
    return hash;
}

}  // namespace quarn
