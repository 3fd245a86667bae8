#pragma once
// The process's table cache. Segment tables depend only on a construction
// and its base points, never on the instance that asked for them, so every
// instance with the same generators shares one copy: a fresh instance after
// the first builds nothing, and a thousand instances hold one set of tables.
//
// The cache holds blocks of tables under a limit in bytes:
// - a growing block (the caching hashers' per-generator tables) takes its
//   bytes from the limit as it grows, so that nothing an input does can
//   grow memory past it;
// - a fixed block (the configurable hashers' tables, sized by their
//   constructor arguments alone) is held for as long as an instance refers
//   to it, and counts against the limit only once none does: it is kept
//   for the next instance with the same sizes while it fits;
// - a block that only saves time (the wide tables of variable-time sums) is
//   held by a call only while it runs, and grows like a growing block but
//   only into room the limit leaves free: it never makes another block go,
//   so two of them that do not fit together never evict each other in turn.
// Blocks no instance or call refers to are dropped, least recently used
// first, when room is needed or the limit is lowered. A cache object with a
// limit of its own serves a single instance that is given its own cap.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pedersen {

class TableCache;

// What the cache holds: one block of tables, under a key that names the
// construction and its generators.
class CachedTables {
  public:
    CachedTables() = default;
    CachedTables(const CachedTables&) = delete;
    CachedTables& operator=(const CachedTables&) = delete;
    virtual ~CachedTables() = default;

    // Bytes of tables the block holds.
    virtual std::size_t bytes() const = 0;

  private:
    friend class TableCache;
    std::string key_;
    bool growing_ = false;
    std::size_t refs_ = 0;     // under the cache's mutex
    std::size_t charged_ = 0;  // bytes counted against the limit
    std::uint64_t last_use_ = 0;
};

class TableCache {
  public:
    static constexpr std::size_t default_limit = std::size_t{64} << 20;

    explicit TableCache(std::size_t limit) : limit_(limit) {}
    TableCache(const TableCache&) = delete;
    TableCache& operator=(const TableCache&) = delete;
    ~TableCache() {
        for (CachedTables* block : blocks_) delete block;
    }

    // The cache every instance without a cap of its own uses; it lives until
    // the process ends, so that no instance outlives it.
    static TableCache& process() {
        static TableCache* const cache = new TableCache(default_limit);
        return *cache;
    }

    // A counted reference to a block; the block stays while one exists.
    template <class Block>
    class Handle {
      public:
        Handle() = default;
        Handle(TableCache* cache, Block* block) : cache_(cache), block_(block) {}
        Handle(Handle&& other) noexcept
            : cache_(std::exchange(other.cache_, nullptr)), block_(std::exchange(other.block_, nullptr)) {}
        Handle& operator=(Handle&& other) noexcept {
            if (this != &other) {
                reset();
                cache_ = std::exchange(other.cache_, nullptr);
                block_ = std::exchange(other.block_, nullptr);
            }
            return *this;
        }
        Handle(const Handle& other) : cache_(other.cache_), block_(other.block_) {
            if (block_ != nullptr) cache_->retain(block_);
        }
        Handle& operator=(const Handle& other) {
            if (this != &other) *this = Handle(other);
            return *this;
        }
        ~Handle() { reset(); }

        Block* get() const { return block_; }
        Block* operator->() const { return block_; }
        Block& operator*() const { return *block_; }
        TableCache* cache() const { return cache_; }
        explicit operator bool() const { return block_ != nullptr; }

      private:
        void reset() noexcept {
            if (block_ != nullptr) cache_->release(block_);
            cache_ = nullptr;
            block_ = nullptr;
        }
        TableCache* cache_ = nullptr;
        Block* block_ = nullptr;
    };

    // The growing block under `key`, made by `make()` if there is none.
    template <class Block, class Make>
    Handle<Block> growing(const std::string& key, Make make) {
        {
            const std::lock_guard lock(mutex_);
            if (CachedTables* found = find(key)) return Handle<Block>(this, static_cast<Block*>(retained(found)));
        }
        return enter(key, make(), true);
    }

    // The fixed block under `key`, if the cache has it.
    template <class Block>
    Handle<Block> find_fixed(const std::string& key) {
        const std::lock_guard lock(mutex_);
        CachedTables* found = find(key);
        return found != nullptr ? Handle<Block>(this, static_cast<Block*>(retained(found))) : Handle<Block>();
    }
    // Enters a fixed block built outside the lock; when another thread
    // entered one under the same key meanwhile, that one is returned and
    // `block` is dropped.
    template <class Block>
    Handle<Block> insert_fixed(const std::string& key, std::unique_ptr<Block> block) {
        return enter(key, std::move(block), false);
    }

    // Counts `bytes` more for the growing `block` if, with them, what the
    // cache holds stays within `limit() / 4 · quarters`, dropping blocks no
    // instance refers to as needed. The caller holds `block` and grows it
    // only when this says yes.
    bool charge(CachedTables* block, std::size_t bytes, unsigned quarters) {
        const std::lock_guard lock(mutex_);
        const std::size_t ceiling = quarters >= 4 ? limit_ : limit_ / 4 * quarters;
        if (!make_room(bytes, ceiling, block)) return false;
        block->charged_ += bytes;
        charged_ += bytes;
        return true;
    }

    // Counts `bytes` more for the growing `block` if they fit in the room
    // the limit leaves free, dropping nothing.
    bool charge_free(CachedTables* block, std::size_t bytes) {
        const std::lock_guard lock(mutex_);
        if (bytes > limit_ || charged_ > limit_ - bytes) return false;
        block->charged_ += bytes;
        charged_ += bytes;
        return true;
    }

