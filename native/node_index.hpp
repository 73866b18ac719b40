// The pugixml nodes of a loaded document by hash value, for queries that start from an element.
//
// An element keeps its node's hash value but not the node: the hash value is the node's address
// divided by the size of pugixml's node record, which cannot be turned back into the address. So
// the first query from an element walks the document once and enters every node that can stand
// behind an element. The table lives and dies with the Document's native index (element_index),
// which every reset and every refill of the dictionary empties, so it never outlives the document
// it was filled from.
#pragma once

#include <pugixml.hpp>

#include <cstddef>
#include <vector>

namespace tamarack {

class node_index {
public:
    bool empty() const noexcept { return size_ == 0; }

    // Enters every node of `document` except text (PCDATA), which never has an element. Throws
    // std::bad_alloc, leaving the table empty.
    void fill(const pugi::xml_document& document) {
        clear();
        std::size_t count = 0;
        for_each_node(document, [&](pugi::xml_node) { ++count; });
        std::size_t capacity = 16;
        while (capacity < count + count / 2 + 1) capacity *= 2;
        slots_.assign(capacity, slot{});
        for_each_node(document, [&](pugi::xml_node n) { insert(n); });
    }

    // The node under `key`, or a null handle.
    pugi::xml_node find(std::size_t key) const noexcept {
        if (slots_.empty() || key == 0) return pugi::xml_node();
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key); slots_[i].key != 0; i = (i + 1) & mask)
            if (slots_[i].key == key) return pugi::xml_node(slots_[i].node);
        return pugi::xml_node();
    }

    void clear() noexcept {
        std::vector<slot>().swap(slots_);
        size_ = 0;
    }

private:
    // Pre-order over every node below the document node, with pugixml's own links as the stack.
    template <class F>
    static void for_each_node(const pugi::xml_document& document, F&& visit) {
        pugi::xml_node top = document;
        pugi::xml_node n = top.first_child();
        while (n) {
            if (n.type() != pugi::node_pcdata) visit(n);
            if (n.first_child()) {
                n = n.first_child();
                continue;
            }
            while (n != top && !n.next_sibling()) n = n.parent();
            if (n == top) break;
            n = n.next_sibling();
        }
    }

    void insert(pugi::xml_node n) noexcept {
        std::size_t key = n.hash_value();
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key); ; i = (i + 1) & mask) {
            if (slots_[i].key == 0) {
                slots_[i] = {key, n.internal_object()};
                ++size_;
                return;
            }
            if (slots_[i].key == key) return;
        }
    }

    // Runs of 32 consecutive values stay together, as in element_index.
    std::size_t home(std::size_t key) const noexcept {
        std::size_t run = static_cast<std::size_t>((static_cast<unsigned long long>(key >> 5) * 0x9E3779B97F4A7C15ull) >> 24);
        return ((run << 5) | (key & 31)) & (slots_.size() - 1);
    }

    struct slot {
        std::size_t key = 0;
        pugi::xml_node_struct* node = nullptr;
    };
    std::vector<slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace tamarack
