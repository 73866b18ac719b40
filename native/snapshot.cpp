// Node snapshots: what an Element remembers of its pugixml node, captured once at build time.
#include "errors.hpp"
#include "module.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace tamarack {
namespace {

snapshot_strings::view view_of(const char* text) noexcept { return {text, std::strlen(text)}; }

PyObject* decode_utf8(const char* data, std::size_t size) noexcept {
    if (size == 0) return Py_NewRef(constants.empty_str);
    return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
}

int sharing_failed() noexcept {
    add_traceback("tamarack.pugixml._fill_node_struct");
    return -1;
}

// Builds a dict from (name, value) pairs already in name order, decoding each value, then its
// name, as strict UTF-8; a name whose str is shared is not decoded again.
template <class Pairs>
PyObject* dict_of(const Pairs& pairs, const char* qualified_name) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (dict) {
        bool ok = true;
        pairs([&](const char* key, std::size_t key_size, const char* value, std::size_t value_size,
                  PyObject* shared_key) {
            if (!ok) return;
            Ref py_value = Ref::steal(decode_utf8(value, value_size));
            Ref py_key = !py_value ? Ref() : shared_key ? Ref::borrow(shared_key) : Ref::steal(decode_utf8(key, key_size));
            ok = py_key && PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) == 0;
        });
        if (ok) return dict.release();
    }
    add_traceback(qualified_name);
    return nullptr;
}

}  // namespace

std::size_t snapshot_strings::prepare(view name, PyObject* name_object, view text, std::vector<attribute>& attributes) {
    auto by_name = [](const attribute& a, const attribute& b) {
        return std::string_view(a.name.data, a.name.size) < std::string_view(b.name.data, b.name.size);
    };
    // Elements have few attributes: an insertion sort, stable like std::stable_sort, needs no
    // buffer of its own.
    if (attributes.size() <= 16) {
        for (std::size_t i = 1; i < attributes.size(); ++i) {
            attribute moving = attributes[i];
            std::size_t j = i;
            for (; j > 0 && by_name(moving, attributes[j - 1]); --j) attributes[j] = attributes[j - 1];
            attributes[j] = moving;
        }
    } else {
        std::stable_sort(attributes.begin(), attributes.end(), by_name);
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        bool later_has_same_name = i + 1 < attributes.size() && !by_name(attributes[i], attributes[i + 1]);
        if (!later_has_same_name) attributes[kept++] = attributes[i];
    }
    attributes.resize(kept);
    std::size_t attribute_characters = 0;
    for (const auto& a : attributes) attribute_characters += (a.key ? 0 : a.name.size) + a.value.size;
    constexpr std::size_t limit = 0xFFFFFFFFu;
    if (name.size > limit || kept > limit / 2 || attribute_characters > limit)
        throw std::length_error("a name or the attributes of one element are too long");
    std::size_t characters = (name_object ? 0 : name.size) + text.size + attribute_characters;
    if (characters == 0 && kept == 0 && !name_object) return 0;
    return head_size + kept * sizeof(entry) + characters;
}

void snapshot_strings::assign(view name, PyObject* name_object, view text, const std::vector<attribute>& attributes,
                              std::size_t block_size, void* storage) {
    void* block = block_size > 0 ? storage : nullptr;
    if (block_size > 0 && !block) {
        block = std::malloc(block_size);
        if (!block) throw std::bad_alloc();
    }
    if (block) {
        *static_cast<PyObject**>(block) = name_object;
        Py_XINCREF(name_object);
        entry* table = reinterpret_cast<entry*>(static_cast<char*>(block) + head_size);
        char* out = static_cast<char*>(block) + head_size + attributes.size() * sizeof(entry);
        auto put = [&](view v) {
            if (v.size) std::memcpy(out, v.data, v.size);
            out += v.size;
        };
        if (!name_object) put(name);
        put(text);
        const char* attribute_base = out;
        for (std::size_t i = 0; i < attributes.size(); ++i) {
            const attribute& a = attributes[i];
            table[i].key = a.key;
            Py_XINCREF(a.key);
            table[i].name_size = static_cast<std::uint32_t>(a.name.size);
            table[i].name = static_cast<std::uint32_t>(out - attribute_base);
            if (!a.key) put(a.name);
            table[i].value_size = static_cast<std::uint32_t>(a.value.size);
            table[i].value = static_cast<std::uint32_t>(out - attribute_base);
            put(a.value);
        }
    }
    release();
    block_ = block;
    owns_block_ = block && block != storage;
    name_size_ = static_cast<std::uint32_t>(name.size);
    text_size_ = text.size;
    attribute_count_ = static_cast<std::uint32_t>(attributes.size()) & 0x7FFFFFFFu;
}

name_cache::~name_cache() {
    for (slot& s : slots_) Py_XDECREF(s.str);
    release_evicted();
}

void name_cache::release_evicted() noexcept {
    for (PyObject* str : evicted_) Py_DECREF(str);
    evicted_.clear();
}

