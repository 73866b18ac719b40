// Document.xpath(): any XPath 1.0 expression, from the document node or from an element of the
// current tree, with variables, answered with a Python value. A node set comes back in document
// order without duplicates; its nodes that have an element in the tree are those elements, every
// other node (attribute, text, the document node, a node of an excluded kind) is its string-value.
//
// Every native step runs inside the module's guard: compilation and evaluation with the XPath
// translation, the native tables, vectors and strings with the ordinary one. The only traceback
// entry of a failure is the method's own, added by xpath().
//
// Python code may run only while the arguments are read and, on a tampered dictionary by hash
// value, during a lookup of an element: the pugixml nodes found are never used past a step that
// may have reset the document (see same_tree).
#include "element_index.hpp"
#include "errors.hpp"
#include "module.hpp"

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tamarack {
namespace {

const char* const qualified_name = "tamarack.pugixml.Document.xpath";

// Compiled expressions kept for reuse across every Document: a query does not refer to any
// document, only to the variable set it was compiled against. Each entry is a few hundred bytes
// to a few kilobytes; the bound keeps a program that builds expressions by formatting from
// growing without end, while the queries of any ordinary loop stay compiled.
constexpr std::size_t query_cache_capacity = 256;

// A variable of one call, converted from Python before anything is evaluated.
struct variable_value {
    std::string name;  // UTF-8, without NUL
    pugi::xpath_value_type type = pugi::xpath_type_none;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<pugi::xpath_node> nodes;
};

// pugixml's compiled query refers to the variables of the set it was compiled against, so the two
// live together, and each call sets the values before it evaluates.
struct compiled_query {
    std::string key;
    pugi::xpath_variable_set variables;
    pugi::xpath_query query;
};

// The cache's key: the expression, then each variable's type and name, in the order of the names
// (neither holds a NUL, so the separators are unambiguous).
std::string cache_key(const char* expression, const std::vector<variable_value>& variables) {
    std::string key(expression);
    for (const variable_value& v : variables) {
        key += '\0';
        key += static_cast<char>('0' + v.type);
        key += v.name;
    }
    return key;
}

// Least recently used entries go first.
class query_cache {
public:
    // Throws what compilation throws (pugi::xpath_exception, std::bad_alloc); nothing is kept then.
    compiled_query& get(const std::string& key, const char* expression, const std::vector<variable_value>& variables) {
        if (auto found = by_key_.find(key); found != by_key_.end()) {
            order_.splice(order_.begin(), order_, found->second);
            return *order_.front();
        }
        auto entry = std::make_unique<compiled_query>();
        entry->key = key;
        for (const variable_value& v : variables)
            if (!entry->variables.add(v.name.c_str(), v.type)) throw std::bad_alloc();
        entry->query = pugi::xpath_query(expression, variables.empty() ? nullptr : &entry->variables);
        // The entry joins a list of its own first and the cache only by a splice, which cannot
        // throw: whatever throws before leaves the cache as it was.
        entries fresh;
        fresh.push_front(std::move(entry));
        by_key_.emplace(fresh.front()->key, fresh.begin());  // the iterator stays valid in order_
        order_.splice(order_.begin(), fresh);
        if (order_.size() > query_cache_capacity) {
            by_key_.erase(order_.back()->key);
            order_.pop_back();
        }
        return *order_.front();
    }

private:
    using entries = std::list<std::unique_ptr<compiled_query>>;
    entries order_;
    std::unordered_map<std::string_view, entries::iterator> by_key_;  // views of the entries' keys
};

query_cache& queries() noexcept {
    static query_cache cache;
    return cache;
}

PyObject* reset_during_query() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "the document was reset during the query");
    return nullptr;
}

// Whether `tree`, the root held since before a lookup, is still the Document's built tree. A
// reset releases the built tree and a load resets first, so while this holds the document is the
// one the nodes found before came from; holding the root keeps its address from being reused.
bool same_tree(DocumentObject* self, const Ref& tree) noexcept {
    return self->vtab->_has_root(self) && self->_root == tree.get();
}

// Arguments.

struct arguments {
    PyObject* expression = nullptr;  // all borrowed from the call
    PyObject* context = Py_None;
    PyObject* variables = Py_None;
};

// Unusual calls go through the interpreter's own parser, so that its usual messages are seen.
int parse_with_interpreter(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, arguments& out) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref positional = Ref::steal(PyTuple_New(nargs));
    Ref keywords = Ref::steal(PyDict_New());
    if (!positional || !keywords) return -1;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return -1;
    char* kwlist[] = {const_cast<char*>("expression"), const_cast<char*>("context"), const_cast<char*>("variables"),
                      nullptr};
    return PyArg_ParseTupleAndKeywords(positional.get(), keywords.get(), "O|OO:xpath", kwlist, &out.expression,
                                       &out.context, &out.variables)
               ? 0
               : -1;
}

int parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, arguments& out) noexcept {
    static const char* const names[] = {"expression", "context", "variables"};
    PyObject* given[3] = {nullptr, nullptr, nullptr};
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool plain = nargs <= 3;
    for (Py_ssize_t i = 0; plain && i < nargs; ++i) given[i] = args[i];
    for (Py_ssize_t k = 0; plain && k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int slot = 0;
        while (slot < 3 && PyUnicode_CompareWithASCIIString(name, names[slot]) != 0) ++slot;
        if (slot == 3 || given[slot]) plain = false;
        else given[slot] = args[nargs + k];
    }
    if (!plain || !given[0]) return parse_with_interpreter(args, nargs, kwnames, out);
    out.expression = given[0];
    if (given[1]) out.context = given[1];
    if (given[2]) out.variables = given[2];
    return 0;
}

// Elements of this Document's current tree.

// The pugixml node behind `element` when it is an element of this Document's current tree: 1 and
// `node` set, 0 when it is not (another Document's, a tree since reset, one made by hand), -1
// with an exception set. The dictionary by hash value answers with this tree's own element for
// the element's hash value exactly when the element is that one, whatever another document's
// nodes happen to share its hash value.
int node_of(DocumentObject* self, ElementObject* element, pugi::xml_node& node) noexcept {
    if (!self->_has_document || !self->vtab->_has_root(self)) return 0;
    std::size_t hash_value = element->node_struct.hash_value;
    if (element->node_struct.type == pugi::node_null || hash_value == 0) return 0;
    Ref tree = Ref::borrow(self->_root);
    Ref found = Ref::steal(self->vtab->_find_from_hash_value(self, hash_value));
    if (!found) return -1;
    // A key placed in the dictionary by hand may compare itself with Python code, which may
    // reset the document: the nodes found so far would then be freed ones.
    if (!same_tree(self, tree)) {
        reset_during_query();
        return -1;
    }
    if (found.get() != reinterpret_cast<PyObject*>(element)) return 0;
    return guarded(-1, [&] {
        if (!self->_index) self->_index = new element_index();
        if (self->_index->nodes.empty()) self->_index->nodes.fill(self->_document);
        node = self->_index->nodes.find(hash_value);
        return node ? 1 : 0;
    });
}

PyObject* not_of_this_tree(const char* what) noexcept {
    PyErr_Format(PyExc_ValueError, "%s is not an element of this document's current tree", what);
    return nullptr;
}

// Variables.

int variable_error(PyObject* type, PyObject* name, const char* format, const char* detail = nullptr) noexcept {
    if (detail) PyErr_Format(type, format, name, detail);
    else PyErr_Format(type, format, name);
    return -1;
}

// `sequence` is a tuple that nothing else can change during the conversion.
int convert_node_set(DocumentObject* self, PyObject* name, PyObject* sequence, variable_value& out) noexcept {
    Py_ssize_t size = PyTuple_GET_SIZE(sequence);
    PyObject** items = PySequence_Fast_ITEMS(sequence);
    if (guarded(-1, [&] {
            out.nodes.reserve(static_cast<std::size_t>(size));
            return 0;
        }) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!is_element(items[i]))
            return variable_error(PyExc_TypeError, name, "XPath variable %R holds a %.200s, not an Element",
                                  Py_TYPE(items[i])->tp_name);
        pugi::xml_node node;
        int found = node_of(self, as_element(items[i]), node);
        if (found < 0) return -1;
        if (found == 0)
            return variable_error(PyExc_ValueError, name,
                                  "XPath variable %R holds an element that is not of this document's current tree");
        out.nodes.emplace_back(node);  // within the capacity reserved: cannot throw
    }
    // A node set holds each node once.
    return guarded(-1, [&] {
        auto by_node = [](const pugi::xpath_node& a, const pugi::xpath_node& b) {
            return a.node().internal_object() < b.node().internal_object();
        };
        std::sort(out.nodes.begin(), out.nodes.end(), by_node);
        out.nodes.erase(std::unique(out.nodes.begin(), out.nodes.end()), out.nodes.end());
        return 0;
    });
}

