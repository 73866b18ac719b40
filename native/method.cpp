// Annotated method objects: the public methods that carry `__annotations__`. Each wraps the plain
// method descriptor that PyType_Ready made, binds to instances like a Python function, and calls
// through to the descriptor with vectorcall, so arguments, results and errors stay the method's own.
#include "module.hpp"

#include <cstddef>

namespace tamarack {
namespace {

struct AnnotatedMethod {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* method;       // the descriptor from the type's dict
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* annotations;  // dict
    PyObject* dict;         // instance dict, for attributes that tools set on functions
};

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    AnnotatedMethod* self = reinterpret_cast<AnnotatedMethod*>(callable);
    return PyObject_Vectorcall(self->method, args, nargsf, kwnames);
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_get_doc(PyObject* self, void*) noexcept {
    return PyObject_GetAttrString(reinterpret_cast<AnnotatedMethod*>(self)->method, "__doc__");
}

PyObject* method_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<method %U of tamarack.pugixml objects>", reinterpret_cast<AnnotatedMethod*>(self)->qualname);
}

void method_dealloc(PyObject* obj) noexcept {
    AnnotatedMethod* self = reinterpret_cast<AnnotatedMethod*>(obj);
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(self->method);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->module);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->dict);
    PyObject_GC_Del(obj);
}

int method_traverse(PyObject* obj, visitproc visit, void* arg) noexcept {
    AnnotatedMethod* self = reinterpret_cast<AnnotatedMethod*>(obj);
    Py_VISIT(self->method);
    Py_VISIT(self->annotations);
    Py_VISIT(self->dict);
    return 0;
}

PyMemberDef method_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(AnnotatedMethod, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(AnnotatedMethod, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(AnnotatedMethod, module), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(AnnotatedMethod, annotations), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__doc__", method_get_doc, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

struct annotation {
    const char* key;
    const char* value;
};

struct method_spec {
    PyTypeObject* type;
    const char* name;
    annotation annotations[3];  // parameters first, "return" last; a null key ends the list
};

// In the order of installation.
const method_spec annotated_methods[] = {
    {&DocumentType, "add_node_type_exclusion", {{"node_type", "NodeType"}, {"return", "None"}, {nullptr, nullptr}}},
    {&DocumentType, "set_node_type_exclusions", {{"node_types", "list[NodeType]"}, {"return", "None"}, {nullptr, nullptr}}},
    {&DocumentType, "load_string", {{"return", "None"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&DocumentType, "load_file", {{"return", "None"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&DocumentType, "load_bytes", {{"return", "None"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&DocumentType, "clear", {{"return", "None"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&DocumentType, "get_root", {{"return", "Element | None"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&DocumentType, "get_node_by_position", {{"return", "Element | None"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&DocumentType, "xpath_find", {{"return", "Element | None"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&DocumentType, "xpath_findall", {{"return", "list[Element]"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&DocumentType, "xpath", {{"return", "list[Element | str] | str | float | bool"}, {nullptr, nullptr}, {nullptr, nullptr}}},
    {&ElementType, "find_from_position", {{"position", "tuple[int, ...]"}, {"return", "Self | None"}, {nullptr, nullptr}}},
    {&ElementType, "walk", {{"return", "Iterator[Self]"}, {nullptr, nullptr}, {nullptr, nullptr}}},
};

Ref annotations_of(const method_spec& spec) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    for (const annotation& a : spec.annotations) {
        if (!a.key) break;
        Ref value = Ref::steal(PyUnicode_FromString(a.value));
        if (!value || PyDict_SetItemString(dict.get(), a.key, value.get()) < 0) return Ref();
    }
    return dict;
}

Ref make_annotated_method(const method_spec& spec) noexcept {
    PyObject* type_dict = spec.type->tp_dict;
    PyObject* descriptor = PyDict_GetItemString(type_dict, spec.name);
    if (!descriptor) {
        PyErr_Format(PyExc_AttributeError, "type object has no method '%s'", spec.name);
        return Ref();
    }
    Ref annotations = annotations_of(spec);
    if (!annotations) return Ref();
    const char* short_name = spec.type->tp_name + sizeof("tamarack.pugixml.") - 1;  // "Document", "Element"
    AnnotatedMethod* self = PyObject_GC_New(AnnotatedMethod, &AnnotatedMethodType);
    if (!self) return Ref();
    self->vectorcall = method_vectorcall;
    self->method = Py_NewRef(descriptor);
    self->name = PyUnicode_FromString(spec.name);
    self->qualname = PyUnicode_FromFormat("%s.%s", short_name, spec.name);
    self->module = Py_NewRef(constants.s_module_name);
    self->annotations = annotations.release();
    self->dict = nullptr;
    Ref method = Ref::steal(reinterpret_cast<PyObject*>(self));
    if (!self->name || !self->qualname) return Ref();
    PyObject_GC_Track(self);
    return method;
}

}  // namespace

PyTypeObject AnnotatedMethodType = [] {
    PyTypeObject t = static_type();
    t.tp_name = "tamarack.pugixml.method";
    t.tp_basicsize = sizeof(AnnotatedMethod);
    t.tp_dealloc = method_dealloc;
    t.tp_vectorcall_offset = offsetof(AnnotatedMethod, vectorcall);
    t.tp_repr = method_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = method_traverse;
    t.tp_members = method_members;
    t.tp_getset = method_getset;
    t.tp_descr_get = method_descr_get;
    t.tp_dictoffset = offsetof(AnnotatedMethod, dict);
    return t;
}();

int install_annotated_methods() noexcept {
    for (const method_spec& spec : annotated_methods) {
        Ref method = make_annotated_method(spec);
        if (!method || PyDict_SetItemString(spec.type->tp_dict, spec.name, method.get()) < 0) return -1;
        PyType_Modified(spec.type);
    }
    return 0;
}

}  // namespace tamarack
