// _tamarack_testnative: plays a downstream extension module of tamarack.pugixml. It reaches the
// module only through its published native interface (the header, the `__pyx_capi__` and
// `__pyx_vtable__` capsules), and it compiles the two exception translations so that pytest can
// throw every native exception class through them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tamarack/pugixml_api.hpp>

#include "element_index.hpp"
#include "errors.hpp"

#include <dlfcn.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

// This module's own allocation functions, so that a test can make every native allocation made
// here fail, as it fails when memory runs out. Otherwise they hand over to the process's global
// ones where there are any (a sanitizer's, which must see every block it frees), and to malloc
// and free as the C++ runtime's own do.
namespace {
bool fail_allocations = false;

template <class F>
F global_function(const char* name) {
    void* symbol = dlsym(RTLD_DEFAULT, name);
    F f = nullptr;
    static_assert(sizeof f == sizeof symbol);
    std::memcpy(&f, &symbol, sizeof f);
    return f;
}

using new_fn = void* (*)(std::size_t);
using delete_fn = void (*)(void*);
const new_fn global_new = global_function<new_fn>("_Znwm");
const delete_fn global_delete = global_function<delete_fn>("_ZdlPv");
}  // namespace

void* operator new(std::size_t size) {
    if (fail_allocations) throw std::bad_alloc();
    if (global_new) return global_new(size);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (global_delete)
        global_delete(p);
    else
        std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using tamarack::cpp_string_map;

PyObject* module_attr(const char* name) {
    PyObject* module = PyImport_ImportModule("tamarack.pugixml");
    if (!module) return nullptr;
    PyObject* value = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    return value;
}

PyObject* capi_capsule() {
    PyObject* capi = module_attr("__pyx_capi__");
    if (!capi) return nullptr;
    PyObject* capsule = PyDict_GetItemString(capi, "_attribute_map_to_dict");
    Py_XINCREF(capsule);
    Py_DECREF(capi);
    if (!capsule) PyErr_SetString(PyExc_LookupError, "no _attribute_map_to_dict in __pyx_capi__");
    return capsule;
}

// capsule_name() -> the name of the exported capsule.
PyObject* capsule_name(PyObject*, PyObject*) {
    PyObject* capsule = capi_capsule();
    if (!capsule) return nullptr;
    const char* name = PyCapsule_GetName(capsule);
    PyObject* result = name ? PyUnicode_FromString(name) : nullptr;
    Py_DECREF(capsule);
    return result;
}

// expected_signature() -> the signature this consumer was built against.
PyObject* expected_signature(PyObject*, PyObject*) {
    return PyUnicode_FromString(tamarack::attribute_map_to_dict_signature);
}

// attribute_map_to_dict(pairs) -> dict: builds a map by assignment from (bytes, bytes) pairs and
// converts it through the exported function, after checking the capsule's name.
PyObject* attribute_map_to_dict(PyObject*, PyObject* pairs) {
    cpp_string_map map;
    PyObject* fast = PySequence_Fast(pairs, "pairs must be a sequence");
    if (!fast) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
        char* key = nullptr;
        char* value = nullptr;
        Py_ssize_t key_size = 0;
        Py_ssize_t value_size = 0;
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);
        if (!PyArg_ParseTuple(item, "y#y#", &key, &key_size, &value, &value_size)) {
            Py_DECREF(fast);
            return nullptr;
        }
        map[std::string(key, static_cast<std::size_t>(key_size))] = std::string(value, static_cast<std::size_t>(value_size));
    }
    Py_DECREF(fast);
    PyObject* capsule = capi_capsule();
    if (!capsule) return nullptr;
    void* pointer = PyCapsule_GetPointer(capsule, tamarack::attribute_map_to_dict_signature);
    Py_DECREF(capsule);
    if (!pointer) return nullptr;
    auto convert = reinterpret_cast<tamarack::attribute_map_to_dict_fn>(pointer);
    PyObject* result = convert(map);
    assert((result == nullptr) == (PyErr_Occurred() != nullptr));
    return result;
}

