// Process-wide state of the module and the functions each subsystem offers the others.
#pragma once

#include "python.hpp"

#include <tamarack/pugixml_api.hpp>

#include <cstdint>
#include <vector>

namespace tamarack {

// Module state, written only during start-up; it lives until the process ends.
struct module_state {
    PyObject* module = nullptr;     // the recorded module object
    PyObject* globals = nullptr;    // its namespace dict (borrowed from the module)
    PyObject* builtins = nullptr;   // the builtins module
    PyObject* super = nullptr;      // builtins.super
    PyObject* flexible_enum_base = nullptr;
};
extern module_state state;

// Interned strings and other constants, created at start-up before anything else is usable.
struct module_constants {
    PyObject* empty_str;
    PyObject* empty_list;  // shared by the leaves of built trees; never filled
    PyObject* s_clear;
    PyObject* s_NodeType;
    PyObject* s_name;
    PyObject* s_attributes;
    PyObject* s_text;
    PyObject* s_value_;
    PyObject* s_name_;
    PyObject* s_value2member_map_;
    PyObject* s_setdefault;
    PyObject* s_new;
    PyObject* s_repr;
    PyObject* s_class;
    PyObject* s_dunder_name;
    PyObject* s_module;
    PyObject* s_module_name;  // "tamarack.pugixml"
    PyObject* s_find_from_position;
};
extern module_constants constants;
int create_constants() noexcept;

// Node kinds (node_type.cpp).
int create_node_type() noexcept;
PyObject* _node_type_to_py(int value) noexcept;
int _node_type_from_py(PyObject* obj) noexcept;

// Node snapshots (snapshot.cpp).
//
// The decoded names and attribute keys of one build: each distinct one is decoded once and its str
// shared by the snapshots (a str is immutable, so sharing it is invisible). A small table that
// keeps the last name seen per slot: a document's names repeat, and one with ever new names only
// decodes each of them once, as every read would otherwise. Used with the interpreter lock held.
// What a snapshot of one node will hold, read before its element is made, so that the element can
// be allocated with room for the snapshot's block.
struct snapshot_plan {
    snapshot_strings::view name{"", 0};
    PyObject* name_object = nullptr;  // borrowed from the name cache
    snapshot_strings::view text{"", 0};
    bool has_text = false;
    std::vector<snapshot_strings::attribute> attributes;  // sorted, one per name
    std::size_t block_size = 0;
};

class name_cache {
public:
    name_cache() noexcept = default;
    name_cache(const name_cache&) = delete;
    name_cache& operator=(const name_cache&) = delete;
    ~name_cache();
    // The shared str of the UTF-8 bytes (borrowed: the cache or a snapshot holds it), or null when
    // they are empty or not UTF-8; -1 with an exception set when memory runs out.
    // The strs found stay alive until then, even when another name takes their slot.
    int find(const char* data, std::size_t size, PyObject*& str) noexcept;
    void release_evicted() noexcept;
    snapshot_plan plan;  // the node being captured, reused from one node to the next

private:
    static std::size_t hash_of(const char* data, std::size_t size) noexcept;
    static constexpr std::size_t slots = 512;
    static constexpr std::size_t probes = 4;
    struct slot {
        std::size_t hash = 0;
        std::size_t size = 0;
        const char* utf8 = nullptr;  // the str's own UTF-8
        PyObject* str = nullptr;     // owned
    };
    slot slots_[slots];
    std::vector<PyObject*> evicted_;  // owned: strs that lost their slot during the current fill
};
int _fill_node_struct(node_struct& record, const pugi::xml_node& n) noexcept;
// A snapshot in two steps, sharing names through `names`: what the snapshot of `n` needs (in
// names.plan: its block_size), then the snapshot, its block written into `storage` when not null.
int plan_node_struct(const pugi::xml_node& n, name_cache& names) noexcept;
int fill_planned_node_struct(node_struct& record, const pugi::xml_node& n, name_cache& names, void* storage) noexcept;
int _reset_node_struct(node_struct& record) noexcept;
PyObject* _attribute_map_to_dict(cpp_string_map& map) noexcept;
PyObject* attributes_to_dict(const snapshot_strings& strings) noexcept;
PyObject* decode_view(snapshot_strings::view v) noexcept;  // strict UTF-8
PyObject* name_of(const snapshot_strings& strings) noexcept;  // the shared str, or decoded

// Element (element.cpp) and its container protocol (traversal.cpp).
extern PyTypeObject ElementType;
extern ElementVTable element_vtable;
extern PyTypeObject IterGeneratorType;
extern PyTypeObject WalkGeneratorType;
void fill_element_vtable() noexcept;
// The one way to make an element: by calling the type (tracked, a list of its own), or for a tree
// build (exactly an Element, untracked, the shared empty list); and to link it below a parent.
ElementObject* make_element(PyTypeObject* type) noexcept;
ElementObject* make_tree_element(std::size_t snapshot_size) noexcept;
// The room after a tree element for its snapshot's block.
void* snapshot_storage(ElementObject* self) noexcept;
void link_to_parent(ElementObject* self, PyObject* parent, std::size_t index) noexcept;
Py_ssize_t element_len(PyObject* self) noexcept;
PyObject* element_getitem(PyObject* self, PyObject* index) noexcept;
PyObject* element_sq_item(PyObject* self, Py_ssize_t index) noexcept;
PyObject* element_iter(PyObject* self) noexcept;
PyObject* element_walk(PyObject* self, PyObject* unused) noexcept;
int set_build_path(ElementObject* self, const pugi::xml_node& node) noexcept;

// Trees of elements (tree.cpp).
// Builds the elements below `top`, sharing the decoded names of `names` (of its own when null).
// Enters every element built into `index`, when given, as the build makes it. `kept_children`,
// when given and not empty, holds how many kept children each element has, in pre-order.
int build_subtree(ElementObject* top, const pugi::xml_node& node, const node_type_set& exclusions,
                  name_cache* names = nullptr, element_index* index = nullptr,
                  const std::vector<std::uint32_t>* kept_children = nullptr) noexcept;
// A Document's tree, its elements entered into `index` (cleared first) when given.
PyObject* create_untracked_tree(const pugi::xml_node& node, const node_type_set& exclusions,
                                element_index* index) noexcept;
void track_tree(ElementObject* top) noexcept;
// `known` counts the references to `top` that its caller holds besides its owner's. When something
// outside refers to an element, the tree goes to the collector: element by element, or, `as_one`,
// as its top element alone (a Document letting go of its tree for good).
void release_tree(ElementObject* top, bool keep_top, Py_ssize_t known = 0, bool as_one = false) noexcept;
// release_tree in two steps, for a tree of which every element is also held `extra` times by
// whoever releases it: holds every element (false, holding none, when something outside refers to
// one, or without memory), and, once the caller has handed those references to the release, cuts
// every element's links and lets go of its references.
bool hold_if_unreferred(ElementObject* top, std::vector<ElementObject*>& held, Py_ssize_t known,
                        Py_ssize_t extra) noexcept;
void release_held(const std::vector<ElementObject*>& held, ElementObject* top, bool keep_top, Py_ssize_t extra) noexcept;
// The check of the first step alone, for `elements` known to be exactly the elements of the tree of
// `top`, each held `extra` times besides.
bool referred_to_from_inside_only(const std::vector<ElementObject*>& elements, const ElementObject* top,
                                  Py_ssize_t known, Py_ssize_t extra) noexcept;
// A tree whose top element alone is in the collector, which it answers to for the whole tree: it
// is garbage when nothing outside the tree refers to any of its elements.
bool collects_as_one(ElementObject* top) noexcept;
// The references that the elements of such a tree hold to `top`, its children's, when nothing
// outside refers to an element below it or to a list; 0 otherwise.
Py_ssize_t references_from_inside(ElementObject* top) noexcept;
// The same for a tree whose every element `dict` also holds, once (a Document's filled dictionary by
// hash value): false, changing nothing, when something outside refers to an element; otherwise
// every link is cut, and clearing `dict` frees the elements.
bool release_tree_held_by(ElementObject* top, bool keep_top, PyObject* dict, Py_ssize_t known = 0) noexcept;
inline bool is_element(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, &ElementType); }
inline ElementObject* as_element(PyObject* obj) noexcept { return reinterpret_cast<ElementObject*>(obj); }

