// XPath queries, evaluated by pugixml against the document node and answered with the tree's own
// elements.
#include "errors.hpp"
#include "module.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tamarack {

namespace {

// What a query result needs of its node: whether it is one, and the key of the dictionary.
void capture_identity(node_struct& record, const pugi::xml_node& node) noexcept {
    record.type = node.type();
    record.hash_value = node.hash_value();
}

// Evaluates `xpath` as a node set against the document node and keeps, in the node set's own
// order, every selected item that is a node (attributes and null handles produce nothing).
int select_nodes(DocumentObject* self, const char* xpath, std::vector<pugi::xml_node>& nodes) noexcept {
    pugi::xpath_node_set selection;
    if (guarded(-1, [&] {
            pugi::xpath_query query(xpath);
            selection = query.evaluate_node_set(self->_document);
            return 0;
        }, nullptr, translate_xpath_exception) < 0)
        return -1;
    return guarded(-1, [&] {
        nodes.reserve(selection.size());
        for (const pugi::xpath_node& item : selection) {
            if (item.attribute() || !item.node()) continue;
            nodes.push_back(item.node());
        }
        return 0;
    });
}

// `//name`, the commonest query, when `xpath` is exactly that: the name as pugixml reads it in
// ASCII, an optional prefix included. pugixml compares an element's name with the name's bytes.
bool descendants_named(const char* xpath, std::string_view& name) noexcept {
    auto start = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    auto symbol = [&](char c) { return start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; };
    if (xpath[0] != '/' || xpath[1] != '/' || !start(xpath[2])) return false;
    const char* end = xpath + 3;
    while (symbol(*end)) ++end;
    if (*end == ':' && symbol(end[1]))
        for (++end; symbol(*end);) ++end;
    if (*end != '\0') return false;
    name = std::string_view(xpath + 2, static_cast<std::size_t>(end - xpath - 2));
    return true;
}

// Whether an element is named `name`. Most names are shared strs, so each str's answer is kept:
// no code runs during a walk, and the strs it meets stay where they are.
class name_test {
public:
    explicit name_test(std::string_view name) noexcept : name_(name) {}

    bool operator()(const ElementObject* e) noexcept {
        if (e->node_struct.type != pugi::node_element) return false;
        PyObject* shared = e->node_struct.strings.name_object();
        if (!shared) return equal(e->node_struct.strings.name());
        memo& m = memos_[(reinterpret_cast<std::uintptr_t>(shared) >> 4) % memos];
        if (m.str != shared) m = {shared, equal(e->node_struct.strings.name())};
        return m.matches;
    }

private:
    bool equal(snapshot_strings::view own) const noexcept {
        return own.size == name_.size() && std::memcmp(own.data, name_.data(), name_.size()) == 0;
    }
    struct memo {
        PyObject* str = nullptr;
        bool matches = false;
    };
    static constexpr std::size_t memos = 16;
    std::string_view name_;
    memo memos_[memos];
};

// References to elements, let go of with the holder.
class held_elements {
public:
    held_elements() noexcept = default;
    held_elements(const held_elements&) = delete;
    held_elements& operator=(const held_elements&) = delete;
    ~held_elements() {
        for (ElementObject* e : elements_) Py_DECREF(e);
    }
    // Takes a reference to each of `elements`.
    void hold(std::vector<ElementObject*>&& elements) noexcept {
        elements_ = std::move(elements);
        for (ElementObject* e : elements_) Py_INCREF(e);
    }
    // A new list that takes the references over.
    PyObject* into_list() noexcept {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(elements_.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < elements_.size(); ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), reinterpret_cast<PyObject*>(elements_[i]));
        elements_.clear();
        return list;
    }

private:
    std::vector<ElementObject*> elements_;
};

// Finds the elements named `name` in a walk of the tree as built, and on the tree's first query
// takes the references of the index standing in for the dictionary on the way: the lookups would
// otherwise take them in a second pass over the same elements. No allocation is left to the walk
// then, since the references must be all taken or none: room for each element and for its frame.
class named_walk {
public:
    explicit named_walk(std::string_view name) noexcept : named_(name) {}

    // 0, or -1 with an exception set.
    int run(DocumentObject* self, ElementObject* top) noexcept {
        std::size_t limit = entries_to_take_over(self);
        if (limit > 0 && or_fallback(false, [&] {
                stack_.reserve(limit + 1);
                found.reserve(limit);
                return true;
            }) && start_taking_over(self)) {
            int taken = take_over(top, limit);
            finish_taking_over(self, taken > 0);
            if (taken >= 0) return 0;
        }
        return guarded(-1, [&] {
            return walk_in_preorder(top, stack_, [&](ElementObject* e) {
                if (named_(e)) found.push_back(e);
                return 0;
            });
        });
    }

