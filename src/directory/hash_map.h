// CHashMap: a chained hash map from an integer key to a value with the rules
// the client's callers can see:
//   - bucket of a key = (key / 16) modulo the table size;
//   - a new key goes to the head of its bucket; an existing key keeps its
//     place and only gets the new value (insert-or-replace);
//   - a walk visits the buckets in ascending order and each bucket from its
//     head (the most recently inserted key first);
//   - the table size starts at 17; InitHashTable sets a new size and drops
//     every entry; the table itself is allocated on the first insertion, and
//     released when the last entry is removed or on RemoveAll, keeping its size
//     for the next insertion. A map without a table finds nothing.
// A map may choose its buckets otherwise (`BucketKey`: what is taken modulo
// the table size instead of key / 16) when nobody walks it, so that nobody
// can see the difference.
//
// Nodes come from one free list, refilled in blocks (10 nodes by default), so
// that a busy map does not allocate per insertion. Memory comes from the
// library allocator: an insertion that cannot get memory fails and reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/allocator.h"
#include "common/prefetch.h"

namespace tarvik {

// The bucket rule of the platform's map: key / 16.
struct ShiftedKey {
    template <typename Key>
    uint32_t operator()(Key key) const {
        return static_cast<uint32_t>(key) >> 4;
    }
};

template <typename Key, typename Value, typename BucketKey = ShiftedKey>
class CHashMap {
  public:
    static constexpr uint32_t kDefaultTableSize = 17;

    explicit CHashMap(int32_t blockSize = 10) : blockSize_(blockSize > 0 ? blockSize : 10) {}
    ~CHashMap() { RemoveAll(); }
    CHashMap(const CHashMap&) = delete;
    CHashMap& operator=(const CHashMap&) = delete;

    // Drops every entry and sets the table size for the next allocation; with
    // allocateNow the empty table is allocated at once.
    bool InitHashTable(uint32_t size, bool allocateNow = true) {
        RemoveAll();
        tableSize_ = size == 0 ? 1 : size;
        if (allocateNow) {
            return AllocateTable();
        }
        return true;
    }

    // Inserts key or replaces its value. false when memory is short.
    bool Set(Key key, Value value) {
        if (table_ == nullptr && !AllocateTable()) {
            return false;
        }
        const uint32_t bucket = BucketOf(key);
        for (Node* n = table_[bucket]; n != nullptr; n = n->next) {
            if (n->key == key) {
                n->value = value;
                return true;
            }
        }
        Node* n = NewNode();
        if (n == nullptr) {
            if (count_ == 0) {
                RemoveAll();  // an empty map holds no table
            }
            return false;
        }
        n->key = key;
        n->value = value;
        n->next = table_[bucket];
        table_[bucket] = n;
        ++count_;
        return true;
    }

    // A hint for a batch of lookups, so that their cache misses overlap:
    // step 0 fetches a key's bucket, step s > 0 the bucket's s-th node (the
    // ones before it should have been fetched by the earlier steps). Changes
    // nothing.
    void Prefetch(Key key, int step) const {
        if (table_ == nullptr) {
            return;
        }
        const Node* const* bucket = &table_[BucketOf(key)];
        if (step == 0) {
            PrefetchForRead(bucket);
            return;
        }
        const Node* n = *bucket;
        for (int s = 1; s < step && n != nullptr && n->key != key; ++s) {
            n = n->next;
        }
        if (n != nullptr) {
            PrefetchForRead(n);
        }
    }

    bool Lookup(Key key, Value* value) const {
        const Node* n = Find(key);
        if (n == nullptr) {
            return false;
        }
        if (value != nullptr) {
            *value = n->value;
        }
        return true;
    }

    // Removes key; true when it was there. Removing the last entry releases
    // the table and every node block.
    bool RemoveKey(Key key) {
        if (table_ == nullptr) {
            return false;
        }
        Node** link = &table_[BucketOf(key)];
        for (Node* n = *link; n != nullptr; link = &n->next, n = n->next) {
            if (n->key == key) {
                *link = n->next;
                n->next = freeList_;
                freeList_ = n;
                if (--count_ == 0) {
                    RemoveAll();
                }
                return true;
            }
        }
        return false;
    }

