// The native interface of tamarack.pugixml for other extension modules.
//
// It declares the object layouts of Document and Element, the node snapshot record, the attribute
// map type and the operation tables in slot order. The module publishes the tables as unnamed
// capsules under `__pyx_vtable__` in each type's dict, and `_attribute_map_to_dict` in the module's
// `__pyx_capi__` dict, under a capsule named by `attribute_map_to_dict_signature`. A consumer must
// be built with the same compiler family and standard library as the module, since the layouts hold
// standard-library containers, and should call check_layout() (at the end of this header) when it
// is imported, so that a consumer built against another layout fails cleanly instead of reading
// the wrong fields.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pugixml.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tamarack {

// Attribute name to value, UTF-8 bytes as pugixml stores them, ordered by the bytes of the name.
using cpp_string_map = std::map<std::string, std::string>;

// The capsule name under which `_attribute_map_to_dict` is exported: its native signature.
inline constexpr const char attribute_map_to_dict_signature[] =
    "PyObject *(std::map<std::string,std::string> &)";
using attribute_map_to_dict_fn = PyObject* (*)(cpp_string_map&);

// The strings of one node's snapshot (name, first text run and attributes) in one block of memory:
// one allocation per element at most, however many attributes it has. A tree build places the
// block in the element's own allocation, right after the object; any other fill allocates it, and
// the snapshot then owns it. Attributes are held in ascending byte order of their names, one entry
// per name, as a cpp_string_map would hold them (the value of the last attribute of a name wins).
//
// A build shares the decoded names and attribute keys of a document among its elements: the block
// then also holds a reference to the element's name as a str and to each attribute's key, null
// where nothing is shared (the bytes are decoded on every read instead). Since it may hold
// references, the block is cleared and replaced only with the interpreter lock held, unless
// holds_objects() is false.
class snapshot_strings {
public:
    struct view {
        const char* data;
        std::size_t size;
    };
    // One attribute as a build hands it over; `key` is borrowed, and the snapshot takes its own
    // reference.
    struct attribute {
        view name;
        view value;
        PyObject* key = nullptr;
    };

    snapshot_strings() noexcept : name_size_(0), attribute_count_(0), owns_block_(0) {}
    snapshot_strings(const snapshot_strings&) = delete;
    snapshot_strings& operator=(const snapshot_strings&) = delete;
    ~snapshot_strings() { clear(); }

    view name() const noexcept {
        if (PyObject* shared = name_object()) return utf8_of(shared);
        return {block_ ? chars() : "", name_size_};
    }
    view text() const noexcept { return {block_ ? chars() + (name_object() ? 0 : name_size_) : "", text_size_}; }
    std::size_t attribute_count() const noexcept { return attribute_count_; }
    view attribute_name(std::size_t i) const noexcept {
        if (PyObject* shared = entries()[i].key) return utf8_of(shared);
        return {attribute_chars() + entries()[i].name, entries()[i].name_size};
    }
    view attribute_value(std::size_t i) const noexcept {
        return {attribute_chars() + entries()[i].value, entries()[i].value_size};
    }
    // The shared str of the name and of an attribute's key (borrowed), or null.
    PyObject* name_object() const noexcept { return block_ ? *static_cast<PyObject* const*>(block_) : nullptr; }
    PyObject* attribute_key(std::size_t i) const noexcept { return entries()[i].key; }
    bool holds_objects() const noexcept {
        if (!block_) return false;
        bool found = name_object() != nullptr;
        for (std::size_t i = 0; i < attribute_count_ && !found; ++i) found = entries()[i].key != nullptr;
        return found;
    }

    // Releases the block: empty name and text, no attributes.
    void clear() noexcept {
        release();
        block_ = nullptr;
        name_size_ = attribute_count_ = owns_block_ = 0;
        text_size_ = 0;
    }

