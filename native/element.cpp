// Element: one kept node of a loaded document as a Python object. The whole tree is built in one
// pass from the pugixml DOM; afterwards every property answers from the element's own snapshot.
#include "errors.hpp"
#include "module.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace tamarack {

ElementVTable element_vtable;

namespace {

constexpr const char element_doc[] =
    "A single XML element within the document.\n"
    "\n"
    "    This class provides access to the element's attributes, children and other\n"
    "    properties. It supports iteration over its child elements, subscript access\n"
    "    and ``len()``:\n"
    "\n"
    "        for child in element: ...\n"
    "        first = element[0]\n"
    "        count = len(element)\n"
    "\n"
    "    Note:\n"
    "        Users are not meant to instantiate this class; the document structure\n"
    "        creates and manages it.\n"
    "    ";

PyObject* element_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return reinterpret_cast<PyObject*>(make_element(type));
}

int expose_tree(ElementObject* self) noexcept;

int element_traverse(PyObject* obj, visitproc visit, void* arg) noexcept {
    ElementObject* self = as_element(obj);
    // The collector never traverses an element it does not track: whoever does (gc.get_referents)
    // may change the list handed out, even make it part of a cycle, so the tree is handed to the
    // collector first, with its Document's dictionary filled.
    bool shown = is_referents_visit(visit);
    if ((!PyObject_GC_IsTracked(obj) || (shown && collects_as_one(self))) && expose_tree(self) < 0) return -1;
    Py_VISIT(self->_parent);
    // The empty list that leaves share lives as long as the module and takes part in no cycle;
    // leaving it out also keeps gc.get_referents() from handing it to anybody who could fill it.
    if (self->_children != constants.empty_list) Py_VISIT(self->_children);
    // The top element of a tree that is in the collector as one object: its children's references
    // to it, reported as references the collector can see, leave it garbage exactly when nothing
    // outside the tree refers to any of its elements. Only the collector's pass that subtracts
    // references needs them, and it is the one that passes the object traversed as `arg`
    // (gc.get_referents and gc.get_referrers pass their lists), so neither of those sees them.
    if (arg == obj && collects_as_one(self))
        for (Py_ssize_t i = references_from_inside(self); i > 0; --i) Py_VISIT(obj);
    return 0;
}

int element_clear(PyObject* obj) noexcept {
    ElementObject* self = as_element(obj);
    // The collector holds the top element of a tree it found garbage as one: the tree is taken
    // apart here, each element freed once nothing in it refers to it any more.
    if (collects_as_one(self)) release_tree(self, false);
    replace_ref(self->_parent, Py_NewRef(Py_None));
    replace_ref(self->_children, Py_NewRef(Py_None));
    return 0;
}

// The trashcan bounds the C stack when releasing one element releases a long chain of others.
// Mirrors construct_fields.
void element_dealloc(PyObject* obj) noexcept {
    ElementObject* self = as_element(obj);
    PyObject_GC_UnTrack(obj);
    Py_TRASHCAN_BEGIN(obj, element_dealloc)
    self->position_link.parent = nullptr;
    replace_ref(self->_parent, Py_NewRef(Py_None));
    self->node_struct.~node_struct();
    self->_position_indices.~vector();
    delete self->build_path;
    Py_CLEAR(self->_parent);
    Py_CLEAR(self->_children);
    Py_TYPE(obj)->tp_free(obj);
    Py_TRASHCAN_END
}

// Hands the tree of `self`, and the dictionary of the Document that holds it, to the collector.
int expose_tree(ElementObject* self) noexcept {
    ElementObject* top = self;
    while (is_element(top->_parent)) top = as_element(top->_parent);
    tree_changing(top);
    if (top->_owner && show_nodes_by_hash_value(top->_owner) < 0) return -1;
    track_tree(top);
    if (!top->_owner) return 0;
    PyObject* dict = top->_owner->_nodes_by_hash_value;
    if (PyDict_CheckExact(dict) && !PyObject_GC_IsTracked(dict)) PyObject_GC_Track(dict);
    return 0;
}

// Every field of a freshly allocated element, in declaration order: an empty element with no
// parent, holding `children` (a new reference).
void construct_fields(ElementObject* self, PyObject* children) noexcept {
    self->vtab = &element_vtable;
    new (&self->node_struct) node_struct();
    _reset_node_struct(self->node_struct);
    new (&self->position_link) position_link();
    new (&self->_position_indices) std::vector<std::size_t>();
    self->_parent = Py_NewRef(Py_None);
    self->_children = children;
    self->_child_count = 0;
    self->build_path = nullptr;
    self->_owner = nullptr;
}

}  // namespace

