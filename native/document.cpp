// Document: one loaded XML text, its node-type exclusions and the lazily built root Element; its
// lookups live in lookup.cpp and its XPath queries in xpath.cpp.
#include "element_index.hpp"
#include "errors.hpp"
#include "module.hpp"

#include <cstring>
#include <new>
#include <vector>

namespace tamarack {

DocumentVTable document_vtable;

// An ASCII str is its own UTF-8 and is read in place; any other is encoded into `holder`.
const char* utf8_of(PyObject* text, Ref& holder) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(text)) return PyUnicode_AsUTF8AndSize(text, nullptr);
    holder = Ref::steal(PyUnicode_AsUTF8String(text));
    return holder ? PyBytes_AS_STRING(holder.get()) : nullptr;
}

namespace {

bool _has_root(DocumentObject* self) noexcept;

// Lets go of the built tree, which the Document kept out of the collector: its elements are freed
// now when nothing else refers to them, or handed to the collector. The dictionary's references
// are dropped first, when the dictionary is the Document's alone.
//
// Emptying the dictionary may run code of anybody's (an object put into it through
// gc.get_referents), which may clear, reload or query this very document: the root and the
// dictionary are held for the whole release, and nothing read before is trusted after.
// Returns the root it released, held, or no object when there was no built tree.
Ref release_built_tree(DocumentObject* self, bool keep_root) noexcept {
    if (!_has_root(self)) return Ref();
    Ref root = Ref::borrow(self->_root);
    Ref dict = Ref::borrow(self->_nodes_by_hash_value);
    ElementObject* top = as_element(root.get());
    top->_owner = nullptr;
    // Filled, and unchanged since (only then has it a mirror).
    bool complete = self->_index && self->_index->mirrors(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0;
    // An index that stands in for the empty dictionary holds the elements as the filled dictionary
    // would: the release takes its references over.
    if (Py_REFCNT(dict.get()) == 2 && release_tree_with_index(self, top, keep_root)) return root;
    drop_index(self);
    if (!PyDict_Check(dict.get()) || Py_REFCNT(dict.get()) != 2) {
        // Someone else holds the dictionary too. A reset empties it all the same; otherwise its
        // entries count as references from outside.
        if (keep_root && PyDict_Check(dict.get())) PyDict_Clear(dict.get());
        release_tree(top, keep_root, 1, !keep_root);
        return root;
    }
    // A completely filled dictionary holds every element of the tree, in pre-order: the release
    // works through it, and clearing it then frees the elements one by one.
    bool released = complete && release_tree_held_by(top, keep_root, dict.get(), 1);
    PyDict_Clear(dict.get());
    if (!released) release_tree(top, keep_root, 1, !keep_root);
    return root;
}

// Allocation, initialisation, collector support.

PyObject* document_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    DocumentObject* self = as_document(obj);
    self->vtab = &document_vtable;
    new (&self->_document) pugi::xml_document();
    new (&self->_node_type_exclusions) node_type_set();
    self->_root = Py_NewRef(Py_None);
    self->_has_document = 0;
    self->_nodes_by_hash_value = Py_NewRef(Py_None);
    self->_index = nullptr;
    return obj;
}

int document_init(PyObject* obj, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "__init__() takes exactly 0 positional arguments (%zd given)",
                     PyTuple_GET_SIZE(args));
        return -1;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(kwargs, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "__init__() got an unexpected keyword argument '%S'", key);
        return -1;
    }
    DocumentObject* self = as_document(obj);
    PyObject* root = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&ElementType));
    if (root) release_built_tree(self, false);
    if (!root) return -1;
    replace_ref(self->_root, root);
    PyObject* dict = PyDict_New();
    if (!dict) return -1;
    drop_index(self);
    replace_ref(self->_nodes_by_hash_value, dict);
    return 0;
}

