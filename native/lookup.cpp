// Lookups by hash value and by node position: the Document's dictionary by hash value, filled
// from the built tree on first use, and its native mirror.
#include "element_index.hpp"
#include "errors.hpp"
#include "module.hpp"

#include <new>
#include <unordered_map>
#include <vector>

namespace tamarack {

namespace {

// The mirrors by the dictionary they mirror. A dictionary watcher (one for the module) drops a
// mirror at any change that its document did not announce by dropping the mirror first: an entry
// replaced or removed through gc.get_referents, or by a consumer of the native interface.
std::unordered_map<const PyObject*, element_index*> mirrors;
int watcher_id = -1;

int on_dictionary_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    auto found = mirrors.find(dict);
    if (found == mirrors.end()) return 0;
    element_index* index = found->second;
    mirrors.erase(found);
    PyDict_Unwatch(watcher_id, dict);
    index->clear();
    return 0;
}

// Starts watching `dict` for `index`; false when it cannot, and there is then no mirror.
bool watch(PyObject* dict, element_index* index) noexcept {
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_dictionary_change);
        if (watcher_id < 0) {
            PyErr_Clear();
            return false;
        }
    }
    if (!or_fallback(false, [&] { return mirrors.emplace(dict, index).second; })) return false;
    if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();
        mirrors.erase(dict);
        return false;
    }
    return true;
}

void unwatch(PyObject* dict) noexcept {
    mirrors.erase(dict);
    PyDict_Unwatch(watcher_id, dict);
}

// gc.get_referents hands out what a traverse function reports; the collector's own passes call the
// same functions with other visitors. The module learns which visitor is get_referents' from a
// probe object at start-up, so that a Document shows its dictionary filled to exactly those callers.
visitproc referents_visit = nullptr;

int probe_traverse(PyObject*, visitproc visit, void*) noexcept {
    referents_visit = visit;
    return 0;
}

void probe_dealloc(PyObject* obj) noexcept {
    PyObject_GC_UnTrack(obj);
    PyObject_GC_Del(obj);
}

PyTypeObject ProbeType = [] {
    PyTypeObject t = static_type();
    t.tp_name = "tamarack.pugixml._probe";
    t.tp_basicsize = sizeof(PyObject);
    t.tp_dealloc = probe_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = probe_traverse;
    return t;
}();

// Whether an index that holds the elements itself may stand in for the empty dictionary: only
// while nobody can tell. The tree must be the Document's own, out of the collector and so never
// handed to anybody's code, the dictionary exactly a dict that a watcher tells of every change, the
// table entry that fills it the module's own, and gc.get_referents known, through which alone
// Python code reaches the dictionary (the Document fills it before it shows it).
bool can_stand_in(DocumentObject* self, PyObject* dict) noexcept {
    if (!referents_visit || self->vtab->_collect_nodes_by_hash_value != _collect_nodes_by_hash_value) return false;
    if (!PyDict_CheckExact(dict) || !is_element(self->_root)) return false;
    return !PyObject_GC_IsTracked(self->_root) && as_element(self->_root)->_owner == self;
}

// Enters every element of the built tree under its hash value, root first, then in pre-order,
// exactly as a walk of the root yields them.
int insert_by_hash_value(PyObject* dict, ElementObject* element) noexcept {
    Ref key = Ref::steal(PyLong_FromSize_t(element->node_struct.hash_value));
    if (!key) return -1;
    return PyDict_SetItem(dict, key.get(), reinterpret_cast<PyObject*>(element));
}

int collect_in_preorder(PyObject* dict, ElementObject* root,
                        std::vector<std::pair<std::size_t, ElementObject*>>& entries) noexcept {
    return guarded(-1, [&] {
        return walk_in_preorder(root, [&](ElementObject* e) {
            if (insert_by_hash_value(dict, e) < 0) return -1;
            entries.emplace_back(e->node_struct.hash_value, e);
            return 0;
        });
    });
}

// Mirrors the dictionary just filled; without memory or a watcher for it, lookups use the
// dictionary itself.
void fill_index(DocumentObject* self, const std::vector<std::pair<std::size_t, ElementObject*>>& entries) noexcept {
    bool built = or_fallback(false, [&] {
        if (!self->_index) self->_index = new element_index();
        std::size_t low = 0, high = 0;
        for (const auto& [key, element] : entries) {
            if (low == 0 || key < low) low = key;
            if (key > high) high = key;
        }
        self->_index->reserve(entries.size(), low, high);
        for (const auto& [key, element] : entries) self->_index->add(key, element);
        return true;
    });
    if (built && watch(self->_nodes_by_hash_value, self->_index))
        self->_index->mirror(self->_nodes_by_hash_value);
    else
        drop_index(self);
}

