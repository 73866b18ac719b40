// _tamarack_testnative: plays a downstream extension module of tamarack.pugixml. It reaches the
// module only through its published native interface (the header, the `__pyx_capi__` and
// `__pyx_vtable__` capsules), and it compiles the two exception translations so that pytest can
// throw every native exception class through them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tamarack/pugixml_api.hpp>

#include "errors.hpp"

#include <cassert>
#include <cstring>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

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
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tamarack_testnative", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tamarack_testnative() { return PyModule_Create(&module_def); }
