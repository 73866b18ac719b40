// A native mirror of a Document's dictionary by hash value, for the lookups of query results.
//
// The dictionary maps Python ints to elements; a lookup there costs a new int, a probe of the index
// table, the entry and the key object: several cache misses per result when a query selects nodes
// spread over a large tree. pugixml's hash values of nodes allocated one after the other are close
// to each other, so this table places them by the value itself and a query's results, which come in
// document order, probe it almost sequentially: as a ranked bitmap when the values arrive in
// increasing order and span a range a few times their number, as a build's usually do; otherwise
// as a hash table where runs of 32 consecutive values keep their order, and the runs themselves are
// scattered by a multiplicative hash, so that the values of nodes from different pages of pugixml's
// memory do not pile up into long probe sequences. It holds borrowed pointers while the dictionary
// that it mirrors holds the elements, and a watcher of that dictionary (lookup.cpp) drops the
// mirror at the first change of the dictionary, before the change can release an element, so no
// pointer is handed out that the dictionary no longer holds.
//
// Until somebody can look at the dictionary, it stays empty and the index stands in for it: it then
// holds a reference to each element, as the filled dictionary would (lookup.cpp says when).
#pragma once

#include "node_index.hpp"

#include <tamarack/pugixml_api.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamarack {

class element_index {
public:
    // What the entries are:
    // - empty: none;
    // - built: the elements a tree build made, borrowed and not yet consulted: a build enters each
    //   element while it is at hand, and the first lookup takes them over;
    // - standing in: every element of the tree, held by the index, the dictionary still empty;
    // - mirroring: the entries of the filled dictionary, which holds the elements.
    enum class state { empty, built, standing_in, mirroring };

    element_index() noexcept = default;
    element_index(const element_index&) = delete;
    element_index& operator=(const element_index&) = delete;
    ~element_index() { clear(); }

    // Prepares room for `count` entries, dropping any there are; throws std::bad_alloc.
    void reserve(std::size_t count) {
        clear();
        std::size_t capacity = 16;
        while (capacity < count + count / 2 + 1) capacity *= 2;
        slots_.assign(capacity, slot{});
    }

    // As reserve, for keys known to lie in [low, high]. pugixml allocates the nodes of a document
    // from pages taken one after the other, so their hash values usually span a range a few times
    // the number of elements, and a build meets them in increasing order: then the table is a
    // bitmap of the values present, with the number of values before each word of it, and the
    // elements in the order of their values. A lookup is one bit and one count, with no
    // collisions; a query's results, in document order, read it front to back; and it takes 8
    // bytes an element and a fifth of a byte a value of the span, against the hash table's 16 bytes
    // a slot at 1.5 to 3 slots an element.
    void reserve(std::size_t count, std::size_t low, std::size_t high) {
        if (low == 0 || high < low || high - low >= ranked_span_limit(count) || count >= rank_limit)
            return reserve(count);
        clear();
        std::size_t words = (high - low) / 64 + 1;
        bits_.assign(words, 0);
        ranks_.assign(words, 0);
        ordered_.reserve(count);
        base_ = low;
    }

    // Enters or replaces the element under `key`, which is never 0 (a null handle's value), making
    // room as it goes; throws std::bad_alloc. The index must not hold its elements.
    void add(std::size_t key, ElementObject* element) {
        if (!bits_.empty()) {
            if (append(key, element)) return;
            to_slots();
        }
        if (3 * (size_ + 1) > 2 * slots_.size()) grow();
        insert(key, element);
    }

    ElementObject* find(std::size_t key) const noexcept {
        if (!bits_.empty()) {
            std::size_t offset = key - base_, word = offset / 64;
            if (word >= words_ranked_) return nullptr;
            std::uint64_t below = bits_[word] & ((std::uint64_t{2} << (offset % 64)) - 1);
            if ((below >> (offset % 64)) == 0) return nullptr;
            return ordered_[ranks_[word] + bit_count(below) - 1];
        }
        if (slots_.empty() || key == 0) return nullptr;
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key); slots_[i].key != 0; i = (i + 1) & mask)
            if (slots_[i].key == key) return slots_[i].element;
        return nullptr;
    }

    std::size_t size() const noexcept { return size_; }
    state current() const noexcept { return state_; }
    // `whole_document`: the build made an element of every element of the document.
    void set_built(bool whole_document) noexcept {
        state_ = state::built;
        tree_as_built_ = whole_document;
        entries_are_the_tree_ = true;
    }

    // Whether the tree that the Document holds is still exactly as its build made it, with an
    // element of every element of the document, and the entries are the build's: then a walk of the
    // tree finds the elements that a query over the document selects, each the one a lookup of its
    // node answers. Any change of the tree, a tree whose lists somebody was shown, and every
    // emptying of the index end it.
    bool tree_as_built() const noexcept { return tree_as_built_; }
    // Whether the entries are exactly the elements of the tree: the build's, the tree unchanged.
    bool entries_are_the_tree() const noexcept { return entries_are_the_tree_; }
    void tree_changed() noexcept { tree_as_built_ = entries_are_the_tree_ = false; }

    // Takes a reference to every element: the index now stands in for `dict`, which it watches.
    void stand_in_for(PyObject* dict) noexcept {
        for_each_element(slots_, ordered_, [](ElementObject* e) { Py_INCREF(e); });
        stand_in_with_references_taken(dict);
    }
    // As stand_in_for, when the caller has taken a reference to every element for the index.
    void stand_in_with_references_taken(PyObject* dict) noexcept {
        state_ = state::standing_in;
        mirrored_ = dict;
    }
    void mirror(PyObject* dict) noexcept {
        state_ = state::mirroring;
        mirrored_ = dict;
    }

    // Whether lookups may be answered here for `dict` as it is now (the watcher clears the index
    // at any change).
    bool mirrors(const PyObject* dict) const noexcept { return mirrored_ && mirrored_ == dict; }
    PyObject* mirrored() const noexcept { return mirrored_; }

    // Empties the index; one that stands in lets go of its elements last, when nothing refers to
    // them any more from here.
    void clear() noexcept { empty(state_ == state::standing_in); }
    // Empties an index that stands in without letting go of its elements: somebody has taken its
    // references over.
    void hand_over_references() noexcept { empty(false); }

    // The elements of the ranked form, in the order of their keys: a build's, in its pre-order.
    // Empty for the hash table.
    const std::vector<ElementObject*>& ranked_elements() const noexcept { return ordered_; }
    // As hand_over_references, handing over the ranked elements too.
    std::vector<ElementObject*> hand_over_ranked_elements() noexcept {
        std::vector<ElementObject*> elements;
        elements.swap(ordered_);
        empty(false);
        return elements;
    }

    // The document's nodes, filled by the first query from an element; emptied with the rest.
    node_index nodes;

