// XPath queries, evaluated by pugixml against the document node and answered with the tree's own
// elements.
#include "errors.hpp"
#include "module.hpp"

#include <memory>
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