int document_traverse(PyObject* obj, visitproc visit, void* arg) noexcept {
    DocumentObject* self = as_document(obj);
    // Python code sees the dictionary filled, as the lookups would have left it.
    if (is_referents_visit(visit) && show_nodes_by_hash_value(self) < 0) return -1;
    Py_VISIT(self->_root);
    Py_VISIT(self->_nodes_by_hash_value);
    return 0;
}

int document_clear(PyObject* obj) noexcept {
    DocumentObject* self = as_document(obj);
    release_built_tree(self, false);
    drop_index(self);
    replace_ref(self->_root, Py_NewRef(Py_None));
    replace_ref(self->_nodes_by_hash_value, Py_NewRef(Py_None));
    return 0;
}

void document_dealloc(PyObject* obj) noexcept {
    DocumentObject* self = as_document(obj);
    PyObject_GC_UnTrack(obj);
    release_built_tree(self, false);
    drop_index(self);
    self->_document.~xml_document();
    self->_node_type_exclusions.~node_type_set();
    delete self->_index;
    Py_CLEAR(self->_root);
    Py_CLEAR(self->_nodes_by_hash_value);
    Py_TYPE(obj)->tp_free(obj);
}

// Operation table.

pugi::xml_document* _get_document(DocumentObject* self) noexcept { return &self->_document; }

bool _has_root(DocumentObject* self) noexcept {
    if (!self->_has_document || !is_element(self->_root)) return false;
    ElementObject* root = as_element(self->_root);
    return !root->vtab->_is_null(root);
}

int _reset(DocumentObject* self) noexcept {
    // Releasing may run code that loads and builds again: repeated until no built tree is left.
    while (self->vtab->_has_root(self)) {
        GilGuard gil;
        if (self->_nodes_by_hash_value == Py_None) {
            PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "clear");
            add_traceback("tamarack.pugixml.Document._reset");
            return -1;
        }
        Ref held = release_built_tree(self, true);  // empties the dictionary
        if (!held) break;
        ElementObject* root = as_element(held.get());
        if (root->vtab->_clear(root) < 0) {
            add_traceback("tamarack.pugixml.Document._reset");
            return -1;
        }
    }
    self->_has_document = 0;
    self->_document.reset();
    return 0;
}

int _load_string(DocumentObject* self, const char* text) noexcept {
    if (self->vtab->_reset(self) < 0) return -1;
    pugi::xml_parse_result result = self->_document.load_string(text, pugi::parse_default);
    if (result.status == pugi::status_ok) {
        self->_has_document = 1;
        return 0;
    }
    // pugixml keeps what it parsed before the error; a failed load leaves nothing loaded, so the
    // partial tree goes too, and later queries see the same empty document as after clear().
    self->_document.reset();
    GilGuard gil;
    set_parse_error(result, text, std::strlen(text));
    add_traceback("tamarack.pugixml.Document._load_string");
    return -1;
}

PyObject* _get_root(DocumentObject* self) noexcept {
    if (!self->_has_document) Py_RETURN_NONE;
    if (self->vtab->_has_root(self)) return Py_NewRef(self->_root);
    pugi::xml_node document_element = self->_document.document_element();
    // The build enters its elements into the index, for the lookups of the first query.
    drop_index(self);
    if (!self->_index) self->_index = or_fallback(static_cast<element_index*>(nullptr), [] { return new element_index(); });
    PyObject* root = create_untracked_tree(document_element, self->_node_type_exclusions, self->_index);
    if (!root) {
        add_traceback("tamarack.pugixml.Document._get_root");
        return nullptr;
    }
    as_element(root)->_owner = self;
    replace_ref(self->_root, root);
    return Py_NewRef(root);
}


// Python-visible methods.