// Lookups before anybody can see the dictionary: an index that holds every element of the tree,
// as the filled dictionary would, and watches the dictionary, still empty, like a mirror. It takes
// over the entries that the build made, or walks the tree for them.
int stand_in(DocumentObject* self) noexcept {
    Ref root = Ref::steal(self->vtab->_get_root(self));
    if (!root) return -1;
    if (!is_element(root.get())) return 0;
    element_index* index = self->_index;
    if (!index || index->current() != element_index::state::built) {
        drop_index(self);
        bool walked = or_fallback(false, [&] {
            if (!self->_index) self->_index = new element_index();
            index = self->_index;
            walk_in_preorder(as_element(root.get()), [&](ElementObject* e) {
                index->add(e->node_struct.hash_value, e);
                return 0;
            });
            return true;
        });
        if (!walked) {
            drop_index(self);
            return _collect_nodes_by_hash_value(self);
        }
    }
    if (!watch(self->_nodes_by_hash_value, index)) {
        drop_index(self);
        return _collect_nodes_by_hash_value(self);
    }
    index->stand_in_for(self->_nodes_by_hash_value);
    return 0;
}

}  // namespace

// Every change of the dictionary by hash value drops its native mirror first.
void drop_index(DocumentObject* self) noexcept {
    if (!self->_index) return;
    if (PyObject* dict = self->_index->mirrored()) unwatch(dict);
    self->_index->clear();
}

bool release_tree_with_index(DocumentObject* self, ElementObject* top, bool keep_top) noexcept {
    element_index* index = self->_index;
    if (!index || index->current() != element_index::state::standing_in || !index->entries_are_the_tree())
        return false;
    // The ranked entries are the whole tree, in pre-order, each held by the index: they serve as
    // the release's own list, with no walk of the tree and no reference of its own.
    const std::vector<ElementObject*>& ranked = index->ranked_elements();
    if (!ranked.empty() && ranked.front() == top) {
        if (!referred_to_from_inside_only(ranked, top, 1, 1)) return false;
        unwatch(index->mirrored());
        release_held(index->hand_over_ranked_elements(), top, keep_top, 0);
        return true;
    }
    std::vector<ElementObject*> held;
    if (!hold_if_unreferred(top, held, 1, 1)) return false;
    unwatch(index->mirrored());
    index->hand_over_references();
    release_held(held, top, keep_top, 1);
    return true;
}

void tree_changing(ElementObject* element) noexcept {
    while (is_element(element->_parent)) element = as_element(element->_parent);
    DocumentObject* owner = element->_owner;
    if (!owner || !owner->_index) return;
    if (owner->_index->current() == element_index::state::built) drop_index(owner);
    owner->_index->tree_changed();
}

int _collect_nodes_by_hash_value(DocumentObject* self) noexcept {
    if (!self->_has_document) return 0;
    Ref root = Ref::steal(self->vtab->_get_root(self));
    if (!root) return -1;
    PyObject* dict = self->_nodes_by_hash_value;
    if (!PyDict_Check(dict)) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.30s'", Py_TYPE(dict)->tp_name, "clear");
        return -1;
    }
    drop_index(self);
    PyDict_Clear(dict);
    if (!is_element(root.get())) return 0;
    std::vector<std::pair<std::size_t, ElementObject*>> entries;
    if (collect_in_preorder(dict, as_element(root.get()), entries) < 0) {
        // A half-filled dictionary would answer None for what it misses until the next reset:
        // empty, the next lookup fills it again.
        PyObject* failure = PyErr_GetRaisedException();
        PyDict_Clear(dict);
        PyErr_SetRaisedException(failure);
        add_traceback("tamarack.pugixml.Document._collect_nodes_by_hash_value");
        return -1;
    }
    // The tree is out of the collector while the Document holds it, and so may the dictionary be,
    // which refers to nothing else; the collector would otherwise visit every element through it.
    // A tree handed to the collector takes the dictionary with it.
    if (!PyObject_GC_IsTracked(root.get())) PyObject_GC_UnTrack(dict);
    fill_index(self, entries);
    return 0;
}