template <class Table>
Table* vtable_of(PyObject* obj) {
    PyObject* capsule = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__pyx_vtable__");
    if (!capsule) return nullptr;
    void* pointer = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);
    return static_cast<Table*>(pointer);
}

bool is_document(PyObject* obj) {
    PyObject* type = module_attr("Document");
    if (!type) return false;
    int ok = PyObject_IsInstance(obj, type);
    Py_DECREF(type);
    if (ok == 0) PyErr_SetString(PyExc_TypeError, "a Document is required");
    return ok == 1;
}

// document_element_name(doc) -> str: the name of the document element of the pugixml document that
// the Document's table returns from _get_document.
PyObject* document_element_name(PyObject*, PyObject* doc) {
    if (!is_document(doc)) return nullptr;
    auto* table = vtable_of<tamarack::DocumentVTable>(doc);
    if (!table) return nullptr;
    pugi::xml_document* document = table->_get_document(reinterpret_cast<tamarack::DocumentObject*>(doc));
    assert(document == &reinterpret_cast<tamarack::DocumentObject*>(doc)->_document);
    return PyUnicode_FromString(document->document_element().name());
}

// nodes_by_hash_value(doc) -> the Document's dictionary by hash value itself.
PyObject* nodes_by_hash_value(PyObject*, PyObject* doc) {
    if (!is_document(doc)) return nullptr;
    return Py_NewRef(reinterpret_cast<tamarack::DocumentObject*>(doc)->_nodes_by_hash_value);
}

// null_record() -> dict: the snapshot of a fresh Element initialised from a null pugixml handle
// through the Element table.
PyObject* null_record(PyObject*, PyObject*) {
    PyObject* type = module_attr("Element");
    if (!type) return nullptr;
    PyObject* element = PyObject_CallNoArgs(type);
    Py_DECREF(type);
    if (!element) return nullptr;
    auto* self = reinterpret_cast<tamarack::ElementObject*>(element);
    tamarack::node_type_set exclusions;
    if (self->vtab->_initialize_node_struct(self, pugi::xml_node(), exclusions, Py_None) < 0) {
        Py_DECREF(element);
        return nullptr;
    }
    const tamarack::node_struct& r = self->node_struct;
    PyObject* result = Py_BuildValue("{si,sn,sn,sn,sO,sO,sO,sn}", "type", r.type, "name",
                                     static_cast<Py_ssize_t>(r.strings.name().size), "text",
                                     static_cast<Py_ssize_t>(r.strings.text().size), "attributes",
                                     static_cast<Py_ssize_t>(r.strings.attribute_count()), "is_empty",
                                     r.is_empty ? Py_True : Py_False, "has_text", r.has_text ? Py_True : Py_False,
                                     "is_null", self->vtab->_is_null(self) ? Py_True : Py_False, "hash_value",
                                     static_cast<Py_ssize_t>(r.hash_value));
    Py_DECREF(element);
    return result;
}

tamarack::DocumentObject* document_of(PyObject* doc) {
    return is_document(doc) ? reinterpret_cast<tamarack::DocumentObject*>(doc) : nullptr;
}

PyObject* identity_of(const tamarack::node_struct& r) {
    return Py_BuildValue("(in)", r.type, static_cast<Py_ssize_t>(r.hash_value));
}