// The two ways an element comes to be differ only in allocation and list: one made by calling the
// type (any subclass) is tracked and owns a list of its own; one made by a tree build is exactly
// an Element, untracked, shares the empty list until the build gives it its children, and has the
// room for its snapshot's block right after the object, in the same allocation.
ElementObject* make_element(PyTypeObject* type) noexcept {
    Ref children = Ref::steal(PyList_New(0));
    if (!children) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    construct_fields(as_element(obj), children.release());
    return as_element(obj);
}

ElementObject* make_tree_element(std::size_t snapshot_size) noexcept {
    PyObject* obj = PyUnstable_Object_GC_NewWithExtraData(&ElementType, snapshot_size);
    if (!obj) return nullptr;
    construct_fields(as_element(obj), Py_NewRef(constants.empty_list));
    return as_element(obj);
}

void* snapshot_storage(ElementObject* self) noexcept {
    return reinterpret_cast<char*>(self) + sizeof(ElementObject);
}

// Links `self` below `parent` (an Element, None or null for none) as its child number `index`.
void link_to_parent(ElementObject* self, PyObject* parent, std::size_t index) noexcept {
    bool element_parent = parent && is_element(parent);
    self->position_link.parent = element_parent ? &as_element(parent)->position_link : nullptr;
    self->position_link.index = index;
    replace_ref(self->_parent, Py_NewRef(parent ? parent : Py_None));
}

// Operation table.

int set_build_path(ElementObject* self, const pugi::xml_node& node) noexcept {
    return guarded(-1, [&] {
        std::string* path = new std::string(node.path('/'));
        delete self->build_path;
        self->build_path = path;
        return 0;
    });
}

namespace {

PyObject* _create(const pugi::xml_node& node, const node_type_set& exclusions, PyObject* parent) noexcept {
    ElementObject* self = make_element(&ElementType);
    if (!self) return nullptr;
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    if (self->vtab->_initialize_node_struct(self, node, exclusions, parent) < 0) {
        release_tree(self, false);
        Py_DECREF(obj);
        return nullptr;
    }
    link_to_parent(self, parent, 0);
    // Only a Document keeps its tree out of the collector; a tree made here is an ordinary one.
    track_tree(self);
    return obj;
}

int _initialize_node_struct(ElementObject* self, const pugi::xml_node& node, const node_type_set& exclusions,
                            PyObject* parent) noexcept {
    // The native link only: the Python one is made by whoever attaches the element.
    self->position_link.parent = parent && is_element(parent) ? &as_element(parent)->position_link : nullptr;
    self->position_link.index = 0;
    if (_fill_node_struct(self->node_struct, node) < 0 || set_build_path(self, node) < 0) return -1;
    return self->vtab->_build_children(self, node, exclusions);
}

// Below an element in the collector (one made by calling the type), the children built are in it
// too; only a Document's own build keeps a tree out, and it does not come through here.
int _build_children(ElementObject* self, const pugi::xml_node& node, const node_type_set& exclusions) noexcept {
    tree_changing(self);
    if (build_subtree(self, node, exclusions) < 0) return -1;
    if (PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(self))) track_tree(self);
    return 0;
}

int _clear(ElementObject* self) noexcept {
    if (self->_child_count > 0) {
        GilGuard gil;
        tree_changing(self);
        Ref done = Ref::steal(PyObject_CallMethodNoArgs(self->_children, constants.s_clear));
        if (!done) return -1;
    }
    self->position_link.index = 0;
    _reset_node_struct(self->node_struct);
    self->_child_count = 0;
    self->_position_indices.clear();
    return 0;
}

PyObject* _find_root(ElementObject* self) noexcept {
    PyObject* current = reinterpret_cast<PyObject*>(self);
    while (is_element(current) && as_element(current)->_parent != Py_None) current = as_element(current)->_parent;
    return Py_NewRef(current);
}

int _get_type(ElementObject* self) noexcept { return self->node_struct.type; }

bool _is_null(ElementObject* self) noexcept { return self->node_struct.type == pugi::node_null; }

int _construct_position_indices(ElementObject* self) noexcept {
    return guarded(-1, [&] {
        std::vector<std::size_t> upward;
        for (const position_link* link = &self->position_link; link; link = link->parent) upward.push_back(link->index);
        self->_position_indices.clear();
        self->_position_indices.assign(upward.rbegin(), upward.rend());
        return 0;
    });
}

// Properties.

ElementObject* self_of(PyObject* obj) noexcept { return as_element(obj); }

PyObject* get_type(PyObject* obj, void*) noexcept {
    ElementObject* self = self_of(obj);
    return _node_type_to_py(self->vtab->_get_type(self));
}

PyObject* get_parent(PyObject* obj, void*) noexcept { return Py_NewRef(self_of(obj)->_parent); }

PyObject* get_root(PyObject* obj, void*) noexcept {
    ElementObject* self = self_of(obj);
    return self->vtab->_find_root(self);
}