    std::vector<ElementObject*> found;

private:
    // 1 when the walk took a reference to each of the `limit` elements and found one named. Gives
    // back what it took otherwise: 0 when the walk found none named (a query that selects nothing
    // readies no lookups), -1 when it did not finish.
    int take_over(ElementObject* top, std::size_t limit) noexcept {
        std::size_t taken = 0;
        int walked = or_fallback(-1, [&] {
            return walk_in_preorder(top, stack_, [&](ElementObject* e) {
                if (taken == limit) return -1;  // not the tree the index was built with
                Py_INCREF(e);
                ++taken;
                if (named_(e)) found.push_back(e);
                return 0;
            });
        });
        bool finished = walked == 0 && taken == limit;
        if (finished && !found.empty()) return 1;
        std::size_t given = 0;
        or_fallback(-1, [&] {
            return walk_in_preorder(top, stack_, [&](ElementObject* e) {
                if (given == taken) return -1;
                ++given;
                Py_DECREF(e);  // the tree holds it still
                return 0;
            });
        });
        found.clear();
        return finished ? 0 : -1;
    }

    name_test named_;
    std::vector<preorder_frame> stack_;
};

// A loaded Document whose tree is not built yet, and whose lookups are the module's own.
bool is_unbuilt(DocumentObject* self) noexcept {
    return self->_has_document && self->vtab->_find_from_hash_value == _find_from_hash_value &&
           !self->vtab->_has_root(self);
}

// Whether pugixml's `//name` selects anything in `document`: an element of that very name. `name`
// ends the query's NUL-terminated text.
bool has_element_named(const pugi::xml_document& document, std::string_view name) noexcept {
    return document.find_node([&](const pugi::xml_node& n) {
        return n.type() == pugi::node_element && std::strcmp(n.name(), name.data()) == 0;
    });
}

// The elements named `name` in document order, from a walk of the tree as built: what pugixml
// selects, each the element that a lookup of its node gives, found without walking pugixml's text
// nodes or looking any node up; on a Document not built yet, the tree is built first when the query
// selects anything. Null without an exception when the tree cannot answer.
PyObject* find_descendants_named(DocumentObject* self, std::string_view name) noexcept {
    ElementObject* top = tree_as_built(self);
    if (!top && is_unbuilt(self)) {
        // The lookups of what pugixml selects would build the tree; with nothing selected, nothing
        // is built.
        if (!has_element_named(self->_document, name)) return PyList_New(0);
        Ref root = Ref::steal(self->vtab->_get_root(self));
        if (!root) return nullptr;
        top = tree_as_built(self);
    }
    if (!top) return nullptr;
    named_walk walk(name);
    if (walk.run(self, top) < 0) return nullptr;
    // A query that selects nothing looks nothing up.
    if (walk.found.empty()) return PyList_New(0);
    // Held first: readying the lookups and making the list may run a collection, and with it
    // anybody's code, which may change the tree.
    held_elements held;
    held.hold(std::move(walk.found));
    int answered = lookups_by_tree(self);
    if (answered <= 0) return nullptr;
    return held.into_list();
}

}  // namespace

int _xpath_find(DocumentObject* self, const char* xpath, node_struct& result) noexcept {
    pugi::xml_node node;
    if (guarded(-1, [&] {
            pugi::xpath_query query(xpath);
            node = query.evaluate_node(self->_document).node();
            return 0;
        }, nullptr, translate_xpath_exception) < 0)
        return -1;
    capture_identity(result, node);
    return 0;
}

int _xpath_findall(DocumentObject* self, const char* xpath, xpath_results& results) noexcept {
    std::vector<pugi::xml_node> nodes;
    if (select_nodes(self, xpath, nodes) < 0) return -1;
    return guarded(-1, [&] {
        results.reserve(results.size() + nodes.size());
        for (const pugi::xml_node& node : nodes) {
            auto record = std::make_unique<node_struct>();
            capture_identity(*record, node);
            results.push_back(std::move(record));
        }
        return 0;
    });
}

PyObject* xpath_find(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* xpath = single_argument(args, nargs, kwnames, "xpath_find", "xpath");
    if (!xpath) return nullptr;
    if (!PyUnicode_CheckExact(xpath)) return argument_type_error("xpath", &PyUnicode_Type, xpath);
    DocumentObject* self = as_document(obj);
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
    DocumentObject* self = as_document(obj);
    std::string_view name;
    if (descendants_named(utf8, name)) {
        if (PyObject* list = find_descendants_named(self, name)) return list;
        if (PyErr_Occurred()) {
            add_traceback("tamarack.pugixml.Document.xpath_findall");
            return nullptr;
        }
    }
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

}  // namespace tamarack