int convert_variable(DocumentObject* self, PyObject* name, PyObject* value, variable_value& out) noexcept {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "XPath variable names must be str, not %.200s (%R)", Py_TYPE(name)->tp_name,
                     name);
        return -1;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (!utf8) return -1;
    if (std::memchr(utf8, '\0', static_cast<std::size_t>(size)))
        return variable_error(PyExc_ValueError, name, "XPath variable name %R holds a NUL character");
    if (size == 0) return variable_error(PyExc_ValueError, name, "XPath variable name %R is empty");
    return guarded(-1, [&] {
        out.name.assign(utf8, static_cast<std::size_t>(size));
        if (PyBool_Check(value)) {
            out.type = pugi::xpath_type_boolean;
            out.boolean = value == Py_True;
        } else if (PyLong_Check(value) || PyFloat_Check(value)) {
            out.type = pugi::xpath_type_number;
            out.number = PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value) : PyLong_AsDouble(value);
            if (out.number == -1.0 && PyErr_Occurred()) return -1;
        } else if (PyUnicode_Check(value)) {
            out.type = pugi::xpath_type_string;
            const char* text = PyUnicode_AsUTF8(value);  // an embedded NUL ends the text, as everywhere
            if (!text) return -1;
            out.string = text;
        } else if (PyTuple_Check(value)) {  // a list's items, copied by convert_variables
            out.type = pugi::xpath_type_node_set;
            return convert_node_set(self, name, value, out);
        } else {
            return variable_error(PyExc_TypeError, name,
                                  "XPath variable %R has a value of type %.200s (expected str, int, float, "
                                  "bool, or a list of Elements)",
                                  Py_TYPE(value)->tp_name);
        }
        return 0;
    });
}

// The (name, value) pairs of the mapping, from its items(): the step of the arguments that runs
// Python code, so it comes before any node of the document is looked at.
Ref variable_items(PyObject* mapping) noexcept {
    if (mapping == Py_None) return Ref();
    Ref items = Ref::steal(PyDict_Check(mapping) ? PyDict_Items(mapping) : PyMapping_Items(mapping));
    if (!items && !PyDict_Check(mapping) &&
        (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError))) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "Argument 'variables' has incorrect type (expected a mapping, got %.200s)",
                     Py_TYPE(mapping)->tp_name);
    }
    return items;
}

// Reads the pairs without running Python code: a list's items are copied from its storage, as a
// tuple's are read in place, whichever subclass holds them (iterating would run its __iter__,
// which could reset the document after nodes have been looked up). The list of pairs, which the
// mapping may hold too, is copied first, so that nothing run during a lookup can change or free
// the pairs being read.
int convert_variables(DocumentObject* self, PyObject* items, std::vector<variable_value>& out) noexcept {
    if (!items) return 0;
    Ref pairs = Ref::steal(PyList_AsTuple(items));
    if (!pairs) return -1;
    Py_ssize_t count = PyTuple_GET_SIZE(pairs.get());
    if (guarded(-1, [&] {
            out.resize(static_cast<std::size_t>(count));
            return 0;
        }) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(pairs.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "the items of 'variables' must be (name, value) pairs");
            return -1;
        }
        Ref node_set;  // a list value, as a tuple of its items
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        if (PyList_Check(value)) {
            node_set = Ref::steal(PyList_AsTuple(value));
            if (!node_set) return -1;
            value = node_set.get();
        }
        if (convert_variable(self, PyTuple_GET_ITEM(pair, 0), value, out[static_cast<std::size_t>(i)]) < 0)
            return -1;
    }
    if (guarded(-1, [&] {
            std::sort(out.begin(), out.end(),
                      [](const variable_value& a, const variable_value& b) { return a.name < b.name; });
            return 0;
        }) < 0)
        return -1;
    // Only a mapping of another kind can give a name twice; the engine holds one value per name.
    for (std::size_t i = 1; i < out.size(); ++i) {
        if (out[i].name != out[i - 1].name) continue;
        PyErr_Format(PyExc_ValueError, "XPath variable '%s' is given more than once", out[i].name.c_str());
        return -1;
    }
    return 0;
}

// Evaluation.

struct evaluation {
    pugi::xpath_value_type type = pugi::xpath_type_none;
    bool boolean = false;
    double number = 0;
    std::string string;
    pugi::xpath_node_set nodes;
};

// Node handles must not stay behind in the cache once the call is over, however it ends: they
// would point into a document that may be freed before the query is used again.
class node_sets_forgotten {
public:
    node_sets_forgotten(compiled_query& compiled, const std::vector<variable_value>& variables) noexcept
        : compiled_(compiled), variables_(variables) {}
    node_sets_forgotten(const node_sets_forgotten&) = delete;
    node_sets_forgotten& operator=(const node_sets_forgotten&) = delete;
    ~node_sets_forgotten() {
        for (const variable_value& v : variables_) {
            if (v.type != pugi::xpath_type_node_set) continue;
            // An empty set allocates nothing, so this cannot fail in practice; nothing to report.
            or_fallback(false, [&] {
                if (pugi::xpath_variable* variable = compiled_.variables.get(v.name.c_str()))
                    variable->set(pugi::xpath_node_set());
                return true;
            });
        }
    }

private:
    compiled_query& compiled_;
    const std::vector<variable_value>& variables_;
};