// document_op(doc, name, arg=None): calls the Document table's entry `name` and returns what it
// gives as a Python value: ints as ints, bools as bools, objects as themselves, records as
// (type, hash_value) pairs.
PyObject* document_op(PyObject*, PyObject* args) {
    PyObject* doc = nullptr;
    const char* name = nullptr;
    PyObject* arg = Py_None;
    if (!PyArg_ParseTuple(args, "Os|O", &doc, &name, &arg)) return nullptr;
    tamarack::DocumentObject* self = document_of(doc);
    if (!self) return nullptr;
    auto* table = vtable_of<tamarack::DocumentVTable>(doc);
    if (!table) return nullptr;
    std::string op = name;
    auto status = [](int r) { return r < 0 ? nullptr : PyLong_FromLong(r); };
    if (op == "_reset") return status(table->_reset(self));
    if (op == "_has_root") return PyBool_FromLong(table->_has_root(self));
    if (op == "_get_root") return table->_get_root(self);
    if (op == "_collect_nodes_by_hash_value") return status(table->_collect_nodes_by_hash_value(self));
    if (op == "_find_from_hash_value") {
        std::size_t key = PyLong_AsSize_t(arg);
        if (key == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
        return table->_find_from_hash_value(self, key);
    }
    const char* text = PyUnicode_AsUTF8(arg);
    if (!text) return nullptr;
    if (op == "_load_string") return status(table->_load_string(self, text));
    if (op == "_xpath_find") {
        tamarack::node_struct record;
        if (table->_xpath_find(self, text, record) < 0) return nullptr;
        return identity_of(record);
    }
    if (op == "_xpath_findall") {
        tamarack::xpath_results records;
        if (table->_xpath_findall(self, text, records) < 0) return nullptr;
        PyObject* list = PyList_New(0);
        for (const auto& record : records) {
            PyObject* item = list ? identity_of(*record) : nullptr;
            if (!item || PyList_Append(list, item) < 0) {
                Py_XDECREF(item);
                Py_XDECREF(list);
                return nullptr;
            }
            Py_DECREF(item);
        }
        return list;
    }
    PyErr_Format(PyExc_ValueError, "no Document operation %s", name);
    return nullptr;
}

// element_op(element, name): calls the Element table's entry `name` on `element`; positions come
// back as the tuple of the cached indices. "position_cache" is the room that cache takes.
PyObject* element_op(PyObject*, PyObject* args) {
    PyObject* element = nullptr;
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &element, &name)) return nullptr;
    PyObject* type = module_attr("Element");
    if (!type) return nullptr;
    int ok = PyObject_IsInstance(element, type);
    Py_DECREF(type);
    if (ok <= 0) {
        if (ok == 0) PyErr_SetString(PyExc_TypeError, "an Element is required");
        return nullptr;
    }
    auto* self = reinterpret_cast<tamarack::ElementObject*>(element);
    std::string op = name;
    if (op == "_find_root") return self->vtab->_find_root(self);
    if (op == "_get_type") return PyLong_FromLong(self->vtab->_get_type(self));
    if (op == "_is_null") return PyBool_FromLong(self->vtab->_is_null(self));
    if (op == "_clear") return self->vtab->_clear(self) < 0 ? nullptr : Py_NewRef(Py_None);
    if (op == "position_cache") return PyLong_FromSize_t(self->_position_indices.capacity());
    if (op == "_construct_position_indices") {
        if (self->vtab->_construct_position_indices(self) < 0) return nullptr;
        const auto& indices = self->_position_indices;
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(indices.size()));
        for (std::size_t i = 0; tuple && i < indices.size(); ++i)
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), PyLong_FromSize_t(indices[i]));
        return tuple;
    }
    PyErr_Format(PyExc_ValueError, "no Element operation %s", name);
    return nullptr;
}