PyObject* load_string(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* text = single_argument(args, nargs, kwnames, "load_string", "xml_string");
    if (!text) return nullptr;
    if (!PyUnicode_CheckExact(text)) return argument_type_error("xml_string", &PyUnicode_Type, text);
    DocumentObject* self = as_document(obj);
    // Unless the table's entry is another's, a str that is not ASCII is encoded straight into the
    // buffer that pugixml parses.
    if (!PyUnicode_IS_COMPACT_ASCII(text) && self->vtab->_load_string == _load_string) {
        if (load_wide_str(self, text) < 0) {
            add_traceback("tamarack.pugixml.Document.load_string");
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref holder;
    const char* utf8 = utf8_of(text, holder);
    if (!utf8) return nullptr;
    if (self->vtab->_load_string(self, utf8) < 0) {
        add_traceback("tamarack.pugixml.Document.load_string");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* clear(PyObject* obj, PyObject*) noexcept {
    DocumentObject* self = as_document(obj);
    if (self->vtab->_reset(self) < 0) {
        add_traceback("tamarack.pugixml.Document.clear");
        return nullptr;
    }
    Py_RETURN_NONE;
}

int insert_exclusion(DocumentObject* self, PyObject* item) noexcept {
    int value = _node_type_from_py(item);
    if (PyErr_Occurred()) return -1;
    return guarded(-1, [&] {
        self->_node_type_exclusions.insert(value);
        return 0;
    });
}

PyObject* add_node_type_exclusion(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* node_type = single_argument(args, nargs, kwnames, "add_node_type_exclusion", "node_type");
    if (!node_type) return nullptr;
    if (insert_exclusion(as_document(obj), node_type) < 0) {
        add_traceback("tamarack.pugixml.Document.add_node_type_exclusion");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* set_node_type_exclusions(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* node_types = single_argument(args, nargs, kwnames, "set_node_type_exclusions", "node_types");
    if (!node_types) return nullptr;
    if (!PyList_CheckExact(node_types)) return argument_type_error("node_types", &PyList_Type, node_types, true);
    DocumentObject* self = as_document(obj);
    self->_node_type_exclusions.clear();
    // The length is read again before each item: converting one may run code that changes the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node_types); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(node_types, i));
        if (insert_exclusion(self, item.get()) < 0) {
            add_traceback("tamarack.pugixml.Document.set_node_type_exclusions");
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* get_root(PyObject* obj, PyObject*) noexcept {
    DocumentObject* self = as_document(obj);
    PyObject* root = self->vtab->_get_root(self);
    if (!root) add_traceback("tamarack.pugixml.Document.get_root");
    return root;
}


PyObject* refuse_pickling(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyObject* get_has_document(PyObject* obj, void*) noexcept { return PyBool_FromLong(as_document(obj)->_has_document != 0); }

PyObject* get_has_root(PyObject* obj, void*) noexcept {
    DocumentObject* self = as_document(obj);
    return PyBool_FromLong(self->vtab->_has_root(self));
}

template <auto F>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef document_methods[] = {
    {"load_string", fastcall<load_string>(), METH_FASTCALL | METH_KEYWORDS,
     "Load an XML string into the document\n\n        This method only parses the document.\n        To access "
     "the root element, use the :meth:`get_root` method.\n\n        Args:\n            xml_string: The XML string "
     "to load into the document.\n        "},
    {"load_file", fastcall<load_file>(), METH_FASTCALL | METH_KEYWORDS,
     "Load an XML file into the document\n\n        The encoding is found as XML 1.0 Appendix F says: a byte order mark,\n        "
     "then the first bytes, then the encoding of the XML declaration,\n        else UTF-8. The interpreter lock is "
     "released while the file is\n        read and parsed; the document is empty meanwhile.\n\n        Args:\n"
     "            path: The file's path, a str, bytes or os.PathLike object.\n        "},
    {"load_bytes", fastcall<load_bytes>(), METH_FASTCALL | METH_KEYWORDS,
     "Load an XML document from bytes into the document\n\n        The bytes are copied, and their encoding is "
     "found as for\n        :meth:`load_file`. The interpreter lock is released while they\n        are parsed; the "
     "document is empty meanwhile.\n\n        Args:\n            data: Any object with the buffer protocol "
     "(bytes, bytearray,\n                memoryview, mmap).\n        "},
    {"clear", clear, METH_NOARGS, "Clear the XML document, resetting it to an empty state\n        "},
    {"add_node_type_exclusion", fastcall<add_node_type_exclusion>(), METH_FASTCALL | METH_KEYWORDS,
     "Add a node type to the set of excluded node types\n        "},
    {"set_node_type_exclusions", fastcall<set_node_type_exclusions>(), METH_FASTCALL | METH_KEYWORDS,
     "Set the node type exclusions to the given list of node types\n        "},
    {"get_root", get_root, METH_NOARGS,
     "Get the root element of the currently-loaded XML document.\n\n        Returns:\n            The root "
     ":class:`Element` if it exists, otherwise None.\n        "},
    {"get_node_by_position", fastcall<get_node_by_position>(), METH_FASTCALL | METH_KEYWORDS,
     "Get the XML node represented by its :attr:`~Element.node_position`\n        "},
    {"xpath_find", fastcall<xpath_find>(), METH_FASTCALL | METH_KEYWORDS,
     "Find the first element matching the given XPath expression\n\n        Args:\n            xpath: The XPath "
     "expression to evaluate.\n\n        Returns:\n            The first :class:`Element` matching the XPath "
     "expression,\n            or None if no match is found.\n        "},
    {"xpath_findall", fastcall<xpath_findall>(), METH_FASTCALL | METH_KEYWORDS,
     "Find all elements matching the given XPath expression.\n\n        Args:\n            xpath: The XPath "
     "expression to evaluate.\n\n        Returns:\n            A list of :class:`Element` instances matching the "
     "XPath expression.\n        "},
    {"xpath", fastcall<xpath>(), METH_FASTCALL | METH_KEYWORDS,
     "Evaluate an XPath 1.0 expression and return its value\n\n        Args:\n            expression: The XPath "
     "expression to evaluate.\n            context: An :class:`Element` of this document's current tree that "
     "relative\n                paths start from, or None for the document node.\n            variables: A "
     "mapping of names to values for ``$name`` references:\n                str, int or float, bool, or a list of "
     ":class:`Element` instances\n                of this document's current tree (a node set).\n\n        "
     "Returns:\n            A bool, float or str for those XPath types; for a node set, a list\n            in "
     "document order without duplicates, holding the tree's own\n            :class:`Element` for each node that "
     "has one and the string-value\n            of every other node (attribute, text, the document node).\n        "},
    {"__reduce__", refuse_pickling, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickling, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef document_getset[] = {
    {"has_document", get_has_document, nullptr, "Whether an XML document is currently loaded\n        ", nullptr},
    {"has_root", get_has_root, nullptr,
     "Whether the root element has been built\n        (using the :meth:`get_root` method)\n        ", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void fill_document_vtable() noexcept {
    document_vtable._get_document = _get_document;
    document_vtable._reset = _reset;
    document_vtable._load_string = _load_string;
    document_vtable._has_root = _has_root;
    document_vtable._get_root = _get_root;
    document_vtable._collect_nodes_by_hash_value = _collect_nodes_by_hash_value;
    document_vtable._find_from_hash_value = _find_from_hash_value;
    document_vtable._xpath_find = _xpath_find;
    document_vtable._xpath_findall = _xpath_findall;
}

PyTypeObject DocumentType = [] {
    PyTypeObject t = static_type();
    t.tp_name = "tamarack.pugixml.Document";
    t.tp_basicsize = sizeof(DocumentObject);
    t.tp_dealloc = document_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "An XML document loader and handler class\n    ";
    t.tp_traverse = document_traverse;
    t.tp_clear = document_clear;
    t.tp_methods = document_methods;
    t.tp_getset = document_getset;
    t.tp_init = document_init;
    t.tp_new = document_new;
    return t;
}();

}  // namespace tamarack