// A frame of a pre-order walk: a list of children and the next one's index.
struct preorder_frame {
    PyObject* children;  // borrowed: kept alive by its element, itself kept alive by the tree
    Py_ssize_t index;
};

// Calls `visit` on every element of the tree, root first, then in pre-order, exactly as a walk of
// the root yields them, until it returns -1; reads the lists directly, and runs no code of anybody
// else's, so `visit` must not either. `stack` is the walk's own (emptied first): it holds a frame
// for each element on the way down that has children, so with room for one more frame than the
// elements visited it never allocates. Otherwise throws std::bad_alloc.
template <class Visit>
int walk_in_preorder(ElementObject* root, std::vector<preorder_frame>& stack, Visit&& visit) {
    stack.clear();
    if (visit(root) < 0) return -1;
    stack.push_back({root->_children, 0});
    while (!stack.empty()) {
        preorder_frame& top = stack.back();
        if (!PyList_Check(top.children) || top.index >= PyList_GET_SIZE(top.children)) {
            stack.pop_back();
            continue;
        }
        PyObject* child = PyList_GET_ITEM(top.children, top.index++);
        if (!is_element(child)) continue;
        if (visit(as_element(child)) < 0) return -1;
        PyObject* below = as_element(child)->_children;
        if (PyList_Check(below) && PyList_GET_SIZE(below) > 0) stack.push_back({below, 0});
    }
    return 0;
}

