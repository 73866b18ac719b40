// Node snapshots: what an Element remembers of its pugixml node, captured once at build time.
#include "errors.hpp"
#include "module.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace tamarack {
namespace {

snapshot_strings::view view_of(const char* text) noexcept { return {text, std::strlen(text)}; }

PyObject* decode_utf8(const char* data, std::size_t size) noexcept {
    if (size == 0) return Py_NewRef(constants.empty_str);
    return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
}

// Builds a dict from (name, value) pairs already in name order, decoding each value, then its
// name, as strict UTF-8.
template <class Pairs>
PyObject* dict_of(const Pairs& pairs, const char* qualified_name) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (dict) {
        bool ok = true;
        pairs([&](const char* key, std::size_t key_size, const char* value, std::size_t value_size) {
            if (!ok) return;
            Ref py_value = Ref::steal(decode_utf8(value, value_size));
            Ref py_key = py_value ? Ref::steal(decode_utf8(key, key_size)) : Ref();
            ok = py_key && PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) == 0;
        });
        if (ok) return dict.release();
    }
    add_traceback(qualified_name);
    return nullptr;
}

}  // namespace

void snapshot_strings::assign(view name, view text, std::vector<std::pair<view, view>>& attributes) {
    auto by_name = [](const std::pair<view, view>& a, const std::pair<view, view>& b) {
        return std::string_view(a.first.data, a.first.size) < std::string_view(b.first.data, b.first.size);
    };
    std::stable_sort(attributes.begin(), attributes.end(), by_name);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        bool later_has_same_name = i + 1 < attributes.size() && !by_name(attributes[i], attributes[i + 1]);
        if (!later_has_same_name) attributes[kept++] = attributes[i];
    }
    attributes.resize(kept);
    std::size_t characters = name.size + text.size;
    for (const auto& a : attributes) characters += a.first.size + a.second.size;
    std::size_t size = kept * sizeof(entry) + characters;
    void* block = nullptr;
    if (size > 0) {
        block = std::malloc(size);
        if (!block) throw std::bad_alloc();
        entry* table = static_cast<entry*>(block);
        char* out = static_cast<char*>(block) + kept * sizeof(entry);
        std::size_t at = 0;
        auto put = [&](view v) {
            if (v.size) std::memcpy(out + at, v.data, v.size);
            at += v.size;
            return at - v.size;
        };
        put(name);
        put(text);
        for (std::size_t i = 0; i < kept; ++i) {
            table[i].name_size = attributes[i].first.size;
            table[i].name = put(attributes[i].first);
            table[i].value_size = attributes[i].second.size;
            table[i].value = put(attributes[i].second);
        }
    }
    std::free(block_);
    block_ = block;
    name_size_ = name.size;
    text_size_ = text.size;
    attribute_count_ = kept;
}

int _fill_node_struct(node_struct& record, const pugi::xml_node& n) noexcept {
    return guarded(-1, [&] {
        record.type = n.type();
        pugi::xml_node first = n.first_child();
        bool has_text = first && first.type() == pugi::node_pcdata;
        // Reused between calls: one element's attributes, in document order.
        thread_local std::vector<std::pair<snapshot_strings::view, snapshot_strings::view>> attributes;
        attributes.clear();
        for (pugi::xml_attribute a : n.attributes()) attributes.emplace_back(view_of(a.name()), view_of(a.value()));
        record.strings.assign(view_of(n.name()), has_text ? view_of(n.text().get()) : view_of(""), attributes);
        record.is_empty = n.empty();
        record.hash_value = n.hash_value();
        record.has_text = has_text;
        return 0;
    }, "tamarack.pugixml._fill_node_struct");
}

int _reset_node_struct(node_struct& record) noexcept {
    record.type = pugi::node_null;
    record.strings.clear();
    record.is_empty = true;
    record.has_text = false;
    record.hash_value = 0;
    return 0;
}

PyObject* _attribute_map_to_dict(cpp_string_map& map) noexcept {
    return dict_of(
        [&](auto&& put) {
            for (const auto& [key, value] : map) put(key.data(), key.size(), value.data(), value.size());
        },
        "tamarack.pugixml._attribute_map_to_dict");
}

PyObject* attributes_to_dict(const snapshot_strings& strings) noexcept {
    return dict_of(
        [&](auto&& put) {
            for (std::size_t i = 0; i < strings.attribute_count(); ++i) {
                snapshot_strings::view key = strings.attribute_name(i);
                snapshot_strings::view value = strings.attribute_value(i);
                put(key.data, key.size, value.data, value.size);
            }
        },
        "tamarack.pugixml._attribute_map_to_dict");
}

PyObject* decode_view(snapshot_strings::view v) noexcept { return decode_utf8(v.data, v.size); }

}  // namespace tamarack