// The length and the first and last eight bytes: enough to tell a document's names apart, and
// as cheap for a long name as for a short one.
std::size_t name_cache::hash_of(const char* data, std::size_t size) noexcept {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::memcpy(&head, data, size < 8 ? size : 8);
    if (size > 8) std::memcpy(&tail, data + (size < 16 ? 8 : size - 8), size < 16 ? size - 8 : 8);
    std::uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ size;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

int name_cache::find(const char* data, std::size_t size, PyObject*& str) noexcept {
    str = nullptr;
    if (size == 0) return 0;  // the empty str is shared by the interpreter anyway
    std::size_t h = hash_of(data, size);
    // A few slots per hash value, so that two frequent names never take turns in one slot.
    slot* free_slot = nullptr;
    for (std::size_t probe = 0; probe < probes; ++probe) {
        slot& s = slots_[(h + probe) & (slots - 1)];
        if (!s.str) {
            free_slot = free_slot ? free_slot : &s;
            continue;
        }
        if (s.hash == h && s.size == size && std::memcmp(s.utf8, data, size) == 0) {
            str = s.str;
            return 0;
        }
    }
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr));
    if (!decoded) {
        // Not UTF-8: nothing is shared, and every read raises the decoding error, as it would anyway.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    // The str's own UTF-8 (its characters when it is ASCII), alive as long as the str.
    Py_ssize_t utf8_size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &utf8_size);
    if (!utf8) return -1;
    slot& s = free_slot ? *free_slot : slots_[h & (slots - 1)];
    if (s.str) {
        // The snapshot being filled may have been handed the str already.
        bool kept = guarded(false, [&] {
            evicted_.push_back(s.str);
            return true;
        });
        if (!kept) return -1;
    }
    s = {h, size, utf8, decoded.release()};
    str = s.str;
    return 0;
}

namespace {

// Reads what a snapshot of `n` holds, sharing names through `names` when given; the strings stay
// pugixml's until the snapshot copies them.
int read_node(const pugi::xml_node& n, name_cache* names, snapshot_plan& plan) {
    pugi::xml_node first = n.first_child();
    plan.has_text = first && first.type() == pugi::node_pcdata;
    plan.attributes.clear();
    plan.name = view_of(n.name());
    plan.name_object = nullptr;
    if (names && names->find(plan.name.data, plan.name.size, plan.name_object) < 0) return -1;
    for (pugi::xml_attribute a : n.attributes()) {
        snapshot_strings::view key = view_of(a.name());
        PyObject* key_object = nullptr;
        if (names && names->find(key.data, key.size, key_object) < 0) return -1;
        plan.attributes.push_back({key, view_of(a.value()), key_object});
    }
    plan.text = plan.has_text ? view_of(first.value()) : view_of("");
    plan.block_size = snapshot_strings::prepare(plan.name, plan.name_object, plan.text, plan.attributes);
    return 0;
}

void write_node(node_struct& record, const pugi::xml_node& n, const snapshot_plan& plan, void* storage) {
    record.strings.assign(plan.name, plan.name_object, plan.text, plan.attributes, plan.block_size, storage);
    record.type = n.type();
    record.is_empty = n.empty();
    record.hash_value = n.hash_value();
    record.has_text = plan.has_text;
}

}  // namespace

// Nothing is shared: every read decodes the snapshot's bytes.
int _fill_node_struct(node_struct& record, const pugi::xml_node& n) noexcept {
    return guarded(-1, [&] {
        snapshot_plan plan;
        read_node(n, nullptr, plan);
        write_node(record, n, plan, nullptr);
        return 0;
    }, "tamarack.pugixml._fill_node_struct");
}

int plan_node_struct(const pugi::xml_node& n, name_cache& names) noexcept {
    return guarded(-1, [&] { return read_node(n, &names, names.plan) < 0 ? sharing_failed() : 0; },
                   "tamarack.pugixml._fill_node_struct");
}

int fill_planned_node_struct(node_struct& record, const pugi::xml_node& n, name_cache& names, void* storage) noexcept {
    return guarded(-1, [&] {
        write_node(record, n, names.plan, storage);
        names.release_evicted();
        return 0;
    }, "tamarack.pugixml._fill_node_struct");
}

int _reset_node_struct(node_struct& record) noexcept {
    record.type = pugi::node_null;
    if (record.strings.holds_objects()) {
        GilGuard gil;
        record.strings.clear();
    } else {
        record.strings.clear();
    }
    record.is_empty = true;
    record.has_text = false;
    record.hash_value = 0;
    return 0;
}

PyObject* _attribute_map_to_dict(cpp_string_map& map) noexcept {
    return dict_of(
        [&](auto&& put) {
            for (const auto& [key, value] : map) put(key.data(), key.size(), value.data(), value.size(), nullptr);
        },
        "tamarack.pugixml._attribute_map_to_dict");
}

PyObject* attributes_to_dict(const snapshot_strings& strings) noexcept {
    return dict_of(
        [&](auto&& put) {
            for (std::size_t i = 0; i < strings.attribute_count(); ++i) {
                snapshot_strings::view key = strings.attribute_name(i);
                snapshot_strings::view value = strings.attribute_value(i);
                put(key.data, key.size, value.data, value.size, strings.attribute_key(i));
            }
        },
        "tamarack.pugixml._attribute_map_to_dict");
}

PyObject* decode_view(snapshot_strings::view v) noexcept { return decode_utf8(v.data, v.size); }

PyObject* name_of(const snapshot_strings& strings) noexcept {
    if (PyObject* shared = strings.name_object()) return Py_NewRef(shared);
    return decode_view(strings.name());
}

}  // namespace tamarack