private:
    void empty(bool owned) noexcept {
        std::vector<slot> slots;
        std::vector<ElementObject*> ordered;
        slots.swap(slots_);
        ordered.swap(ordered_);
        std::vector<std::uint64_t>().swap(bits_);
        std::vector<std::uint32_t>().swap(ranks_);
        size_ = 0;
        base_ = 0;
        words_ranked_ = 0;
        mirrored_ = nullptr;
        state_ = state::empty;
        tree_as_built_ = entries_are_the_tree_ = false;
        nodes.clear();
        if (owned) for_each_element(slots, ordered, [](ElementObject* e) { Py_DECREF(e); });
    }

    // A span of hash values at most this many times the number of elements is kept ranked: its
    // bitmap and counts then take at most 3 bytes an element. The counts are 32-bit.
    static std::size_t ranked_span_limit(std::size_t count) noexcept { return 16 * count + 1024; }
    static constexpr std::size_t rank_limit = std::size_t{1} << 31;

    static std::uint32_t bit_count(std::uint64_t x) noexcept {
        // Without the POPCNT instruction, which a baseline x86-64 build may not use, the builtin
        // is a library call.
        x -= (x >> 1) & 0x5555555555555555ull;
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return static_cast<std::uint32_t>((x * 0x0101010101010101ull) >> 56);
    }

    // Enters a key above every key so far, in the ranked form; false for any other key (one
    // outside the span, or not in increasing order), which the ranked form cannot take.
    bool append(std::size_t key, ElementObject* element) {
        std::size_t offset = key - base_, word = offset / 64;
        if (word >= bits_.size() || (size_ > 0 && key <= last_key_)) return false;
        ordered_.push_back(element);
        // Every word up to this one now has its count of the values before it.
        while (words_ranked_ <= word) ranks_[words_ranked_++] = static_cast<std::uint32_t>(size_);
        bits_[word] |= std::uint64_t{1} << (offset % 64);
        last_key_ = key;
        ++size_;
        return true;
    }

    struct slot {
        std::size_t key = 0;
        ElementObject* element = nullptr;
    };

    template <class F>
    static void for_each_element(const std::vector<slot>& slots, const std::vector<ElementObject*>& ordered, F&& f) noexcept {
        for (ElementObject* e : ordered) f(e);
        for (const slot& s : slots)
            if (s.key != 0) f(s.element);
    }

    // As add, without making room: the table has it.
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

    // Moves the ranked entries into a hash table, for a key that the ranked form cannot take.
    void to_slots() {
        std::size_t capacity = 16;
        while (capacity < size_ + size_ / 2 + 1) capacity *= 2;
        std::vector<slot> slots(capacity);
        std::vector<ElementObject*> ordered;
        std::vector<std::uint64_t> bits;
        ordered.swap(ordered_);
        bits.swap(bits_);
        slots.swap(slots_);
        std::vector<std::uint32_t>().swap(ranks_);
        size_ = 0;
        std::size_t next = 0;
        for (std::size_t word = 0; word < bits.size(); ++word)
            for (std::uint64_t rest = bits[word]; rest != 0; rest &= rest - 1) {
                std::size_t bit = bit_count((rest & (~rest + 1)) - 1);  // the lowest bit set
                insert(base_ + word * 64 + bit, ordered[next++]);
            }
        base_ = 0;
        words_ranked_ = 0;
    }

    std::size_t home(std::size_t key) const noexcept {
        std::size_t run = static_cast<std::size_t>((static_cast<unsigned long long>(key >> 5) * 0x9E3779B97F4A7C15ull) >> 24);
        return ((run << 5) | (key & 31)) & (slots_.size() - 1);
    }

    void grow() {
        std::vector<slot> old(slots_.empty() ? 16 : slots_.size() * 2);
        old.swap(slots_);
        size_ = 0;
        for (const slot& s : old)
            if (s.key != 0) insert(s.key, s.element);
    }

    std::vector<slot> slots_;
    // The ranked form: bit k of bits_ tells whether base_ + k is a key; ranks_[w] counts the keys
    // below word w (for the words up to the last key's, words_ranked_ of them); ordered_ holds the
    // elements in the order of their keys.
    std::vector<std::uint64_t> bits_;
    std::vector<std::uint32_t> ranks_;
    std::vector<ElementObject*> ordered_;
    std::size_t words_ranked_ = 0;
    std::size_t last_key_ = 0;
    std::size_t base_ = 0;
    std::size_t size_ = 0;
    state state_ = state::empty;
    bool tree_as_built_ = false;
    bool entries_are_the_tree_ = false;
    PyObject* mirrored_ = nullptr;  // borrowed: the dictionary watched, null when not a mirror
};

}  // namespace tamarack