namespace {

// Makes the dictionary, or the index standing in for it, ready for lookups: the first lookup after
// a build or a reset fills one of them. 0, or -1 with an exception set.
int prepare_lookups(DocumentObject* self) noexcept {
    PyObject* dict = self->_nodes_by_hash_value;
    Py_ssize_t size = PyDict_CheckExact(dict) ? PyDict_GET_SIZE(dict) : PyObject_Size(dict);
    if (size < 0) return -1;
    bool indexed = self->_index && self->_index->mirrors(dict);
    if (size > 0 || indexed) return 0;
    // A first lookup before the tree is built builds it first, so that the entries its build makes
    // can stand in for the dictionary.
    if (!self->vtab->_has_root(self)) {
        Ref root = Ref::steal(self->vtab->_get_root(self));
        if (!root) return -1;
        dict = self->_nodes_by_hash_value;
    }
    return can_stand_in(self, dict) ? stand_in(self) : self->vtab->_collect_nodes_by_hash_value(self);
}

}  // namespace

PyObject* _find_from_hash_value(DocumentObject* self, std::size_t hash_value) noexcept {
    if (!self->_has_document) Py_RETURN_NONE;
    if (prepare_lookups(self) < 0) return nullptr;
    if (self->_index && self->_index->mirrors(self->_nodes_by_hash_value)) {
        ElementObject* element = self->_index->find(hash_value);
        if (!element) Py_RETURN_NONE;
        return Py_NewRef(reinterpret_cast<PyObject*>(element));
    }
    Ref key = Ref::steal(PyLong_FromSize_t(hash_value));
    if (!key) return nullptr;
    PyObject* found = PyDict_GetItemWithError(self->_nodes_by_hash_value, key.get());
    if (!found) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    return Py_NewRef(found);
}

ElementObject* tree_as_built(DocumentObject* self) noexcept {
    // Lookups through another's table may answer otherwise than the index.
    if (!self->_has_document || self->vtab->_find_from_hash_value != _find_from_hash_value) return nullptr;
    if (!self->vtab->_has_root(self) || !self->_index || !self->_index->tree_as_built()) return nullptr;
    if (!can_stand_in(self, self->_nodes_by_hash_value)) return nullptr;
    return as_element(self->_root);
}

int lookups_by_tree(DocumentObject* self) noexcept {
    if (!tree_as_built(self)) return 0;
    if (prepare_lookups(self) < 0) return -1;
    return tree_as_built(self) && self->_index->mirrors(self->_nodes_by_hash_value);
}

std::size_t entries_to_take_over(DocumentObject* self) noexcept {
    element_index* index = self->_index;
    PyObject* dict = self->_nodes_by_hash_value;
    if (!tree_as_built(self) || index->current() != element_index::state::built) return 0;
    if (PyDict_GET_SIZE(dict) != 0) return 0;
    return index->size();
}

bool start_taking_over(DocumentObject* self) noexcept {
    return watch(self->_nodes_by_hash_value, self->_index);
}

void finish_taking_over(DocumentObject* self, bool taken) noexcept {
    PyObject* dict = self->_nodes_by_hash_value;
    if (taken)
        self->_index->stand_in_with_references_taken(dict);
    else
        unwatch(dict);
}

int show_nodes_by_hash_value(DocumentObject* self) noexcept {
    if (!self->_index) return 0;
    switch (self->_index->current()) {
        case element_index::state::built: drop_index(self); return 0;
        case element_index::state::standing_in: return _collect_nodes_by_hash_value(self);
        default: return 0;
    }
}

bool is_referents_visit(visitproc visit) noexcept { return visit && visit == referents_visit; }

void find_referents_visit() noexcept {
    referents_visit = nullptr;
    if (PyType_Ready(&ProbeType) < 0) {
        PyErr_Clear();
        return;
    }
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    Ref probe = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(PyObject, &ProbeType)));
    Ref found = !gc || !probe ? Ref() : Ref::steal(PyObject_CallMethod(gc.get(), "get_referents", "O", probe.get()));
    if (!found) {
        PyErr_Clear();
        referents_visit = nullptr;
    }
}

PyObject* get_node_by_position(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* position = single_argument(args, nargs, kwnames, "get_node_by_position", "node_position");
    if (!position) return nullptr;
    if (!PyTuple_CheckExact(position) && position != Py_None)
        return argument_type_error("node_position", &PyTuple_Type, position);
    DocumentObject* self = as_document(obj);
    if (!self->_has_document) Py_RETURN_NONE;
    Ref root = Ref::steal(self->vtab->_get_root(self));
    if (!root) return nullptr;
    PyObject* call_args[] = {root.get(), position};
    PyObject* found = PyObject_VectorcallMethod(constants.s_find_from_position, call_args,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!found) add_traceback("tamarack.pugixml.Document.get_node_by_position");
    return found;
}

}  // namespace tamarack
