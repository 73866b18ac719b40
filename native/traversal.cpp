// An Element as a read-only sequence of its kept children: len, indexing, iteration over the
// children and the depth-first walk of a subtree, both as generator objects of this module's own.
#include "errors.hpp"
#include "module.hpp"

#include <new>
#include <vector>

namespace tamarack {

// Container slots.

Py_ssize_t element_len(PyObject* self) noexcept { return PyObject_Size(as_element(self)->_children); }

PyObject* element_getitem(PyObject* self, PyObject* index) noexcept {
    if (!PyLong_CheckExact(index)) return argument_type_error("index", &PyLong_Type, index, true);
    return PyObject_GetItem(as_element(self)->_children, index);
}

PyObject* element_sq_item(PyObject* self, Py_ssize_t index) noexcept {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return nullptr;
    return Py_TYPE(self)->tp_as_mapping->mp_subscript(self, key.get());
}

namespace {

enum class gen_state { fresh, suspended, exhausted };

// State common to both generators: the element it was called on, and where it stands.
struct generator_base {
    PyObject_HEAD
    PyObject* element;
    gen_state state;
};

// Children of `element` as the list to iterate, or null with the TypeError a for loop would give
// for an element torn down by the collector.
PyObject* children_of(PyObject* element) noexcept {
    // Only a list changed behind the tree's back (through gc.get_referents) holds anything but
    // elements; such an item has no children to walk.
    if (!is_element(element)) return PyList_New(0);
    PyObject* children = as_element(element)->_children;
    if (children == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    return Py_NewRef(children);
}

// iter(element): the children, one by one. The list's length is read at every step, so an old root
// emptied by its document ends the iteration at the next step.
struct IterGenerator : generator_base {
    PyObject* list;  // the element's own _children list, fetched at the first step
    Py_ssize_t index;
};

void iter_finish(IterGenerator* g) noexcept {
    g->state = gen_state::exhausted;
    Py_CLEAR(g->list);
}

PyObject* iter_step(IterGenerator* g) noexcept {
    if (g->state == gen_state::exhausted) return nullptr;
    if (g->state == gen_state::fresh) {
        g->state = gen_state::suspended;
        g->list = children_of(g->element);
        if (!g->list) {
            iter_finish(g);
            return nullptr;
        }
    }
    if (g->index < PyList_GET_SIZE(g->list)) return Py_NewRef(PyList_GET_ITEM(g->list, g->index++));
    iter_finish(g);
    return nullptr;
}

// walk(): the element, then every kept descendant in pre-order. Where nested generators would add
// one generator per level, this one keeps a stack of (children list, next index) frames: the
// same items in the same order at a cost per item that does not grow with depth. A child's list is
// fetched when the step after the child's own is taken, as a nested generator would do it.
struct walk_frame {
    PyObject* list;  // owned
    Py_ssize_t index;
};

struct WalkGenerator : generator_base {
    std::vector<walk_frame> stack;
    PyObject* pending;  // the item last yielded, whose children come next; owned
};

void walk_finish(WalkGenerator* g) noexcept {
    g->state = gen_state::exhausted;
    Py_CLEAR(g->pending);
    while (!g->stack.empty()) {
        PyObject* list = g->stack.back().list;
        g->stack.pop_back();
        Py_DECREF(list);
    }
}

PyObject* walk_step(WalkGenerator* g) noexcept {
    if (g->state == gen_state::exhausted) return nullptr;
    if (g->state == gen_state::fresh) {
        g->state = gen_state::suspended;
        g->pending = Py_NewRef(g->element);
        return Py_NewRef(g->element);
    }
    bool stepped = guarded(false, [&] {
        if (g->pending) {
            PyObject* list = children_of(g->pending);
            Py_CLEAR(g->pending);
            if (!list) return false;
            // A list that is empty now stays empty (the module only ever empties lists), so a
            // leaf costs no frame.
            Ref held = Ref::steal(list);
            if (PyList_GET_SIZE(list) > 0) {
                g->stack.push_back({list, 0});
                held.release();  // the frame owns it now
            }
        }
        while (!g->stack.empty()) {
            walk_frame& top = g->stack.back();
            if (top.index < PyList_GET_SIZE(top.list)) {
                PyObject* child = PyList_GET_ITEM(top.list, top.index++);
                g->pending = Py_NewRef(child);
                return true;
            }
            Py_DECREF(top.list);
            g->stack.pop_back();
        }
        return false;
    });
    if (stepped) return Py_NewRef(g->pending);
    walk_finish(g);
    return nullptr;
}

// The generator protocol, shared by both types through these two hooks.
template <class G>
struct protocol;

template <>
struct protocol<IterGenerator> {
    static PyObject* step(IterGenerator* g) noexcept { return iter_step(g); }
    static void finish(IterGenerator* g) noexcept { iter_finish(g); }
    static constexpr const char* name = "__iter__";
    static constexpr const char* qualname = "Element.__iter__";
};

template <>
struct protocol<WalkGenerator> {
    static PyObject* step(WalkGenerator* g) noexcept { return walk_step(g); }
    static void finish(WalkGenerator* g) noexcept { walk_finish(g); }
    static constexpr const char* name = "walk";
    static constexpr const char* qualname = "Element.walk";
};

template <class G>
PyObject* gen_iternext(PyObject* self) noexcept {
    return protocol<G>::step(reinterpret_cast<G*>(self));
}

template <class G>
PyObject* gen_send(PyObject* self, PyObject* value) noexcept {
    G* g = reinterpret_cast<G*>(self);
    if (g->state == gen_state::fresh && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* item = protocol<G>::step(g);
    if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}

// Sets the exception that throw(typ[, val[, tb]]) asks for, normalised as generators do.
bool set_thrown(PyObject* typ, PyObject* val, PyObject* tb) noexcept {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    Py_XINCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_XDECREF(typ);
            Py_XDECREF(val);
            Py_XDECREF(tb);
            return false;
        }
        Py_XDECREF(val);
        val = typ;
        typ = Py_NewRef(PyExceptionInstance_Class(typ));
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        Py_XDECREF(typ);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        return false;
    }
    PyErr_Restore(typ, val, tb);
    return true;
}

// throw(): nothing inside catches, so the exception ends the generator, whatever level of the
// subtree a walk is in, and propagates.
template <class G>
PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                                  "signature instead.",
                                  1) < 0)
        return nullptr;
    G* g = reinterpret_cast<G*>(self);
    // Arguments that name no exception leave the generator as it was, as a built-in one stays.
    if (!set_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr)) return nullptr;
    bool suspended = g->state == gen_state::suspended;
    PyObject* thrown = PyErr_GetRaisedException();
    protocol<G>::finish(g);  // may run code (the release of a list), so not with the exception set
    // A StopIteration raised inside a suspended generator would end a caller's loop silently:
    // it becomes RuntimeError, caused by it, as PEP 479 makes it for generators.
    if (suspended && PyErr_GivenExceptionMatches(thrown, PyExc_StopIteration)) {
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* converted = PyErr_GetRaisedException();
        PyException_SetContext(converted, Py_NewRef(thrown));
        PyException_SetCause(converted, thrown);
        thrown = converted;
    }
    PyErr_SetRaisedException(thrown);
    return nullptr;
}

