// Document: one loaded XML text, its node-type exclusions, the lazily built root Element, lookups
// by node position and by hash value, and XPath queries answered with the tree's own elements.
#include "element_index.hpp"
#include "errors.hpp"
#include "module.hpp"

#include <new>
#include <vector>

namespace tamarack {

DocumentVTable document_vtable;

namespace {

DocumentObject* self_of(PyObject* obj) noexcept { return reinterpret_cast<DocumentObject*>(obj); }

bool _has_root(DocumentObject* self) noexcept;

void release_built_tree(DocumentObject* self, bool keep_root) noexcept;

// Every change of the dictionary by hash value drops its native mirror.
void drop_index(DocumentObject* self) noexcept {
    if (self->_index) self->_index->clear();
}

// Lets go of the built tree, which the Document kept out of the collector: its elements are freed
// now when nothing else refers to them, or handed to the collector. The dictionary's references
// are dropped first, when the dictionary is the Document's alone.
void release_built_tree(DocumentObject* self, bool keep_root) noexcept {
    if (!_has_root(self)) return;
    PyObject* dict = self->_nodes_by_hash_value;
    ElementObject* root = as_element(self->_root);
    // Filled, and filled without error (only then has it a mirror of the same size).
    bool complete = self->_index && PyDict_CheckExact(dict) && PyDict_GET_SIZE(dict) > 0 &&
                    self->_index->size() == static_cast<std::size_t>(PyDict_GET_SIZE(dict));
    drop_index(self);
    if (!PyDict_Check(dict) || Py_REFCNT(dict) != 1) {
        // Someone else holds the dictionary too. A reset empties it all the same; otherwise its
        // entries count as references from outside.
        if (keep_root && PyDict_Check(dict)) PyDict_Clear(dict);
        release_tree(root, keep_root);
        return;
    }
    // A completely filled dictionary holds every element of the tree, in pre-order: the release
    // works through it, and clearing it then frees the elements one by one.
    if (!complete || !release_tree_held_by(root, keep_root, dict)) {
        PyDict_Clear(dict);
        release_tree(root, keep_root);
        return;
    }
    PyDict_Clear(dict);
}

// Allocation, initialisation, collector support.

PyObject* document_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    DocumentObject* self = self_of(obj);
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
    DocumentObject* self = self_of(obj);
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
    DocumentObject* self = self_of(obj);
    Py_VISIT(self->_root);
    Py_VISIT(self->_nodes_by_hash_value);
    return 0;
}

int document_clear(PyObject* obj) noexcept {
    DocumentObject* self = self_of(obj);
    release_built_tree(self, false);
    drop_index(self);
    replace_ref(self->_root, Py_NewRef(Py_None));
    replace_ref(self->_nodes_by_hash_value, Py_NewRef(Py_None));
    return 0;
}

void document_dealloc(PyObject* obj) noexcept {
    DocumentObject* self = self_of(obj);
    PyObject_GC_UnTrack(obj);
    release_built_tree(self, false);
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
    if (self->vtab->_has_root(self)) {
        GilGuard gil;
        if (self->_nodes_by_hash_value == Py_None) {
            PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "clear");
            add_traceback("tamarack.pugixml.Document._reset");
            return -1;
        }
        release_built_tree(self, true);  // empties the dictionary
        ElementObject* root = as_element(self->_root);
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
    Ref message = Ref::steal(PyUnicode_FromString(result.description()));
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
    add_traceback("tamarack.pugixml.Document._load_string");
    return -1;
}

PyObject* _get_root(DocumentObject* self) noexcept {
    if (!self->_has_document) Py_RETURN_NONE;
    if (self->vtab->_has_root(self)) return Py_NewRef(self->_root);
    pugi::xml_node document_element = self->_document.document_element();
    PyObject* root = create_untracked_tree(document_element, self->_node_type_exclusions);
    if (!root) {
        add_traceback("tamarack.pugixml.Document._get_root");
        return nullptr;
    }
    replace_ref(self->_root, root);
    return Py_NewRef(root);
}

// Enters every element of the built tree under its hash value, root first, then in pre-order,
// exactly as a walk of the root yields them.
int insert_by_hash_value(PyObject* dict, ElementObject* element) noexcept {
    Ref key = Ref::steal(PyLong_FromSize_t(element->node_struct.hash_value));
    if (!key) return -1;
    return PyDict_SetItem(dict, key.get(), reinterpret_cast<PyObject*>(element));
}

struct collect_frame {
    PyObject* children;  // borrowed: kept alive by its element, itself held by the dictionary
    Py_ssize_t index;
};

int collect_in_preorder(PyObject* dict, ElementObject* root,
                        std::vector<std::pair<std::size_t, ElementObject*>>& entries) noexcept {
    try {
        if (insert_by_hash_value(dict, root) < 0) return -1;
        entries.emplace_back(root->node_struct.hash_value, root);
        std::vector<collect_frame> stack{{root->_children, 0}};
        while (!stack.empty()) {
            collect_frame& top = stack.back();
            if (!PyList_Check(top.children) || top.index >= PyList_GET_SIZE(top.children)) {
                stack.pop_back();
                continue;
            }
            PyObject* child = PyList_GET_ITEM(top.children, top.index++);
            if (!is_element(child)) continue;
            if (insert_by_hash_value(dict, as_element(child)) < 0) return -1;
            entries.emplace_back(as_element(child)->node_struct.hash_value, as_element(child));
            stack.push_back({as_element(child)->_children, 0});
        }
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// Mirrors the dictionary just filled; without memory for it, lookups use the dictionary itself.
void fill_index(DocumentObject* self, const std::vector<std::pair<std::size_t, ElementObject*>>& entries) noexcept {
    try {
        if (!self->_index) self->_index = new element_index();
        self->_index->reserve(entries.size());
        for (const auto& [key, element] : entries) self->_index->insert(key, element);
    } catch (const std::bad_alloc&) {
        drop_index(self);
    }
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
        add_traceback("tamarack.pugixml.Document._collect_nodes_by_hash_value");
        return -1;
    }
    // The tree is out of the collector while the Document holds it, and so may the dictionary be,
    // which refers to nothing else; the collector would otherwise visit every element through it.
    PyObject_GC_UnTrack(dict);
    fill_index(self, entries);
    return 0;
}

PyObject* _find_from_hash_value(DocumentObject* self, std::size_t hash_value) noexcept {
    if (!self->_has_document) Py_RETURN_NONE;
    PyObject* dict = self->_nodes_by_hash_value;
    Py_ssize_t size = PyDict_CheckExact(dict) ? PyDict_GET_SIZE(dict) : PyObject_Size(dict);
    if (size < 0) return nullptr;
    if (size == 0 && self->vtab->_collect_nodes_by_hash_value(self) < 0) return nullptr;
    if (self->_index && PyDict_CheckExact(self->_nodes_by_hash_value) &&
        self->_index->size() == static_cast<std::size_t>(PyDict_GET_SIZE(self->_nodes_by_hash_value))) {
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

// What a query result needs of its node: whether it is one, and the key of the dictionary.
void capture_identity(node_struct& record, const pugi::xml_node& node) noexcept {
    record.type = node.type();
    record.hash_value = node.hash_value();
}

int xpath_failed() noexcept {
    GilGuard gil;
    custom_exception_handler();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Error converting c++ exception.");
    return -1;
}

int _xpath_find(DocumentObject* self, const char* xpath, node_struct& result) noexcept {
    pugi::xml_node node;
    try {
        pugi::xpath_query query(xpath);
        node = query.evaluate_node(self->_document).node();
    } catch (...) {
        return xpath_failed();
    }
    capture_identity(result, node);
    return 0;
}

// Evaluates `xpath` as a node set against the document node and keeps, in the node set's own
// order, every selected item that is a node (attributes and null handles produce nothing).
int select_nodes(DocumentObject* self, const char* xpath, std::vector<pugi::xml_node>& nodes) noexcept {
    pugi::xpath_node_set selection;
    try {
        pugi::xpath_query query(xpath);
        selection = query.evaluate_node_set(self->_document);
    } catch (...) {
        return xpath_failed();
    }
    try {
        nodes.reserve(selection.size());
        for (const pugi::xpath_node& item : selection) {
            if (item.attribute() || !item.node()) continue;
            nodes.push_back(item.node());
        }
        return 0;
    } catch (...) {
        GilGuard gil;
        translate_current_exception();
        return -1;
    }
}

int _xpath_findall(DocumentObject* self, const char* xpath, xpath_results& results) noexcept {
    std::vector<pugi::xml_node> nodes;
    if (select_nodes(self, xpath, nodes) < 0) return -1;
    try {
        results.reserve(results.size() + nodes.size());
        for (const pugi::xml_node& node : nodes) {
            auto record = std::make_unique<node_struct>();
            capture_identity(*record, node);
            results.push_back(std::move(record));
        }
        return 0;
    } catch (...) {
        GilGuard gil;
        translate_current_exception();
        return -1;
    }
}

// Python-visible methods.

// The UTF-8 text of a str argument. An ASCII str is its own UTF-8 and is read in place; any other
// is encoded into `holder`.
const char* utf8_of(PyObject* text, Ref& holder) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(text)) return PyUnicode_AsUTF8AndSize(text, nullptr);
    holder = Ref::steal(PyUnicode_AsUTF8String(text));
    return holder ? PyBytes_AS_STRING(holder.get()) : nullptr;
}

PyObject* load_string(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* text = single_argument(args, nargs, kwnames, "load_string", "xml_string");
    if (!text) return nullptr;
    if (!PyUnicode_CheckExact(text)) return argument_type_error("xml_string", &PyUnicode_Type, text);
    Ref holder;
    const char* utf8 = utf8_of(text, holder);
    if (!utf8) return nullptr;
    DocumentObject* self = self_of(obj);
    if (self->vtab->_load_string(self, utf8) < 0) {
        add_traceback("tamarack.pugixml.Document.load_string");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* clear(PyObject* obj, PyObject*) noexcept {
    DocumentObject* self = self_of(obj);
    if (self->vtab->_reset(self) < 0) {
        add_traceback("tamarack.pugixml.Document.clear");
        return nullptr;
    }
    Py_RETURN_NONE;
}

int insert_exclusion(DocumentObject* self, PyObject* item) noexcept {
    int value = _node_type_from_py(item);
    if (PyErr_Occurred()) return -1;
    try {
        self->_node_type_exclusions.insert(value);
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

PyObject* add_node_type_exclusion(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* node_type = single_argument(args, nargs, kwnames, "add_node_type_exclusion", "node_type");
    if (!node_type) return nullptr;
    if (insert_exclusion(self_of(obj), node_type) < 0) {
        add_traceback("tamarack.pugixml.Document.add_node_type_exclusion");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* set_node_type_exclusions(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* node_types = single_argument(args, nargs, kwnames, "set_node_type_exclusions", "node_types");
    if (!node_types) return nullptr;
    if (!PyList_CheckExact(node_types)) return argument_type_error("node_types", &PyList_Type, node_types, true);
    DocumentObject* self = self_of(obj);
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
    DocumentObject* self = self_of(obj);
    PyObject* root = self->vtab->_get_root(self);
    if (!root) add_traceback("tamarack.pugixml.Document.get_root");
    return root;
}

PyObject* get_node_by_position(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* position = single_argument(args, nargs, kwnames, "get_node_by_position", "node_position");
    if (!position) return nullptr;
    if (!PyTuple_CheckExact(position) && position != Py_None)
        return argument_type_error("node_position", &PyTuple_Type, position);
    DocumentObject* self = self_of(obj);
    if (!self->_has_document) Py_RETURN_NONE;
    Ref root = Ref::steal(self->vtab->_get_root(self));
    if (!root) return nullptr;
    PyObject* call_args[] = {root.get(), position};
    PyObject* found = PyObject_VectorcallMethod(constants.s_find_from_position, call_args,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!found) add_traceback("tamarack.pugixml.Document.get_node_by_position");
    return found;
}

PyObject* xpath_find(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* xpath = single_argument(args, nargs, kwnames, "xpath_find", "xpath");
    if (!xpath) return nullptr;
    if (!PyUnicode_CheckExact(xpath)) return argument_type_error("xpath", &PyUnicode_Type, xpath);
    DocumentObject* self = self_of(obj);
    if (!self->_has_document) Py_RETURN_NONE;
    Ref holder;
    const char* utf8 = utf8_of(xpath, holder);
    if (!utf8) return nullptr;
    node_struct result;
    if (self->vtab->_xpath_find(self, utf8, result) < 0) {
        add_traceback("tamarack.pugixml.Document.xpath_find");
        return nullptr;
    }
    if (result.type == pugi::node_null) Py_RETURN_NONE;
    return self->vtab->_find_from_hash_value(self, result.hash_value);
}

PyObject* xpath_findall(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* xpath = single_argument(args, nargs, kwnames, "xpath_findall", "xpath");
    if (!xpath) return nullptr;
    if (!PyUnicode_CheckExact(xpath)) return argument_type_error("xpath", &PyUnicode_Type, xpath);
    Ref holder;
    const char* utf8 = utf8_of(xpath, holder);
    if (!utf8) return nullptr;
    DocumentObject* self = self_of(obj);
    // The node handles are all a result needs: each is mapped through the dictionary by its hash
    // value, in the node set's order.
    std::vector<pugi::xml_node> nodes;
    if (select_nodes(self, utf8, nodes) < 0) {
        add_traceback("tamarack.pugixml.Document.xpath_findall");
        return nullptr;
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        PyObject* found = self->vtab->_find_from_hash_value(self, nodes[i].hash_value());
        if (!found) {
            add_traceback("tamarack.pugixml.Document.xpath_findall");
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), found);
    }
    return list.release();
}

PyObject* refuse_pickling(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyObject* get_has_document(PyObject* obj, void*) noexcept { return PyBool_FromLong(self_of(obj)->_has_document != 0); }

PyObject* get_has_root(PyObject* obj, void*) noexcept {
    DocumentObject* self = self_of(obj);
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