template <class Visit>
int walk_in_preorder(ElementObject* root, Visit&& visit) {
    std::vector<preorder_frame> stack;
    return walk_in_preorder(root, stack, visit);
}

// Document (document.cpp).
extern PyTypeObject DocumentType;
extern DocumentVTable document_vtable;
void fill_document_vtable() noexcept;
inline DocumentObject* as_document(PyObject* obj) noexcept { return reinterpret_cast<DocumentObject*>(obj); }
// The UTF-8 text of an exact str: in place for ASCII, otherwise encoded into `holder`.
const char* utf8_of(PyObject* text, Ref& holder) noexcept;

// Loading files and bytes, and the position of a parse error (loading.cpp).
PyObject* load_file(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* load_bytes(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// load_string's own loading of a str that is not ASCII, as _load_string loads its UTF-8 (one copy
// fewer); 0, or -1 with an exception set.
int load_wide_str(DocumentObject* self, PyObject* text) noexcept;
// Raises RuntimeError with pugixml's description and the attributes offset, line and column, read
// from the `size` bytes of UTF-8 that pugixml parsed; with the interpreter lock held.
void set_parse_error(const pugi::xml_parse_result& result, const char* text, std::size_t size) noexcept;

// Lookups by hash value and by node position (lookup.cpp).
void drop_index(DocumentObject* self) noexcept;  // after every change of the dictionary
// Releases the Document's tree, as release_tree would, taking over the references of an index that
// stands in for the dictionary and holds exactly the tree's elements, instead of dropping them in a
// pass of their own: false, changing nothing, when the index is not such, or when something outside
// refers to an element of the tree.
bool release_tree_with_index(DocumentObject* self, ElementObject* top, bool keep_top) noexcept;
// Before a change of the tree that `element` belongs to, or before its lists are shown: the entries
// its build made are dropped, and the tree is no longer as built.
void tree_changing(ElementObject* element) noexcept;
// The top element of the Document's tree (borrowed) when it is built and still exactly as built,
// with an element of every element of the document: then a walk of it finds, in document order,
// the elements that a query over the document selects. Null otherwise.
ElementObject* tree_as_built(DocumentObject* self) noexcept;
// Readies the lookups, as the first lookup does, and tells whether each element of a tree as built
// is still what a lookup of its node gives: 1 or 0, or -1 with an exception set.
int lookups_by_tree(DocumentObject* self) noexcept;
// The first query of a tree as built may take the index's references itself, one per element, in
// its own walk of the tree, instead of leaving a pass over the tree to the first lookup: the number
// of references to take (0: the lookups are ready, or take them otherwise); then starting, which
// watches the dictionary (false: take none); then, after taking all of them or giving back all
// taken, finishing.
std::size_t entries_to_take_over(DocumentObject* self) noexcept;
bool start_taking_over(DocumentObject* self) noexcept;
void finish_taking_over(DocumentObject* self, bool taken) noexcept;
int _collect_nodes_by_hash_value(DocumentObject* self) noexcept;
PyObject* _find_from_hash_value(DocumentObject* self, std::size_t hash_value) noexcept;
// Fills the dictionary by hash value when the native index has stood in for it so far: before
// anybody is shown the dictionary or the tree's lists.
int show_nodes_by_hash_value(DocumentObject* self) noexcept;
// Whether `visit` is gc.get_referents' visitor, which the module learns at start-up.
bool is_referents_visit(visitproc visit) noexcept;
void find_referents_visit() noexcept;
PyObject* get_node_by_position(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// XPath queries (xpath.cpp).
int _xpath_find(DocumentObject* self, const char* xpath, node_struct& result) noexcept;
int _xpath_findall(DocumentObject* self, const char* xpath, xpath_results& results) noexcept;
PyObject* xpath_find(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* xpath_findall(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Queries that return values (xpath_value.cpp).
PyObject* xpath(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Annotated method objects (method.cpp).
extern PyTypeObject AnnotatedMethodType;
int install_annotated_methods() noexcept;

}  // namespace tamarack