// Throws std::bad_alloc when a value cannot be stored.
void set_variables(compiled_query& compiled, const std::vector<variable_value>& variables) {
    for (const variable_value& v : variables) {
        pugi::xpath_variable* variable = compiled.variables.get(v.name.c_str());
        bool done = false;
        if (!variable) done = false;
        else if (v.type == pugi::xpath_type_boolean) done = variable->set(v.boolean);
        else if (v.type == pugi::xpath_type_number) done = variable->set(v.number);
        else if (v.type == pugi::xpath_type_string) done = variable->set(v.string.c_str());
        else
            done = variable->set(pugi::xpath_node_set(v.nodes.data(), v.nodes.data() + v.nodes.size()));
        if (!done) throw std::bad_alloc();  // the types match by construction: only memory can fail
    }
}

int evaluate(const char* expression, const std::vector<variable_value>& variables, const pugi::xpath_node& context,
             evaluation& out) noexcept {
    return guarded(-1, [&] {
        compiled_query& compiled = queries().get(cache_key(expression, variables), expression, variables);
        node_sets_forgotten forget(compiled, variables);
        set_variables(compiled, variables);
        const pugi::xpath_query& query = compiled.query;
        out.type = query.return_type();
        switch (out.type) {
            case pugi::xpath_type_boolean: out.boolean = query.evaluate_boolean(context); break;
            case pugi::xpath_type_number: out.number = query.evaluate_number(context); break;
            case pugi::xpath_type_string: out.string = query.evaluate_string(context); break;
            default:
                out.nodes = query.evaluate_node_set(context);
                out.nodes.sort();
                break;
        }
        return 0;
    }, nullptr, translate_xpath_exception);
}

// Results.

// A string result or string-value. The XPath engine counts bytes, not characters, in substring(),
// string-length() and translate(), so a result may end inside a character: it is refused, never
// passed on with a replacement character.
PyObject* decode(const char* data, std::size_t size, bool computed) noexcept {
    PyObject* text = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
    if (text || !computed || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    add_note_to_pending("the XPath result is not valid UTF-8: the document's text is not, or substring() or "
                        "translate() split a character (pugixml's string functions count bytes, not characters)");
    return nullptr;
}

// The string-value of a node that has no element: attributes and text directly, any other node by
// pugixml's own definition, so that it equals what string() gives in an expression.
PyObject* string_value(const pugi::xpath_node& item) noexcept {
    if (pugi::xml_attribute a = item.attribute()) return decode(a.value(), std::strlen(a.value()), false);
    pugi::xml_node node = item.node();
    switch (node.type()) {
        case pugi::node_pcdata:
        case pugi::node_cdata:
        case pugi::node_comment:
        case pugi::node_pi: return decode(node.value(), std::strlen(node.value()), false);
        default: break;
    }
    std::string value;
    if (guarded(-1, [&] {
            static const std::vector<variable_value> none;
            value = queries().get(cache_key("string(.)", none), "string(.)", none).query.evaluate_string(item);
            return 0;
        }, nullptr, translate_xpath_exception) < 0)
        return nullptr;
    return decode(value.data(), value.size(), false);
}

bool may_have_element(const pugi::xpath_node& item) noexcept {
    if (item.attribute()) return false;
    int type = item.node().type();
    return type != pugi::node_null && type != pugi::node_pcdata && type != pugi::node_document;
}

// Whether a tree built now, with the current exclusions, would hold an element for one of `items`.
// A tree holds the document element and, below it, every node that is neither text nor of an
// excluded kind and has no excluded ancestor. What is learned on the way up is remembered, so
// that many deep nodes cost one walk of their ancestors in all.
bool tree_would_hold_one_of(DocumentObject* self, const pugi::xpath_node_set& items) noexcept {
    pugi::xml_node root = self->_document.document_element();
    const node_type_set& exclusions = self->_node_type_exclusions;
    // Without memory to remember, build: the lookups then decide.
    return or_fallback(true, [&] {
        std::unordered_map<const pugi::xml_node_struct*, bool> known;
        std::vector<const pugi::xml_node_struct*> path;
        for (const pugi::xpath_node& item : items) {
            if (!may_have_element(item)) continue;
            path.clear();
            bool held = false;
            for (pugi::xml_node n = item.node();; n = n.parent()) {
                if (n == root) {
                    held = true;
                    break;
                }
                if (auto found = known.find(n.internal_object()); found != known.end()) {
                    held = found->second;
                    break;
                }
                path.push_back(n.internal_object());
                pugi::xml_node parent = n.parent();
                if (!parent || parent.type() == pugi::node_document) break;  // outside the document element
                if (n.type() == pugi::node_pcdata || exclusions.count(n.type())) break;
            }
            if (held) return true;
            for (const pugi::xml_node_struct* n : path) known.emplace(n, false);
        }
        return false;
    });
}

// A node set's distinct items, in order, each with the hash value of its node when it may have an
// element (0 otherwise): the lookups need only these, so no node is read while they run.
struct distinct_item {
    const pugi::xpath_node* item;
    std::size_t hash_value;
};

int distinct_items(const pugi::xpath_node_set& nodes, std::vector<distinct_item>& out) noexcept {
    return guarded(-1, [&] {
        out.reserve(nodes.size());
        for (const pugi::xpath_node& item : nodes) {
            if (!item.node() && !item.attribute()) continue;
            if (!out.empty() && *out.back().item == item) continue;
            out.push_back({&item, may_have_element(item) ? item.node().hash_value() : 0});
        }
        return 0;
    });
}

// Fills the slots of `list` whose items have an element in the tree, which is built if need be.
// Only hash values cross into the tree, and a lookup may run code that resets the document (see
// same_tree): the nodes are read again only once the tree is known to be the one that answered.
int fill_elements(DocumentObject* self, const std::vector<distinct_item>& items, PyObject* list) noexcept {
    Ref root = Ref::steal(self->vtab->_get_root(self));
    if (!root) return -1;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].hash_value) continue;
        PyObject* found = self->vtab->_find_from_hash_value(self, items[i].hash_value);
        if (!found) return -1;
        if (found == Py_None) {
            Py_DECREF(found);
            continue;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), found);
    }
    if (!same_tree(self, root)) {
        reset_during_query();
        return -1;
    }
    return 0;
}