    // Sorts `attributes` (in document order) by name and keeps the last of each name, then tells
    // how many bytes the block for these strings takes: 0 when none is needed. Throws
    // std::length_error for a name or attributes of 4 GiB or more. Defined in the module alone,
    // as assign is: snapshots are filled there, consumers only read them.
    static std::size_t prepare(view name, PyObject* name_object, view text, std::vector<attribute>& attributes);
    // Replaces the contents with those `prepare` was given, writing the block into `storage` (the
    // size prepare told, alive as long as this snapshot may be) or, when null, into one of its own.
    // Throws std::bad_alloc and leaves the previous contents in place when memory runs out.
    void assign(view name, PyObject* name_object, view text, const std::vector<attribute>& attributes,
                std::size_t block_size, void* storage);

private:
    struct entry {
        PyObject* key;                                         // owned, or null
        std::uint32_t name, name_size, value, value_size;      // offsets after the text
    };
    static constexpr std::size_t head_size = sizeof(PyObject*);  // the name's str, owned, or null
    // A shared str stands for its bytes, which the block then leaves out: its UTF-8 is cached in it
    // (the build asked for it), so this cannot fail.
    static view utf8_of(PyObject* str) noexcept {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(str, &size);
        return {data, static_cast<std::size_t>(size)};
    }
    const entry* entries() const noexcept {
        return reinterpret_cast<const entry*>(static_cast<const char*>(block_) + head_size);
    }
    // The characters: the name (unless shared), the text, then the attribute names (unless shared)
    // and values, whose 32-bit offsets count from the end of the text, however long it is.
    const char* chars() const noexcept {
        return static_cast<const char*>(block_) + head_size + attribute_count_ * sizeof(entry);
    }
    const char* attribute_chars() const noexcept { return chars() + (name_object() ? 0 : name_size_) + text_size_; }
    void release() noexcept {
        if (!block_) return;
        Py_XDECREF(*static_cast<PyObject**>(block_));
        entry* table = reinterpret_cast<entry*>(static_cast<char*>(block_) + head_size);
        for (std::size_t i = 0; i < attribute_count_; ++i) Py_XDECREF(table[i].key);
        if (owns_block_) std::free(block_);
    }

    void* block_ = nullptr;  // the name's str, the entries, then the characters
    std::uint32_t name_size_;
    std::uint32_t attribute_count_ : 31;
    std::uint32_t owns_block_ : 1;
    std::size_t text_size_ = 0;
};

// The snapshot of one pugixml node, captured once when its Element is built.
struct node_struct {
    int type = 0;                // pugi::xml_node_type value, node_null for a null handle
    bool is_empty = false;       // the captured handle was null
    bool has_text = false;       // the node's first child is PCDATA
    std::size_t hash_value = 0;  // pugixml's hash value of the node, 0 for a null handle
    snapshot_strings strings;    // owned copies of the name, the first text run and the attributes
};

// Native links from an element to its parent, from which the node position is computed.
struct position_link {
    std::size_t index = 0;            // rank among the parent's kept children
    position_link* parent = nullptr;  // the parent element's link, not owned
};

using node_type_set = std::set<int>;

struct ElementObject;
struct DocumentObject;
class element_index;

// Element's operation table, in slot order.
struct ElementVTable {
    PyObject* (*_create)(const pugi::xml_node& node, const node_type_set& exclusions, PyObject* parent);
    int (*_initialize_node_struct)(ElementObject* self, const pugi::xml_node& node,
                                   const node_type_set& exclusions, PyObject* parent);
    int (*_build_children)(ElementObject* self, const pugi::xml_node& node, const node_type_set& exclusions);
    int (*_clear)(ElementObject* self);
    PyObject* (*_find_root)(ElementObject* self);
    int (*_get_type)(ElementObject* self);
    bool (*_is_null)(ElementObject* self);
    int (*_construct_position_indices)(ElementObject* self);
};

struct ElementObject {
    PyObject_HEAD
    ElementVTable* vtab;
    ::tamarack::node_struct node_struct;
    ::tamarack::position_link position_link;
    // The node position, root first, filled only by _construct_position_indices for a consumer
    // that asks for it: the module reads positions from position_link and keeps none per element.
    std::vector<std::size_t> _position_indices;
    PyObject* _parent;                           // owned: the parent Element or None
    PyObject* _children;                         // owned: list of child Elements, None only in teardown
    std::size_t _child_count;                    // children appended by the build, 0 otherwise
    // The path captured for the element a build started from, owned, null for every other element.
    // An element's path is this prefix followed by the names of the elements from there down to it,
    // read through the parent links, so a tree stores no path per element, and emptying the top
    // element (as a Document does on reset) leaves the paths below it intact.
    std::string* build_path;
    // For the root of a Document's tree, while the Document keeps the tree out of the collector:
    // that Document (not owned); null for every other element.
    DocumentObject* _owner;
};

// The records of XPath results (`_xpath_find`'s `result`, the entries `_xpath_findall` appends)
// carry only what maps a result to its element: `type` (node_null when no node was selected) and
// `hash_value` (the key of the dictionary by hash value). Their strings stay empty and their flags
// at their defaults; `_find_from_hash_value` gives the element, which holds the full snapshot.
using xpath_results = std::vector<std::unique_ptr<node_struct>>;