    // Drops every entry, the table and the node blocks; the size stays.
    void RemoveAll() {
        MemFree(table_);
        table_ = nullptr;
        while (blocks_ != nullptr) {
            Block* next = blocks_->next;
            MemFree(blocks_);
            blocks_ = next;
        }
        freeList_ = nullptr;
        count_ = 0;
    }

    int32_t GetCount() const { return count_; }
    bool IsEmpty() const { return count_ == 0; }
    bool HasTable() const { return table_ != nullptr; }
    uint32_t GetHashTableSize() const { return tableSize_; }

    // Walk: for (auto pos = map.GetStartPosition(); pos; ) map.GetNextAssoc(pos, k, v);
    struct Position {
        uint32_t bucket;
        const void* node;
        explicit operator bool() const { return node != nullptr; }
    };
    Position GetStartPosition() const {
        Position pos{0, nullptr};
        if (table_ == nullptr || count_ == 0) {
            return pos;
        }
        return NextFrom(0);
    }
    void GetNextAssoc(Position& pos, Key& key, Value& value) const {
        const Node* n = static_cast<const Node*>(pos.node);
        key = n->key;
        value = n->value;
        if (n->next != nullptr) {
            pos.node = n->next;
        } else {
            pos = NextFrom(pos.bucket + 1);
        }
    }

    // Calls f(key, value&) for every entry in walk order.
    template <typename F>
    void ForEach(F&& f) {
        if (table_ == nullptr) {
            return;
        }
        for (uint32_t b = 0; b < tableSize_; ++b) {
            for (Node* n = table_[b]; n != nullptr; n = n->next) {
                f(n->key, n->value);
            }
        }
    }

  private:
    struct Node {
        Node* next;
        Key key;
        Value value;
    };
    struct Block {
        Block* next;
    };

    uint32_t BucketOf(Key key) const { return BucketKey()(key) % tableSize_; }

    const Node* Find(Key key) const {
        if (table_ == nullptr) {
            return nullptr;
        }
        for (const Node* n = table_[BucketOf(key)]; n != nullptr; n = n->next) {
            if (n->key == key) {
                return n;
            }
        }
        return nullptr;
    }

    Position NextFrom(uint32_t bucket) const {
        for (uint32_t b = bucket; b < tableSize_; ++b) {
            if (table_[b] != nullptr) {
                return Position{b, table_[b]};
            }
        }
        return Position{0, nullptr};
    }

    bool AllocateTable() {
        table_ = static_cast<Node**>(MemAllocZero(sizeof(Node*) * static_cast<size_t>(tableSize_)));
        return table_ != nullptr;
    }

    Node* NewNode() {
        if (freeList_ == nullptr) {
            // One block: a header and blockSize_ nodes, threaded onto the free list.
            const size_t bytes = sizeof(Block) + sizeof(Node) * static_cast<size_t>(blockSize_);
            auto* block = static_cast<Block*>(MemAlloc(bytes));
            if (block == nullptr) {
                return nullptr;
            }
            block->next = blocks_;
            blocks_ = block;
            Node* nodes =
                reinterpret_cast<Node*>(reinterpret_cast<unsigned char*>(block) + sizeof(Block));
            for (int32_t i = blockSize_ - 1; i >= 0; --i) {
                nodes[i].next = freeList_;
                freeList_ = &nodes[i];
            }
        }
        Node* n = freeList_;
        freeList_ = n->next;
        return n;
    }

    Node** table_ = nullptr;
    uint32_t tableSize_ = kDefaultTableSize;
    int32_t count_ = 0;
    int32_t blockSize_;
    Node* freeList_ = nullptr;
    Block* blocks_ = nullptr;
};

}  // namespace tarvik