// The list for a node set, in document order without duplicates (pugixml removes them from the
// results of its own steps; a node-set variable may be returned as it was given).
PyObject* node_set_to_list(DocumentObject* self, const pugi::xpath_node_set& nodes) noexcept {
    std::vector<distinct_item> items;
    if (distinct_items(nodes, items) < 0) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    bool lookups = self->_has_document && (self->vtab->_has_root(self) || tree_would_hold_one_of(self, nodes));
    if (lookups && fill_elements(self, items, list.get()) < 0) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i))) continue;
        PyObject* value = string_value(*items[i].item);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

PyObject* to_python(DocumentObject* self, const evaluation& result) noexcept {
    switch (result.type) {
        case pugi::xpath_type_boolean: return PyBool_FromLong(result.boolean);
        case pugi::xpath_type_number: return PyFloat_FromDouble(result.number);
        case pugi::xpath_type_string: return decode(result.string.data(), result.string.size(), true);
        default: return node_set_to_list(self, result.nodes);
    }
}

PyObject* run_xpath(DocumentObject* self, const arguments& a) noexcept {
    if (!PyUnicode_CheckExact(a.expression)) return argument_type_error("expression", &PyUnicode_Type, a.expression);
    if (a.context != Py_None && !is_element(a.context)) return argument_type_error("context", &ElementType, a.context);
    Ref holder;
    const char* expression = utf8_of(a.expression, holder);
    if (!expression) return nullptr;
    Ref items = variable_items(a.variables);
    if (!items && PyErr_Occurred()) return nullptr;
    // From here on only a lookup in a tampered dictionary runs Python code, and node_of reports
    // a reset it made: the nodes found stay valid.
    pugi::xpath_node context{self->_document};
    if (a.context != Py_None) {
        pugi::xml_node node;
        int found = node_of(self, as_element(a.context), node);
        if (found < 0) return nullptr;
        if (found == 0) return not_of_this_tree("context");
        context = pugi::xpath_node(node);
    }
    std::vector<variable_value> variables;
    if (convert_variables(self, items.get(), variables) < 0) return nullptr;
    evaluation result;
    if (evaluate(expression, variables, context, result) < 0) return nullptr;
    return to_python(self, result);
}

}  // namespace

PyObject* xpath(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    arguments a;
    if (parse_arguments(args, nargs, kwnames, a) < 0) return nullptr;
    PyObject* result = run_xpath(as_document(obj), a);
    if (!result) add_traceback(qualified_name);
    return result;
}

}  // namespace tamarack