// Document's operation table, in slot order.
struct DocumentVTable {
    pugi::xml_document* (*_get_document)(DocumentObject* self);
    int (*_reset)(DocumentObject* self);
    int (*_load_string)(DocumentObject* self, const char* text);
    bool (*_has_root)(DocumentObject* self);
    PyObject* (*_get_root)(DocumentObject* self);
    int (*_collect_nodes_by_hash_value)(DocumentObject* self);
    PyObject* (*_find_from_hash_value)(DocumentObject* self, std::size_t hash_value);
    int (*_xpath_find)(DocumentObject* self, const char* xpath, node_struct& result);
    int (*_xpath_findall)(DocumentObject* self, const char* xpath, xpath_results& results);
};

struct DocumentObject {
    PyObject_HEAD
    DocumentVTable* vtab;
    pugi::xml_document _document;
    PyObject* _root;                  // owned: the cached root Element, or None before __init__
    int _has_document;
    // Owned: dict hash value -> Element, or None before __init__. The module answers lookups from
    // its own index and fills the dictionary only when Python code can see it (gc.get_referents):
    // a consumer that reads it while the root is built calls _collect_nodes_by_hash_value through
    // the table first, which fills it with every element of the tree. The lists of the Document's
    // tree (_children) are the tree's own: a consumer reads them and changes none.
    PyObject* _nodes_by_hash_value;
    node_type_set _node_type_exclusions;
    element_index* _index;            // owned: the lookups' index by hash value, or null
};

// The layout this header declares. Its version grows with every change of an object layout, of
// node_struct or of a table; the sizes catch what a version forgot. The module attaches its own
// description as the context of both `__pyx_vtable__` capsules.
inline constexpr std::uint32_t layout_version = 4;

struct layout_description {
    std::uint32_t version;           // first at every version, so that any two can be compared
    std::uint32_t description_size;  // sizeof(layout_description) of the side that made it
    std::size_t element_object;
    std::size_t document_object;
    std::size_t node_struct_size;
    std::size_t element_vtable;
    std::size_t document_vtable;
};

inline constexpr layout_description this_layout = {
    layout_version,         sizeof(layout_description), sizeof(ElementObject),   sizeof(DocumentObject),
    sizeof(node_struct),    sizeof(ElementVTable),      sizeof(DocumentVTable),
};

// For consumers, once at import (with the interpreter lock held): 0 when the loaded module has the
// layout this header declares; otherwise -1 with an ImportError saying which part differs.
inline int check_layout() noexcept {
    PyObject* module = PyImport_ImportModule("tamarack.pugixml");
    if (!module) return -1;
    const char* const types[] = {"Element", "Document"};
    const std::size_t sizes[] = {sizeof(ElementObject), sizeof(DocumentObject)};
    int result = 0;
    for (int i = 0; i < 2 && result == 0; ++i) {
        result = -1;
        PyObject* type = PyObject_GetAttrString(module, types[i]);
        PyObject* capsule = type ? PyObject_GetAttrString(type, "__pyx_vtable__") : nullptr;
        const void* context = capsule ? PyCapsule_GetContext(capsule) : nullptr;
        if (capsule && !context && !PyErr_Occurred())
            PyErr_Format(PyExc_ImportError, "tamarack.pugixml.%s publishes no layout description", types[i]);
        if (context) {
            const layout_description* found = static_cast<const layout_description*>(context);
            if (found->version != layout_version) {
                PyErr_Format(PyExc_ImportError, "tamarack.pugixml has native layout %u, this module was built for %u",
                             static_cast<unsigned>(found->version), static_cast<unsigned>(layout_version));
            } else if (found->description_size != sizeof(layout_description) || found->element_object != sizeof(ElementObject) ||
                       found->document_object != sizeof(DocumentObject) || found->node_struct_size != sizeof(node_struct) ||
                       found->element_vtable != sizeof(ElementVTable) || found->document_vtable != sizeof(DocumentVTable) ||
                       static_cast<std::size_t>(reinterpret_cast<PyTypeObject*>(type)->tp_basicsize) != sizes[i]) {
                PyErr_Format(PyExc_ImportError,
                             "tamarack.pugixml.%s: native layout %u, but object or table sizes differ from this "
                             "module's (another compiler or standard library?)",
                             types[i], static_cast<unsigned>(layout_version));
            } else {
                result = 0;
            }
        }
        Py_XDECREF(capsule);
        Py_XDECREF(type);
    }
    Py_DECREF(module);
    return result;
}

}  // namespace tamarack