template <class G>
PyObject* gen_close(PyObject* self, PyObject*) noexcept {
    protocol<G>::finish(reinterpret_cast<G*>(self));
    Py_RETURN_NONE;
}

template <class G>
PyObject* gen_get_name(PyObject*, void*) noexcept {
    return PyUnicode_FromString(protocol<G>::name);
}

template <class G>
PyObject* gen_get_qualname(PyObject*, void*) noexcept {
    return PyUnicode_FromString(protocol<G>::qualname);
}

// Collector support mirrors the fields of each type. A list that a Document keeps out of the
// collector plays no part in a collection, and is not handed to gc.get_referents either, which
// would let anybody change it behind its tree's back.
int visit_list(PyObject* list, visitproc visit, void* arg) noexcept {
    if (list && PyObject_GC_IsTracked(list)) Py_VISIT(list);
    return 0;
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    IterGenerator* g = reinterpret_cast<IterGenerator*>(self);
    Py_VISIT(g->element);
    return visit_list(g->list, visit, arg);
}

int walk_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    WalkGenerator* g = reinterpret_cast<WalkGenerator*>(self);
    Py_VISIT(g->element);
    Py_VISIT(g->pending);
    for (const walk_frame& f : g->stack)
        if (int r = visit_list(f.list, visit, arg)) return r;
    return 0;
}

template <class G>
int gen_clear(PyObject* self) noexcept {
    G* g = reinterpret_cast<G*>(self);
    protocol<G>::finish(g);
    Py_CLEAR(g->element);
    return 0;
}

void iter_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    gen_clear<IterGenerator>(self);
    PyObject_GC_Del(self);
}

void walk_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    gen_clear<WalkGenerator>(self);
    reinterpret_cast<WalkGenerator*>(self)->stack.~vector();
    PyObject_GC_Del(self);
}

template <class G>
PyMethodDef gen_methods[] = {
    {"send", gen_send<G>, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw<G>)), METH_FASTCALL, nullptr},
    {"close", gen_close<G>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <class G>
PyGetSetDef gen_getset[] = {
    {"__name__", gen_get_name<G>, nullptr, nullptr, nullptr},
    {"__qualname__", gen_get_qualname<G>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class G>
PyTypeObject generator_type(const char* name, destructor dealloc, traverseproc traverse) noexcept {
    PyTypeObject t = static_type();
    t.tp_name = name;
    t.tp_basicsize = sizeof(G);
    t.tp_dealloc = dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = traverse;
    t.tp_clear = gen_clear<G>;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = gen_iternext<G>;
    t.tp_methods = gen_methods<G>;
    t.tp_getset = gen_getset<G>;
    return t;
}

template <class G>
G* new_generator(PyTypeObject* type, PyObject* element) noexcept {
    G* g = PyObject_GC_New(G, type);
    if (!g) return nullptr;
    g->element = Py_NewRef(element);
    g->state = gen_state::fresh;
    return g;
}

}  // namespace

PyTypeObject IterGeneratorType =
    generator_type<IterGenerator>("tamarack.pugixml.iter_generator", iter_dealloc, iter_traverse);
PyTypeObject WalkGeneratorType =
    generator_type<WalkGenerator>("tamarack.pugixml.walk_generator", walk_dealloc, walk_traverse);

PyObject* element_iter(PyObject* self) noexcept {
    IterGenerator* g = new_generator<IterGenerator>(&IterGeneratorType, self);
    if (!g) return nullptr;
    g->list = nullptr;
    g->index = 0;
    PyObject_GC_Track(g);
    return reinterpret_cast<PyObject*>(g);
}

PyObject* element_walk(PyObject* self, PyObject*) noexcept {
    WalkGenerator* g = new_generator<WalkGenerator>(&WalkGeneratorType, self);
    if (!g) return nullptr;
    new (&g->stack) std::vector<walk_frame>();
    g->pending = nullptr;
    PyObject_GC_Track(g);
    return reinterpret_cast<PyObject*>(g);
}

}  // namespace tamarack
