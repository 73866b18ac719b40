// A native mirror of a Document's dictionary by hash value, for the lookups of query results.
//
// The dictionary maps Python ints to elements; a lookup there costs a new int, a probe of the index
// table, the entry and the key object: several cache misses per result when a query selects nodes
// spread over a large tree. pugixml's hash values of nodes allocated one after the other are close
// to each other, so this table places them by the value itself and a query's results, which come in
// document order, probe it almost sequentially. Runs of 32 consecutive values keep their order in
// the table, and the runs themselves are scattered by a multiplicative hash, so that the values of
// nodes from different pages of pugixml's memory do not pile up into long probe sequences. It holds
// borrowed pointers: the dictionary that it mirrors holds the elements, and a watcher of that
// dictionary (lookup.cpp) drops the mirror at the first change of the dictionary, before the change
// can release an element, so no pointer is handed out that the dictionary no longer holds.
#pragma once

#include "node_index.hpp"

#include <tamarack/pugixml_api.hpp>

#include <cstddef>
#include <vector>

namespace tamarack {

class element_index {
public:
    // Prepares room for `count` entries; throws std::bad_alloc.
    void reserve(std::size_t count) {
        std::size_t capacity = 16;
        while (capacity < count + count / 2 + 1) capacity *= 2;
        slots_.assign(capacity, slot{});
        size_ = 0;
    }

    // Enters or replaces the element under `key`, which is never 0 (a null handle's value).
    void insert(std::size_t key, ElementObject* element) noexcept {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key); ; i = (i + 1) & mask) {
            if (slots_[i].key == 0) {
                slots_[i] = {key, element};
                ++size_;
                return;
            }
            if (slots_[i].key == key) {
                slots_[i].element = element;
                return;
            }
        }
    }

    ElementObject* find(std::size_t key) const noexcept {
        if (slots_.empty() || key == 0) return nullptr;
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key); slots_[i].key != 0; i = (i + 1) & mask)
            if (slots_[i].key == key) return slots_[i].element;
        return nullptr;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return slots_.size(); }

    // Whether the entries are those of `dict` as it is now (the watcher clears them otherwise).
    bool mirrors(const PyObject* dict) const noexcept { return mirrored_ && mirrored_ == dict; }
    PyObject* mirrored() const noexcept { return mirrored_; }
    void set_mirrored(PyObject* dict) noexcept { mirrored_ = dict; }

    void clear() noexcept {
        std::vector<slot>().swap(slots_);
        size_ = 0;
        mirrored_ = nullptr;
        nodes.clear();
    }

    // The document's nodes, filled by the first query from an element; emptied with the rest.
    node_index nodes;

private:
    std::size_t home(std::size_t key) const noexcept {
        std::size_t run = static_cast<std::size_t>((static_cast<unsigned long long>(key >> 5) * 0x9E3779B97F4A7C15ull) >> 24);
        return ((run << 5) | (key & 31)) & (slots_.size() - 1);
    }

    struct slot {
        std::size_t key = 0;
        ElementObject* element = nullptr;
    };
    std::vector<slot> slots_;
    std::size_t size_ = 0;
    PyObject* mirrored_ = nullptr;  // borrowed: the dictionary watched, null when not a mirror
};

}  // namespace tamarack
