// The module tamarack.pugixml: its definition, the creation of the module object (one interpreter
// per process), and the ordered start-up that registers its classes, names and native interface.
#include "module.hpp"

#include <cstdint>

namespace tamarack {

module_state state;
module_constants constants;

namespace {

std::int64_t first_interpreter_id = -1;

struct interned {
    PyObject** slot;
    const char* text;
};

}  // namespace

int create_constants() noexcept {
    const interned strings[] = {
        {&constants.empty_str, ""},
        {&constants.s_clear, "clear"},
        {&constants.s_NodeType, "NodeType"},
        {&constants.s_name, "name"},
        {&constants.s_attributes, "attributes"},
        {&constants.s_text, "text"},
        {&constants.s_value_, "_value_"},
        {&constants.s_name_, "_name_"},
        {&constants.s_value2member_map_, "_value2member_map_"},
        {&constants.s_setdefault, "setdefault"},
        {&constants.s_new, "__new__"},
        {&constants.s_repr, "__repr__"},
        {&constants.s_class, "__class__"},
        {&constants.s_dunder_name, "__name__"},
        {&constants.s_module, "__module__"},
        {&constants.s_module_name, "tamarack.pugixml"},
        {&constants.s_find_from_position, "find_from_position"},
    };
    for (const interned& s : strings) {
        if (*s.slot) continue;  // a start-up that failed earlier made it already
        *s.slot = PyUnicode_InternFromString(s.text);
        if (!*s.slot) return -1;
    }
    if (!constants.empty_list) constants.empty_list = PyList_New(0);
    return constants.empty_list ? 0 : -1;
}

namespace {

// Create slot.

// Copies spec.<attr> to module.<name>; a spec without the attribute is passed over.
int copy_spec_attribute(PyObject* spec, PyObject* module, const char* attr, const char* name, bool none_skips) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (none_skips && value.get() == Py_None) return 0;
    return PyObject_SetAttrString(module, name, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (first_interpreter_id == -1) {
        first_interpreter_id = id;
    } else if (id != first_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    if (state.module) {
        // The one module object serves every import of its own name; the import system would
        // give it the __spec__ of any other name, and then reload it under that name.
        Ref live = Ref::steal(PyModule_GetNameObject(state.module));
        if (!live) return nullptr;
        int same = PyObject_RichCompareBool(live.get(), name.get(), Py_EQ);
        if (same < 0) return nullptr;
        if (same) return Py_NewRef(state.module);
        PyErr_Format(PyExc_ImportError, "%U is already loaded; its extension file cannot be loaded again as %R",
                     live.get(), name.get());
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// Exec slot: the start-up steps, in order.

int check_version() noexcept {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == 3 && minor == 12) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 12, "tamarack.pugixml", "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

int register_in_sys_modules(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, constants.s_module_name);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, constants.s_module_name, module);
}

int resolve_super() noexcept {
    Ref super = Ref::steal(PyObject_GetAttrString(state.builtins, "super"));
    if (!super) {
        PyErr_Clear();
        Ref name = Ref::steal(PyUnicode_FromString("super"));
        if (name) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        return -1;
    }
    replace_ref(state.super, super.release());
    return 0;
}

int export_functions() noexcept {
    PyObject* capi = PyDict_GetItemString(state.globals, "__pyx_capi__");
    Ref created;
    if (!capi) {
        created = Ref::steal(PyDict_New());
        if (!created || PyModule_AddObjectRef(state.module, "__pyx_capi__", created.get()) < 0) return -1;
        capi = created.get();
    }
    Ref capsule = Ref::steal(PyCapsule_New(reinterpret_cast<void*>(&_attribute_map_to_dict),
                                           attribute_map_to_dict_signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(capi, "_attribute_map_to_dict", capsule.get());
}

// Readies a class, publishes its operation table and binds it in the module namespace.
int register_class(PyTypeObject* type, void* vtable, const char* name) noexcept {
    if (PyType_Ready(type) < 0) return -1;
    Ref capsule = Ref::steal(PyCapsule_New(vtable, nullptr, nullptr));
    // Consumers compare this with the layout they were built against (check_layout).
    if (capsule && PyCapsule_SetContext(capsule.get(), const_cast<layout_description*>(&this_layout)) < 0) return -1;
    if (!capsule || PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", capsule.get()) < 0) return -1;
    PyType_Modified(type);
    return PyModule_AddObjectRef(state.module, name, reinterpret_cast<PyObject*>(type));
}

int bind_import(const char* module_name, const char* attr, const char* bound_as) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return -1;
    Ref value = Ref::steal(PyObject_GetAttrString(module.get(), attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        Ref name = Ref::steal(PyUnicode_FromString(attr));
        if (name) PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
        return -1;
    }
    return PyModule_AddObjectRef(state.module, bound_as, value.get());
}

int bind_self() noexcept {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) return -1;
    Ref version = Ref::steal(PyObject_GetAttrString(sys.get(), "version_info"));
    Ref wanted = Ref::steal(Py_BuildValue("(ii)", 3, 11));
    if (!version || !wanted) return -1;
    int recent = PyObject_RichCompareBool(version.get(), wanted.get(), Py_GE);
    if (recent < 0) return -1;
    return bind_import(recent ? "typing" : "typing_extensions", "Self", "Self");
}

int start_up(PyObject* module) noexcept {
    state.module = Py_NewRef(module);
    state.globals = PyModule_GetDict(module);
    if (!state.globals) return -1;
    if (!state.builtins) state.builtins = PyImport_ImportModule("builtins");
    if (!state.builtins || PyModule_AddObjectRef(module, "__builtins__", state.builtins) < 0) return -1;
    if (check_version() < 0 || create_constants() < 0 || register_in_sys_modules(module) < 0 || resolve_super() < 0)
        return -1;
    if (export_functions() < 0) return -1;
    fill_document_vtable();
    if (register_class(&DocumentType, &document_vtable, "Document") < 0) return -1;
    fill_element_vtable();
    if (register_class(&ElementType, &element_vtable, "Element") < 0) return -1;
    if (PyType_Ready(&IterGeneratorType) < 0 || PyType_Ready(&WalkGeneratorType) < 0 ||
        PyType_Ready(&AnnotatedMethodType) < 0)
        return -1;
    if (create_node_type() < 0) return -1;
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys || PyModule_AddObjectRef(module, "sys", sys.get()) < 0) return -1;
    if (bind_import("typing", "Iterator", "Iterator") < 0 || bind_self() < 0) return -1;
    if (install_annotated_methods() < 0) return -1;
    find_referents_visit();
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) return -1;
    return 0;
}

int module_exec(PyObject* module) noexcept {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'pugixml' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (start_up(module) == 0) return 0;
    if (state.globals) add_traceback("init tamarack.pugixml");
    Py_CLEAR(state.module);
    state.globals = nullptr;
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pugixml", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tamarack

PyMODINIT_FUNC PyInit_pugixml() { return PyModuleDef_Init(&tamarack::module_def); }
