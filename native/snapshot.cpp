// Node snapshots: what an Element remembers of its pugixml node, captured once at build time.
#include "errors.hpp"
#include "module.hpp"

namespace tamarack {
namespace {

// The fields after type, name and path, in their order of capture.
void fill_fields(node_struct& record, const pugi::xml_node& n) {
    record.is_empty = n.empty();
    record.hash_value = n.hash_value();
    pugi::xml_node first = n.first_child();
    record.has_text = first && first.type() == pugi::node_pcdata;
    if (record.has_text)
        record.text = n.text().get();
    else
        record.text.clear();
    record.attributes.clear();
    for (pugi::xml_attribute a : n.attributes()) record.attributes[a.name()] = a.value();
}

int fill_failed() noexcept {
    GilGuard gil;
    translate_current_exception();
    add_traceback("tamarack.pugixml._fill_node_struct");
    return -1;
}

PyObject* decode_utf8(const std::string& bytes) noexcept {
    if (bytes.empty()) return Py_NewRef(constants.empty_str);
    return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
}

}  // namespace

int _fill_node_struct(node_struct& record, const pugi::xml_node& n) noexcept {
    try {
        record.type = n.type();
        record.name = n.name();
        record.path = n ? node_path::child(node_path(), n.path('/')) : node_path();
        fill_fields(record, n);
        return 0;
    } catch (...) {
        return fill_failed();
    }
}

int _fill_node_struct(node_struct& record, const pugi::xml_node& n, const node_path& parent_path) noexcept {
    try {
        record.type = n.type();
        record.name = n.name();
        record.path = node_path::child(parent_path, record.name);
        fill_fields(record, n);
        return 0;
    } catch (...) {
        return fill_failed();
    }
}

int _reset_node_struct(node_struct& record) noexcept {
    record.type = pugi::node_null;
    record.name.clear();
    record.path.reset();
    record.attributes.clear();
    record.text.clear();
    record.is_empty = true;
    record.has_text = false;
    record.hash_value = 0;
    return 0;
}

PyObject* _attribute_map_to_dict(cpp_string_map& map) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        add_traceback("tamarack.pugixml._attribute_map_to_dict");
        return nullptr;
    }
    for (const auto& [key, value] : map) {
        Ref py_value = Ref::steal(decode_utf8(value));
        Ref py_key = py_value ? Ref::steal(decode_utf8(key)) : Ref();
        if (!py_key || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) {
            add_traceback("tamarack.pugixml._attribute_map_to_dict");
            return nullptr;
        }
    }
    return dict.release();
}

}  // namespace tamarack
