// NodeType: pugixml's node kinds as an IntEnum, with a private base that lets it stand for values
// that have no member (the document kind 1, or anything a caller passes in).
#include "module.hpp"

#include <climits>
#include <iterator>

namespace tamarack {
namespace {

struct member {
    const char* name;
    int value;
};
constexpr member members[] = {
    {"NODE_NULL", 0},    {"NODE_ELEMENT", 2}, {"NODE_PCData", 3},      {"NODE_CDATA", 4},
    {"NODE_COMMENT", 5}, {"NODE_PI", 6},      {"NODE_DECLARATION", 7}, {"NODE_DOCTYPE", 8},
};

// The members' names, interned at start-up: `type` looks its member up by name on every read.
PyObject* member_names[std::size(members)];

// getattr(obj, name) where a missing attribute is no error: `found` tells whether it exists; null with
// `found` false and an exception set means the lookup failed otherwise.
Ref optional_attr(PyObject* obj, PyObject* name, bool& found) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    found = bool(value);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
}

// classmethod _missing_(cls, value): the pseudo-member for a value without a member. The first
// pseudo-member made for a value is kept in the class's value map, so later lookups find it.
PyObject* flexible_missing(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "_missing_() takes exactly 1 argument (%zd given)", nargs - 1);
        return nullptr;
    }
    PyObject* cls = args[0];
    PyObject* value = args[1];
    Ref pseudo = Ref::steal(PyObject_CallMethodObjArgs(reinterpret_cast<PyObject*>(&PyLong_Type), constants.s_new,
                                                       cls, value, nullptr));
    if (!pseudo) return nullptr;
    bool has_value = false;
    optional_attr(pseudo.get(), constants.s_value_, has_value);
    if (!has_value && PyErr_Occurred()) return nullptr;
    if (!has_value && PyObject_SetAttr(pseudo.get(), constants.s_value_, value) < 0) return nullptr;
    if (PyObject_SetAttr(pseudo.get(), constants.s_name_, Py_None) < 0) return nullptr;
    bool has_map = false;
    Ref value_map = optional_attr(cls, constants.s_value2member_map_, has_map);
    if (!has_map && PyErr_Occurred()) return nullptr;
    if (value_map && value_map.get() != Py_None) {
        return PyObject_CallMethodObjArgs(value_map.get(), constants.s_setdefault, value, pseudo.get(), nullptr);
    }
    return pseudo.release();
}

// __repr__(self): "<NodeType: 1>" for a pseudo-member, the usual IntEnum form for a member.
PyObject* flexible_repr(PyObject*, PyObject* self) noexcept {
    Ref name_ = Ref::steal(PyObject_GetAttr(self, constants.s_name_));
    if (!name_) return nullptr;
    if (name_.get() != Py_None) {
        Ref proxy = Ref::steal(PyObject_CallFunctionObjArgs(state.super, state.flexible_enum_base, self, nullptr));
        if (!proxy) return nullptr;
        return PyObject_CallMethodNoArgs(proxy.get(), constants.s_repr);
    }
    Ref cls = Ref::steal(PyObject_GetAttr(self, constants.s_class));
    if (!cls) return nullptr;
    Ref cls_name = Ref::steal(PyObject_GetAttr(cls.get(), constants.s_dunder_name));
    if (!cls_name) return nullptr;
    if (!PyUnicode_CheckExact(cls_name.get())) {
        cls_name = Ref::steal(PyObject_Format(cls_name.get(), constants.empty_str));
        if (!cls_name) return nullptr;
    }
    Ref value = Ref::steal(PyObject_GetAttr(self, constants.s_value_));
    if (!value) return nullptr;
    Ref value_repr = Ref::steal(PyObject_Repr(value.get()));
    if (!value_repr) return nullptr;
    if (!PyUnicode_CheckExact(value_repr.get())) {
        value_repr = Ref::steal(PyObject_Format(value_repr.get(), constants.empty_str));
        if (!value_repr) return nullptr;
    }
    return PyUnicode_FromFormat("<%U: %U>", cls_name.get(), value_repr.get());
}

PyMethodDef missing_def = {"_missing_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flexible_missing)),
                           METH_FASTCALL, nullptr};
PyMethodDef repr_def = {"__repr__", flexible_repr, METH_O, nullptr};

