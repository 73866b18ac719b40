// The native interface of tamarack.pugixml for other extension modules.
//
// It declares the object layouts of Document and Element, the node snapshot record, the attribute
// map type and the operation tables in slot order. The module publishes the tables as unnamed
// capsules under `__pyx_vtable__` in each type's dict, and `_attribute_map_to_dict` in the module's
// `__pyx_capi__` dict, under a capsule named by `attribute_map_to_dict_signature`. A consumer must
// be built with the same compiler family and standard library as the module, since the layouts hold
// standard-library containers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pugixml.hpp>

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tamarack {

// Attribute name to value, UTF-8 bytes as pugixml stores them, ordered by the bytes of the name.
using cpp_string_map = std::map<std::string, std::string>;

// The capsule name under which `_attribute_map_to_dict` is exported: its native signature.
inline constexpr const char attribute_map_to_dict_signature[] =
    "PyObject *(std::map<std::string,std::string> &)";
using attribute_map_to_dict_fn = PyObject* (*)(cpp_string_map&);

// One link of an element's path: the element's own name and a shared reference to its parent's
// link. A tree of n elements holds n links whatever its depth, where a full path string per element
// would cost memory quadratic in depth. The topmost link of a tree carries the whole path of its
// node, so the chain always spells exactly what pugixml's `path('/')` gave at build time.
struct path_segment {
    std::size_t refcount;
    path_segment* parent;  // owned reference, may be null
    std::string name;
};

// Owning handle to a path_segment chain. Releasing the last handle frees the chain iteratively, so
// dropping a million-deep path never recurses.
class node_path {
public:
    node_path() noexcept = default;
    node_path(const node_path& other) noexcept : seg_(other.seg_) { retain(seg_); }
    node_path(node_path&& other) noexcept : seg_(other.seg_) { other.seg_ = nullptr; }
    node_path& operator=(node_path other) noexcept {
        std::swap(seg_, other.seg_);
        return *this;
    }
    ~node_path() { release(seg_); }

    // The path of a child named `name` of the node whose path is `parent`. With an empty parent the
    // name is taken as the whole path (the topmost link of a tree).
    static node_path child(const node_path& parent, std::string name) {
        node_path p;
        p.seg_ = new path_segment{1, parent.seg_, std::move(name)};
        retain(parent.seg_);
        return p;
    }

    bool empty() const noexcept { return seg_ == nullptr; }
    void reset() noexcept {
        release(seg_);
        seg_ = nullptr;
    }

    // The full path, delimited by slashes.
    std::string str() const {
        std::size_t length = 0;
        for (const path_segment* s = seg_; s; s = s->parent)
            length += s->name.size() + (s->parent ? 1 : 0);
        std::string out(length, '/');
        for (const path_segment* s = seg_; s; s = s->parent) {
            length -= s->name.size();
            out.replace(length, s->name.size(), s->name);
            if (s->parent) --length;  // the delimiter, already in place
        }
        return out;
    }

private:
    static void retain(path_segment* s) noexcept {
        if (s) ++s->refcount;
    }
    static void release(path_segment* s) noexcept {
        while (s && --s->refcount == 0) {
            path_segment* up = s->parent;
            delete s;
            s = up;
        }
    }
    path_segment* seg_ = nullptr;
};

// The snapshot of one pugixml node, captured once when its Element is built.
struct node_struct {
    int type = 0;                // pugi::xml_node_type value, node_null for a null handle
    std::string name;            // owned copy of the node's name
    node_path path;              // shared path links (see node_path)
    cpp_string_map attributes;   // owned copy of the attributes
    std::string text;            // owned copy of the first text run; meaningful when has_text
    bool is_empty = false;       // the captured handle was null
    bool has_text = false;       // the node's first child is PCDATA
    std::size_t hash_value = 0;  // pugixml's hash value of the node, 0 for a null handle
};

// Native links from an element to its parent, from which the node position is computed.
struct position_link {
    std::size_t index = 0;            // rank among the parent's kept children
    position_link* parent = nullptr;  // the parent element's link, not owned
};

using node_type_set = std::set<int>;

struct ElementObject;
struct DocumentObject;

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
    std::vector<std::size_t> _position_indices;  // cached node position, root first; empty = not computed
    PyObject* _parent;                           // owned: the parent Element or None
    PyObject* _children;                         // owned: list of child Elements, None only in teardown
    std::size_t _child_count;                    // children appended by the build, 0 otherwise
};

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
    PyObject* _nodes_by_hash_value;   // owned: dict hash value -> Element, or None before __init__
    node_type_set _node_type_exclusions;
};

}  // namespace tamarack