// create(doc, xpath, parent=None, build_only=False): an Element made by the Element table for the
// first node `xpath` selects in the Document's pugixml document, with the Document's exclusions:
// through _create, or, with `build_only`, an Element() whose children alone _build_children makes.
PyObject* create(PyObject*, PyObject* args) {
    PyObject* doc = nullptr;
    const char* xpath = nullptr;
    PyObject* parent = Py_None;
    int build_only = 0;
    if (!PyArg_ParseTuple(args, "Os|Op", &doc, &xpath, &parent, &build_only)) return nullptr;
    tamarack::DocumentObject* self = document_of(doc);
    if (!self) return nullptr;
    PyObject* type = module_attr("Element");
    if (!type) return nullptr;
    PyObject* blank = PyObject_CallNoArgs(type);
    Py_DECREF(type);
    if (!blank) return nullptr;
    auto* element = reinterpret_cast<tamarack::ElementObject*>(blank);
    pugi::xml_node node;
    try {
        node = self->_document.select_node(xpath).node();
    } catch (const pugi::xpath_exception& e) {
        Py_DECREF(blank);
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    if (!build_only) {
        tamarack::ElementVTable* table = element->vtab;
        Py_DECREF(blank);
        return table->_create(node, self->_node_type_exclusions, parent);
    }
    if (element->vtab->_build_children(element, node, self->_node_type_exclusions) < 0) {
        Py_DECREF(blank);
        return nullptr;
    }
    return blank;
}

// index_lookups(keys, low, high, probes) -> (answers, size): the module's index by hash value, reserved for
// len(keys) keys in [low, high] (no span when low is 0) and given the keys in order, each under a
// stand-in for the element entered k-th (never dereferenced); for each probe, that k or None, and
// the number of entries.
PyObject* index_lookups(PyObject*, PyObject* args) {
    PyObject *keys, *probes;
    unsigned long long low, high;
    if (!PyArg_ParseTuple(args, "O!KKO!", &PyList_Type, &keys, &low, &high, &PyList_Type, &probes)) return nullptr;
    tamarack::element_index index;
    auto key_at = [](PyObject* list, Py_ssize_t i) { return static_cast<std::size_t>(PyLong_AsSize_t(PyList_GET_ITEM(list, i))); };
    auto element = [](std::size_t k) { return reinterpret_cast<tamarack::ElementObject*>((k + 1) * 64); };
    try {
        if (low == 0)
            index.reserve(static_cast<std::size_t>(PyList_GET_SIZE(keys)));
        else
            index.reserve(static_cast<std::size_t>(PyList_GET_SIZE(keys)), low, high);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) index.add(key_at(keys, i), element(static_cast<std::size_t>(i)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (PyErr_Occurred()) return nullptr;
    PyObject* answers = PyList_New(PyList_GET_SIZE(probes));
    if (!answers) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(probes); ++i) {
        tamarack::ElementObject* found = index.find(key_at(probes, i));
        PyObject* answer = found ? PyLong_FromSize_t(reinterpret_cast<std::size_t>(found) / 64 - 1) : Py_NewRef(Py_None);
        if (!answer) {
            Py_DECREF(answers);
            return nullptr;
        }
        PyList_SET_ITEM(answers, i, answer);
    }
    if (static_cast<Py_ssize_t>(index.size()) > PyList_GET_SIZE(keys)) {
        Py_DECREF(answers);
        PyErr_SetString(PyExc_AssertionError, "more entries than keys");
        return nullptr;
    }
    return Py_BuildValue("Nn", answers, static_cast<Py_ssize_t>(index.size()));
}

// check_layout() -> None: the check every consumer runs at import, run again.
PyObject* check_layout(PyObject*, PyObject*) {
    return tamarack::check_layout() < 0 ? nullptr : Py_NewRef(Py_None);
}

// single_argument_without_memory() -> the exception that the argument parser of every method raises
// for a call with two positional arguments while no native allocation can succeed, or None when
// this build's allocations do not come through the functions above (a sanitizer's replace them).
PyObject* single_argument_without_memory(PyObject*, PyObject*) {
    fail_allocations = true;
    bool hooked = false;
    try {
        static void* volatile probe = nullptr;  // volatile: the probe may not be optimised away
        probe = ::operator new(16);
        ::operator delete(probe);
    } catch (const std::bad_alloc&) {
        hooked = true;
    }
    PyObject* result = nullptr;
    if (hooked) {
        PyObject* args[] = {Py_None, Py_None};
        PyObject* value = tamarack::single_argument(args, 2, nullptr, "add_node_type_exclusion", "node_type");
        fail_allocations = false;
        assert(!value && PyErr_Occurred());
        (void)value;
        result = PyErr_GetRaisedException();
    }
    fail_allocations = false;
    return result ? result : Py_NewRef(Py_None);
}

// Throws the native exception named `kind`.
[[noreturn]] void throw_kind(const std::string& kind) {
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "bad_cast") throw std::bad_cast();
    if (kind == "bad_typeid") throw std::bad_typeid();
    if (kind == "domain_error") throw std::domain_error("domain message");
    if (kind == "invalid_argument") throw std::invalid_argument("invalid message");
    if (kind == "ios_base_failure") throw std::ios_base::failure("ios message");
    if (kind == "out_of_range") throw std::out_of_range("range message");
    if (kind == "overflow_error") throw std::overflow_error("overflow message");
    if (kind == "range_error") throw std::range_error("range error message");
    if (kind == "underflow_error") throw std::underflow_error("underflow message");
    if (kind == "runtime_error") throw std::runtime_error("runtime message");
    if (kind == "length_error") throw std::length_error("length message");
    if (kind == "logic_error") throw std::logic_error("logic message");
    if (kind == "non_ascii") throw std::runtime_error("caf\xc3\xa9");
    if (kind == "non_ascii_logic") throw std::logic_error("caf\xc3\xa9");
    if (kind == "empty") throw std::runtime_error("");
    if (kind == "empty_logic") throw std::logic_error("");
    if (kind == "xpath_exception") {
        pugi::xpath_query query("//a[");  // throws pugi::xpath_exception
        throw std::logic_error("unreachable: the expression compiled");
    }
    if (kind == "non_exception") throw 42;
    throw std::string("unknown kind");  // not a std::exception either
}

// translate(kind, pending=False): throws `kind` and translates it with the standard translation.
// With `pending`, a KeyError is set first and must survive.
PyObject* translate(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    int pending = 0;
    if (!PyArg_ParseTuple(args, "s|p", &kind, &pending)) return nullptr;
    if (pending) PyErr_SetString(PyExc_KeyError, "pending");
    PyObject* result = tamarack::guarded<PyObject*>(nullptr, [&]() -> PyObject* { throw_kind(kind); });
    assert(!result && PyErr_Occurred());
    return result;
}

// xpath_translate(kind): throws `kind` and translates it as the XPath call sites do.
PyObject* xpath_translate(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    if (!PyArg_ParseTuple(args, "s", &kind)) return nullptr;
    return tamarack::guarded<PyObject*>(nullptr, [&]() -> PyObject* { throw_kind(kind); }, nullptr,
                                        tamarack::translate_xpath_exception);
}

// xpath_handler_outside_catch(): the XPath translation with no exception being handled.
PyObject* xpath_handler_outside_catch(PyObject*, PyObject*) {
    tamarack::custom_exception_handler();
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

// exec_on_new_module(): runs tamarack.pugixml's exec slot on a fresh module object.
PyObject* exec_on_new_module(PyObject*, PyObject*) {
    PyObject* module = PyImport_ImportModule("tamarack.pugixml");
    if (!module) return nullptr;
    PyModuleDef* def = PyModule_GetDef(module);
    Py_DECREF(module);
    if (!def) return nullptr;
    PyObject* other = PyModule_New("tamarack.pugixml");
    if (!other) return nullptr;
    int result = PyModule_ExecDef(other, def);
    Py_DECREF(other);
    return result < 0 ? nullptr : Py_NewRef(Py_None);
}

PyMethodDef methods[] = {
    {"capsule_name", capsule_name, METH_NOARGS, nullptr},
    {"expected_signature", expected_signature, METH_NOARGS, nullptr},
    {"attribute_map_to_dict", attribute_map_to_dict, METH_O, nullptr},
    {"document_element_name", document_element_name, METH_O, nullptr},
    {"nodes_by_hash_value", nodes_by_hash_value, METH_O, nullptr},
    {"null_record", null_record, METH_NOARGS, nullptr},
    {"translate", translate, METH_VARARGS, nullptr},
    {"xpath_translate", xpath_translate, METH_VARARGS, nullptr},
    {"xpath_handler_outside_catch", xpath_handler_outside_catch, METH_NOARGS, nullptr},
    {"exec_on_new_module", exec_on_new_module, METH_NOARGS, nullptr},
    {"document_op", document_op, METH_VARARGS, nullptr},
    {"element_op", element_op, METH_VARARGS, nullptr},
    {"create", create, METH_VARARGS, nullptr},
    {"check_layout", check_layout, METH_NOARGS, nullptr},
    {"index_lookups", index_lookups, METH_VARARGS, nullptr},
    {"single_argument_without_memory", single_argument_without_memory, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tamarack_testnative", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

// As every consumer should: refuse to load against another native layout.
PyMODINIT_FUNC PyInit__tamarack_testnative() {
    if (tamarack::check_layout() < 0) return nullptr;
    return PyModule_Create(&module_def);
}