PyObject* get_name(PyObject* obj, void*) noexcept { return name_of(self_of(obj)->node_struct.strings); }

// The path: the prefix captured where the build started, then the names down to this element. An
// empty element (fresh, or emptied by its document) has the empty path.
std::string path_of(const ElementObject* self) {
    if (self->node_struct.type == pugi::node_null) return std::string();
    std::vector<const ElementObject*> chain;
    const ElementObject* e = self;
    while (e && !e->build_path) {
        chain.push_back(e);
        e = is_element(e->_parent) ? as_element(e->_parent) : nullptr;
    }
    std::string path = e ? *e->build_path : std::string();
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        snapshot_strings::view name = (*it)->node_struct.strings.name();
        path.push_back('/');
        path.append(name.data, name.size);
    }
    return path;
}

PyObject* get_path(PyObject* obj, void*) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
        std::string path = path_of(self_of(obj));
        return decode_view({path.data(), path.size()});
    });
}

PyObject* get_text(PyObject* obj, void*) noexcept {
    const node_struct& record = self_of(obj)->node_struct;
    if (!record.has_text) Py_RETURN_NONE;
    return decode_view(record.strings.text());
}

PyObject* get_is_empty(PyObject* obj, void*) noexcept { return PyBool_FromLong(self_of(obj)->node_struct.is_empty); }

PyObject* get_is_null(PyObject* obj, void*) noexcept {
    ElementObject* self = self_of(obj);
    return PyBool_FromLong(self->vtab->_is_null(self));
}

PyObject* get_has_text(PyObject* obj, void*) noexcept { return PyBool_FromLong(self_of(obj)->node_struct.has_text); }

PyObject* get_hash_value(PyObject* obj, void*) noexcept { return PyLong_FromSize_t(self_of(obj)->node_struct.hash_value); }

PyObject* get_attributes(PyObject* obj, void*) noexcept {
    return attributes_to_dict(self_of(obj)->node_struct.strings);
}

// Built from the parent links at every read, last index first: an element keeps no copy of its
// position, which would cost memory in proportion to its depth (quadratic over a deep chain).
PyObject* get_node_position(PyObject* obj, void*) noexcept {
    ElementObject* self = self_of(obj);
    Py_ssize_t depth = 0;
    for (const position_link* link = &self->position_link; link; link = link->parent) ++depth;
    Ref tuple = Ref::steal(PyTuple_New(depth));
    if (!tuple) return nullptr;
    Py_ssize_t i = depth;
    for (const position_link* link = &self->position_link; link; link = link->parent) {
        PyObject* item = PyLong_FromSize_t(link->index);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), --i, item);
    }
    return tuple.release();
}