// The namespace of FlexibleEnumBase, prepared by the enum metaclass.
Ref flexible_namespace(PyObject* meta, PyObject* bases, PyObject* name) noexcept {
    Ref ns = Ref::steal(PyObject_CallMethod(meta, "__prepare__", "OO", name, bases));
    if (!ns) return ns;
    Ref missing_fn = Ref::steal(PyCFunction_NewEx(&missing_def, nullptr, constants.s_module_name));
    if (!missing_fn) return Ref();
    Ref missing = Ref::steal(PyClassMethod_New(missing_fn.get()));
    if (!missing) return Ref();
    Ref repr_fn = Ref::steal(PyCFunction_NewEx(&repr_def, nullptr, constants.s_module_name));
    if (!repr_fn) return Ref();
    Ref repr = Ref::steal(PyInstanceMethod_New(repr_fn.get()));
    if (!repr) return Ref();
    if (PyObject_SetItem(ns.get(), constants.s_module, constants.s_module_name) < 0 ||
        PyMapping_SetItemString(ns.get(), "_missing_", missing.get()) < 0 ||
        PyObject_SetItem(ns.get(), constants.s_repr, repr.get()) < 0)
        return Ref();
    return ns;
}

Ref create_flexible_enum_base(PyObject* int_enum) noexcept {
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(int_enum));
    Ref name = Ref::steal(PyUnicode_FromString("FlexibleEnumBase"));
    Ref bases = Ref::steal(PyTuple_Pack(1, int_enum));
    if (!name || !bases) return Ref();
    Ref ns = flexible_namespace(meta, bases.get(), name.get());
    if (!ns) return ns;
    return Ref::steal(PyObject_CallFunctionObjArgs(meta, name.get(), bases.get(), ns.get(), nullptr));
}

Ref member_list() noexcept {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return list;
    for (const member& m : members) {
        Ref item = Ref::steal(Py_BuildValue("(si)", m.name, m.value));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return Ref();
    }
    return list;
}

Ref create_enum(PyObject* base) noexcept {
    Ref members_list = member_list();
    if (!members_list) return Ref();
    PyObject* module_name = PyDict_GetItemWithError(state.globals, constants.s_module);
    if (!module_name) {
        if (PyErr_Occurred()) return Ref();
        module_name = constants.s_module_name;
    }
    Ref args = Ref::steal(Py_BuildValue("(sO)", "NodeType", members_list.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "module", module_name));
    if (!args || !kwargs) return Ref();
    return Ref::steal(PyObject_Call(base, args.get(), kwargs.get()));
}

}  // namespace

int create_node_type() noexcept {
    for (std::size_t i = 0; i < std::size(members); ++i) {
        if (!member_names[i]) member_names[i] = PyUnicode_InternFromString(members[i].name);
        if (!member_names[i]) return -1;
    }
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    if (!enum_module) return -1;
    Ref int_enum = Ref::steal(PyObject_GetAttrString(enum_module.get(), "IntEnum"));
    if (!int_enum) return -1;
    Ref base = create_flexible_enum_base(int_enum.get());
    if (!base) return -1;
    state.flexible_enum_base = base.release();  // kept for the life of the process
    Ref node_type = create_enum(state.flexible_enum_base);
    if (!node_type || PyDict_SetItem(state.globals, constants.s_NodeType, node_type.get()) < 0) return -1;
    PyObject* bound = PyDict_GetItemWithError(state.globals, constants.s_NodeType);
    if (!bound) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", constants.s_NodeType);
        return -1;
    }
    Ref doc = Ref::steal(PyUnicode_FromString("Enumeration of XML node types\n    "));
    if (!doc) return -1;
    return PyObject_SetAttrString(bound, "__doc__", doc.get());
}

PyObject* _node_type_to_py(int value) noexcept {
    PyObject* node_type = PyDict_GetItemWithError(state.globals, constants.s_NodeType);
    if (!node_type && !PyErr_Occurred()) node_type = PyDict_GetItemWithError(PyModule_GetDict(state.builtins), constants.s_NodeType);
    if (!node_type) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", constants.s_NodeType);
        return nullptr;
    }
    for (std::size_t i = 0; i < std::size(members); ++i) {
        if (members[i].value == value) return PyObject_GetAttr(node_type, member_names[i]);
    }
    Ref number = Ref::steal(PyLong_FromLong(value));
    if (!number) return nullptr;
    return PyObject_CallOneArg(node_type, number.get());
}

namespace {

int node_type_from_long(PyObject* number) noexcept {
    long value = PyLong_AsLong(number);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to enum tamarack::NodeType");
        return -1;
    }
    return static_cast<int>(value);
}

}  // namespace

int _node_type_from_py(PyObject* obj) noexcept {
    if (PyLong_Check(obj)) return node_type_from_long(obj);
    PyNumberMethods* number_methods = Py_TYPE(obj)->tp_as_number;
    if (!number_methods || !number_methods->nb_int) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    Ref result = Ref::steal(number_methods->nb_int(obj));
    if (!result) return -1;
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0)
            return -1;
    }
    return node_type_from_long(result.get());
}

}  // namespace tamarack