    // Gives back what charge() or charge_free() counted for a growth that
    // failed.
    void refund(CachedTables* block, std::size_t bytes) noexcept {
        const std::lock_guard lock(mutex_);
        block->charged_ -= bytes;
        charged_ -= bytes;
    }

    std::size_t limit() const {
        const std::lock_guard lock(mutex_);
        return limit_;
    }
    // Lowering the limit drops blocks no instance refers to until what is
    // held fits; blocks in use stay until their last instance goes.
    void set_limit(std::size_t limit) {
        const std::lock_guard lock(mutex_);
        limit_ = limit;
        make_room(0, limit_, nullptr);
    }
    // Bytes counted against the limit.
    std::size_t bytes() const {
        const std::lock_guard lock(mutex_);
        return charged_;
    }
    // Bytes of every block held, in use or not.
    std::size_t held_bytes() const {
        const std::lock_guard lock(mutex_);
        std::size_t total = 0;
        for (const CachedTables* block : blocks_) total += block->bytes();
        return total;
    }
    // Blocks held.
    std::size_t blocks() const {
        const std::lock_guard lock(mutex_);
        return blocks_.size();
    }

  private:
    // The block under `key`, `block` entered if there is none.
    template <class Block>
    Handle<Block> enter(const std::string& key, std::unique_ptr<Block> block, bool growing) {
        const std::lock_guard lock(mutex_);
        if (CachedTables* found = find(key)) return Handle<Block>(this, static_cast<Block*>(retained(found)));
        block->key_ = key;
        block->growing_ = growing;
        blocks_.reserve(blocks_.size() + 1);
        Block* held = block.release();
        blocks_.push_back(held);
        return Handle<Block>(this, static_cast<Block*>(retained(held)));
    }

    CachedTables* find(const std::string& key) const {
        for (CachedTables* block : blocks_)
            if (block->key_ == key) return block;
        return nullptr;
    }

    CachedTables* retained(CachedTables* block) {
        if (block->refs_++ == 0 && !block->growing_) uncharge(block);  // in use: its instances hold it
        block->last_use_ = ++clock_;
        return block;
    }
    void retain(CachedTables* block) {
        const std::lock_guard lock(mutex_);
        retained(block);
    }

    void release(CachedTables* block) noexcept {
        const std::lock_guard lock(mutex_);
        block->last_use_ = ++clock_;
        if (--block->refs_ != 0) return;
        if (!block->growing_) {
            // Kept for the next instance with the same sizes, if it fits.
            const std::size_t bytes = block->bytes();
            if (make_room(bytes, limit_, block)) {
                block->charged_ = bytes;
                charged_ += bytes;
                return;
            }
        } else if (charged_ <= limit_) {
            return;
        }
        drop(block);
    }

    void uncharge(CachedTables* block) {
        charged_ -= block->charged_;
        block->charged_ = 0;
    }

    void drop(CachedTables* block) noexcept {
        uncharge(block);
        blocks_.erase(std::find(blocks_.begin(), blocks_.end(), block));
        delete block;
    }

    // Whether `bytes` more fit under `ceiling`, after dropping unused blocks
    // other than `keep`, least recently used first.
    bool make_room(std::size_t bytes, std::size_t ceiling, const CachedTables* keep) noexcept {
        while (bytes > ceiling || charged_ > ceiling - bytes) {
            CachedTables* oldest = nullptr;
            for (CachedTables* block : blocks_)
                if (block != keep && block->refs_ == 0 && (oldest == nullptr || block->last_use_ < oldest->last_use_))
                    oldest = block;
            if (oldest == nullptr) return false;
            drop(oldest);
        }
        return true;
    }

    mutable std::mutex mutex_;
    std::size_t limit_;
    std::size_t charged_ = 0;
    std::uint64_t clock_ = 0;
    std::vector<CachedTables*> blocks_;
};

// Append-only slots that readers index without a lock once the writer has
// published their count (with release; readers acquire it): slot i lives in
// block bit_width(i + 1) - 1, of 2^b slots, so that slots never move.
template <class T>
class Slots {
  public:
    Slots() = default;
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    ~Slots() {
        for (auto& block : blocks_) delete[] block.load(std::memory_order_relaxed);
    }

    const T& operator[](std::uint64_t i) const {
        const auto [b, at] = locate(i);
        return blocks_[b].load(std::memory_order_acquire)[at];
    }
    // Bytes of the block that slot i opens, for a writer that fills slots
    // in order: 0 unless i is the first slot of a block not yet made.
    std::size_t cost(std::uint64_t i) const {
        const auto [b, at] = locate(i);
        return at != 0 || blocks_[b].load(std::memory_order_relaxed) != nullptr ? 0 : (std::size_t{1} << b) * sizeof(T);
    }
    // The writer's slot i, its block made if needed.
    T& at(std::uint64_t i) {
        const auto [b, at] = locate(i);
        T* block = blocks_[b].load(std::memory_order_relaxed);
        if (block == nullptr) {
            block = new T[std::size_t{1} << b]();
            blocks_[b].store(block, std::memory_order_release);
        }
        return block[at];
    }

  private:
    static std::pair<unsigned, std::size_t> locate(std::uint64_t i) {
        const unsigned b = static_cast<unsigned>(std::bit_width(i + 1)) - 1;
        return {b, static_cast<std::size_t>(i + 1 - (std::uint64_t{1} << b))};
    }
    std::array<std::atomic<T*>, 64> blocks_{};
};

}  // namespace pedersen