PyGetSetDef element_getset[] = {
    {"type", get_type, nullptr, "The type of the XML node as a :class:`NodeType`\n        ", nullptr},
    {"parent", get_parent, nullptr, "The parent element of this node, or None if it has no parent\n        ", nullptr},
    {"root", get_root, nullptr, "The root element of the XML tree\n        ", nullptr},
    {"name", get_name, nullptr, "The tag name of the XML node\n        ", nullptr},
    {"path", get_path, nullptr, "The full path of the XML node in the tree (delimited by slashes)\n        ", nullptr},
    {"text", get_text, nullptr, "The text content of the XML node, or None if it has no text\n        ", nullptr},
    {"is_empty", get_is_empty, nullptr, "Whether the XML node is empty (has no children and no text)\n        ", nullptr},
    {"is_null", get_is_null, nullptr, "Whether the XML node is null (does not exist)\n        ", nullptr},
    {"has_text", get_has_text, nullptr, "Whether the XML node has text content\n        ", nullptr},
    {"hash_value", get_hash_value, nullptr, "A unique hash value of the XML node\n        ", nullptr},
    {"attributes", get_attributes, nullptr, "A dictionary of the XML node's attributes\n        ", nullptr},
    {"node_position", get_node_position, nullptr,
     "The position of the node in the tree as a tuple of\n        indices from the root to this node\n\n        The "
     "root node will always be represented by a single zero: ``(0,)``.\n        Each subsequent index represents "
     "the position of the node among its siblings at that level.\n        ",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Text representation: "<Element name=... attributes=... text=...>", through ordinary attribute
// lookup so that a subclass's properties are used.
PyObject* element_repr(PyObject* obj) noexcept {
    PyObject* const names[] = {constants.s_name, constants.s_attributes, constants.s_text};
    Ref pieces[3];
    for (int i = 0; i < 3; ++i) {
        Ref value = Ref::steal(PyObject_GetAttr(obj, names[i]));
        if (!value) return nullptr;
        pieces[i] = Ref::steal(PyObject_Repr(value.get()));
        if (!pieces[i]) return nullptr;
        if (!PyUnicode_CheckExact(pieces[i].get())) {
            pieces[i] = Ref::steal(PyObject_Format(pieces[i].get(), constants.empty_str));
            if (!pieces[i]) return nullptr;
        }
    }
    return PyUnicode_FromFormat("<Element name=%U attributes=%U text=%U>", pieces[0].get(), pieces[1].get(),
                                pieces[2].get());
}

// find_from_position. An item of the position as an index: an exact int and None as they are,
// any other number through int(), anything else refused; a new reference, or null with an
// exception set.
PyObject* coerce_index(PyObject* item) noexcept {
    if (PyLong_CheckExact(item) || item == Py_None) return Py_NewRef(item);
    if (PyNumber_Check(item)) return PyNumber_Long(item);
    PyErr_Format(PyExc_TypeError, "Expected %.5s, got %.200s", "int", Py_TYPE(item)->tp_name);
    return nullptr;
}

// Resolves one index below `current`: a new reference to the child, Py_None when the index leads
// outside the tree, or null with an exception set.
PyObject* descend(PyObject* current, PyObject* item) noexcept {
    Ref index = Ref::steal(coerce_index(item));
    if (!index) return nullptr;
    // Only a list changed behind the tree's back (through gc.get_referents) holds anything else.
    if (!is_element(current)) Py_RETURN_NONE;
    PyObject* children = as_element(current)->_children;
    if (PyLong_CheckExact(index.get()) && PyList_CheckExact(children)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (overflow != 0 || i < 0 || i >= PyList_GET_SIZE(children)) Py_RETURN_NONE;
        return Py_NewRef(PyList_GET_ITEM(children, static_cast<Py_ssize_t>(i)));
    }
    // The general path keeps the interpreter's own errors for None items and torn-down elements.
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative < 0) return nullptr;
    if (negative) Py_RETURN_NONE;
    Py_ssize_t size = PyObject_Size(children);
    if (size < 0) return nullptr;
    Ref limit = Ref::steal(PyLong_FromSsize_t(size));
    if (!limit) return nullptr;
    int past = PyObject_RichCompareBool(index.get(), limit.get(), Py_GE);
    if (past < 0) return nullptr;
    if (past) Py_RETURN_NONE;
    return PyObject_GetItem(children, index.get());
}

PyObject* find_from_position(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* position = single_argument(args, nargs, kwnames, "find_from_position", "position");
    if (!position) return nullptr;
    if (!PyTuple_CheckExact(position)) return argument_type_error("position", &PyTuple_Type, position, true);
    ElementObject* self = self_of(obj);
    Ref current = Ref::steal(self->vtab->_find_root(self));
    Py_ssize_t size = PyTuple_GET_SIZE(position);
    for (Py_ssize_t i = 1; i < size; ++i) {
        Ref next = Ref::steal(descend(current.get(), PyTuple_GET_ITEM(position, i)));
        if (!next || next.get() == Py_None) return next.release();
        current = std::move(next);
    }
    return current.release();
}

PyObject* refuse_pickling(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyMethodDef element_methods[] = {
    {"find_from_position", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_from_position)),
     METH_FASTCALL | METH_KEYWORDS, "Find a node in the tree based on its :attr:`node_position`\n        "},
    {"walk", element_walk, METH_NOARGS,
     "Yield all nodes in the subtree rooted at this node, including itself\n        "},
    {"__reduce__", refuse_pickling, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickling, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods element_as_sequence = {
    element_len, nullptr, nullptr, element_sq_item, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMappingMethods element_as_mapping = {element_len, element_getitem, nullptr};

}  // namespace

void fill_element_vtable() noexcept {
    element_vtable._create = _create;
    element_vtable._initialize_node_struct = _initialize_node_struct;
    element_vtable._build_children = _build_children;
    element_vtable._clear = _clear;
    element_vtable._find_root = _find_root;
    element_vtable._get_type = _get_type;
    element_vtable._is_null = _is_null;
    element_vtable._construct_position_indices = _construct_position_indices;
}

PyTypeObject ElementType = [] {
    PyTypeObject t = static_type();
    t.tp_name = "tamarack.pugixml.Element";
    t.tp_basicsize = sizeof(ElementObject);
    t.tp_dealloc = element_dealloc;
    t.tp_repr = element_repr;
    t.tp_as_sequence = &element_as_sequence;
    t.tp_as_mapping = &element_as_mapping;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = element_doc;
    t.tp_traverse = element_traverse;
    t.tp_clear = element_clear;
    t.tp_iter = element_iter;
    t.tp_methods = element_methods;
    t.tp_getset = element_getset;
    t.tp_new = element_new;
    return t;
}();

}  // namespace tamarack
