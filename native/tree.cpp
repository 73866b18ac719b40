// Building a tree of Elements, and keeping a document's tree out of the cyclic collector.
//
// Every kept node becomes one GC-capable object, and parents and children refer to each other. Left
// to the collector, a large tree makes every collection of the program pay for each of its
// elements, and its release waits for a full collection. But the elements of a built tree are
// always exactly Element, hold no attributes of their own and take part in no cycle except their
// own parent/child links. So a Document keeps its tree untracked while it holds it, and whenever it
// lets go (reset, deallocation, its own clearing) it either takes the tree apart at once, when
// nothing outside refers to any of its elements (the collector's own criterion), or hands the tree
// to the collector: on a reset element by element, since the old root stays in the Document; for
// good (deallocation, clearing) as one object, its top element, which answers for the whole tree
// (element.cpp). Trees built any other way are tracked as usual.
#include "element_index.hpp"
#include "errors.hpp"
#include "module.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace tamarack {
namespace {

bool kept_node(const pugi::xml_node& c, const node_type_set& exclusions) {
    return c.type() != pugi::node_pcdata && exclusions.find(c.type()) == exclusions.end();
}

std::size_t count_kept_children(const pugi::xml_node& node, const node_type_set& exclusions) {
    std::size_t count = 0;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) count += kept_node(c, exclusions);
    return count;
}

// How many elements a build makes for `node` (itself and every kept node below it, as pugixml
// links them, without a stack), the range of their hash values, and how many kept children each
// has, in pre-order: the build then reads pugixml's children once instead of twice.
struct tree_extent {
    std::size_t count = 0;
    std::size_t low = 0;
    std::size_t high = 0;
    std::vector<std::uint32_t> kept_children;

    void add(const pugi::xml_node& n) {
        std::size_t key = n.hash_value();
        low = count == 0 || key < low ? key : low;
        high = key > high ? key : high;
        ++count;
        kept_children.push_back(0);
    }
};

// Throws std::bad_alloc.
tree_extent measure_tree(const pugi::xml_node& node, const node_type_set& exclusions) {
    tree_extent extent;
    extent.add(node);
    // The pre-order ranks of the elements whose children are being counted.
    std::vector<std::size_t> open{0};
    bool counted = true;
    pugi::xml_node n = node.first_child();
    while (n && n != node) {
        bool kept = kept_node(n, exclusions);
        if (kept) {
            std::uint32_t& parent_count = extent.kept_children[open.back()];
            counted = counted && parent_count < UINT32_MAX;
            ++parent_count;
            extent.add(n);
        }
        if (kept && n.first_child()) {
            open.push_back(extent.count - 1);
            n = n.first_child();
            continue;
        }
        while (n != node && !n.next_sibling()) {
            n = n.parent();
            open.pop_back();
        }
        if (n != node) n = n.next_sibling();
    }
    if (!counted) std::vector<std::uint32_t>().swap(extent.kept_children);
    return extent;
}

// Whether a build from `node` makes an element of every element of its document: it is the
// document's only top-level element (pugixml accepts several), and elements are not excluded.
bool holds_every_element(const pugi::xml_node& node, const node_type_set& exclusions) noexcept {
    if (exclusions.find(pugi::node_element) != exclusions.end()) return false;
    if (node.parent().type() != pugi::node_document) return false;
    for (pugi::xml_node top = node.parent().first_child(); top; top = top.next_sibling())
        if (top.type() == pugi::node_element && top != node) return false;
    return true;
}

// Leaves share one empty list, which nothing ever fills: the build gives an element its own list
// exactly as long as its kept children, before it makes them.
bool owns_list(const ElementObject* e) noexcept {
    return e->_children != constants.empty_list && PyList_CheckExact(e->_children);
}

// Gives `e` an untracked list for its `count` kept children; its slots are filled in order.
int prepare_children(ElementObject* e, std::size_t count) noexcept {
    if (count == 0) return 0;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (!list) return -1;
    PyObject_GC_UnTrack(list);
    replace_ref(e->_children, list);
    return 0;
}

// A pending element of the pre-order build: the element whose children are being made, the next
// pugixml child to look at, and how many children it has kept so far. The build keeps its own
// stack, so the depth of a document never reaches the C stack.
struct build_frame {
    ElementObject* element;
    pugi::xml_node next;
    std::size_t kept;
};

// Enters `e` into the index that the build fills, if any; without memory for it, the build goes on
// without one.
void enter(element_index*& index, ElementObject* e) noexcept {
    if (!index) return;
    if (or_fallback(false, [&] {
            index->add(e->node_struct.hash_value, e);
            return true;
        }))
        return;
    index->clear();
    index = nullptr;
}

// How many kept children each element of a build has, in pre-order: read from the measure of the
// tree made beforehand, if any, or counted from pugixml's children.
class kept_counts {
public:
    kept_counts(const node_type_set& exclusions, const std::vector<std::uint32_t>* measured) noexcept
        : exclusions_(exclusions), measured_(measured && !measured->empty() ? measured : nullptr) {}

    std::size_t next(const pugi::xml_node& n) noexcept {
        if (measured_ && rank_ < measured_->size()) return (*measured_)[rank_++];
        measured_ = nullptr;
        return count_kept_children(n, exclusions_);
    }

private:
    const node_type_set& exclusions_;
    const std::vector<std::uint32_t>* measured_;
    std::size_t rank_ = 0;
};

ElementObject* build_child(ElementObject* parent, const pugi::xml_node& c, std::size_t index,
                           kept_counts& kept, name_cache& names, element_index*& entered) noexcept {
    if (plan_node_struct(c, names) < 0) return nullptr;
    ElementObject* child = make_tree_element(names.plan.block_size);
    if (!child) return nullptr;
    PyObject* obj = reinterpret_cast<PyObject*>(child);
    link_to_parent(child, reinterpret_cast<PyObject*>(parent), index);
    PyList_SET_ITEM(parent->_children, static_cast<Py_ssize_t>(index), obj);  // the list owns it now
    if (fill_planned_node_struct(child->node_struct, c, names, snapshot_storage(child)) < 0) return nullptr;
    if (prepare_children(child, kept.next(c)) < 0) return nullptr;
    enter(entered, child);
    return child;
}

// The child at `index` of `parent`'s list: null past the end, at the first empty slot of a partly
// built list, and at anything that is not the child the build put there (a list changed behind the
// tree's back, through gc.get_referents).
ElementObject* child_at(const ElementObject* parent, Py_ssize_t index) noexcept {
    if (!owns_list(parent) || index >= PyList_GET_SIZE(parent->_children)) return nullptr;
    PyObject* item = PyList_GET_ITEM(parent->_children, index);
    if (!item || !is_element(item)) return nullptr;
    ElementObject* child = as_element(item);
    bool linked = child->_parent == reinterpret_cast<const PyObject*>(parent) &&
                  child->position_link.index == static_cast<std::size_t>(index);
    return linked ? child : nullptr;
}

// The next element after `e` in pre-order within the subtree of `top`, found through the parent
// links and child indices alone, so that no traversal needs memory of its own.
ElementObject* next_in_preorder(ElementObject* e, ElementObject* top) noexcept {
    if (ElementObject* first = child_at(e, 0)) return first;
    while (e != top) {
        ElementObject* parent = as_element(e->_parent);
        if (ElementObject* sibling = child_at(parent, static_cast<Py_ssize_t>(e->position_link.index) + 1))
            return sibling;
        e = parent;
    }
    return nullptr;
}

// How many of the references that `e` holds are its children's (each child refers back to it).
// Anything else in the list counts for nothing, so the element seems referred to from outside.
// A list that the collector has never seen was shown to nobody: once its build filled it (its last
// slot is filled last), it holds exactly the children that link back to the element.
Py_ssize_t children_held(const ElementObject* e) noexcept {
    if (owns_list(e) && !PyObject_GC_IsTracked(e->_children)) {
        Py_ssize_t size = PyList_GET_SIZE(e->_children);
        if (size > 0 && PyList_GET_ITEM(e->_children, size - 1)) return size;
    }
    Py_ssize_t held = 0;
    while (child_at(e, held)) ++held;
    return held;
}

// The reference-count rule of both releases: `e` is referred to only from within its tree and by
// `holders` known references besides (its parent's list, or its owner for the top element, and a
// filled dictionary by hash value), once from each of its children's parent links, and its own
// list only by itself.
// Its list must also hold nothing but those children: then cutting the list releases no object but
// elements of the tree, which runs no code of anybody else's in the middle of a release.
bool lists_only_its_children(const ElementObject* e, Py_ssize_t held) noexcept {
    if (!owns_list(e)) return e->_children == constants.empty_list;
    return Py_REFCNT(e->_children) == 1 && PyList_GET_SIZE(e->_children) == held;
}

bool referred_to_from_inside_only(const ElementObject* e, Py_ssize_t holders) noexcept {
    Py_ssize_t held = children_held(e);
    return Py_REFCNT(e) == holders + held && lists_only_its_children(e, held);
}

// Cuts `e` out of its tree: no parent, no children. What it let go of is still held elsewhere.
void cut_links(ElementObject* e) noexcept {
    replace_ref(e->_parent, Py_NewRef(Py_None));
    replace_ref(e->_children, Py_NewRef(constants.empty_list));
    e->_child_count = 0;
}

// The references to `e` from outside the tree that a release expects: its parent's list (or its
// owner's, for the top, with `known` more), and `extra` more from whoever releases it.
Py_ssize_t expected_holders(const ElementObject* e, const ElementObject* top, Py_ssize_t known,
                            Py_ssize_t extra) noexcept {
    return (e == top ? 1 + known : 1) + extra;
}

}  // namespace

bool hold_if_unreferred(ElementObject* top, std::vector<ElementObject*>& held, Py_ssize_t known,
                        Py_ssize_t extra) noexcept {
    bool complete = or_fallback(false, [&] {
        for (ElementObject* e = top; e; e = next_in_preorder(e, top)) {
            if (!referred_to_from_inside_only(e, expected_holders(e, top, known, extra))) return false;
            held.push_back(e);
            Py_INCREF(e);
        }
        return true;
    });
    if (!complete) {
        for (ElementObject* e : held) Py_DECREF(e);
        held.clear();
    }
    return complete;
}

void release_held(const std::vector<ElementObject*>& held, ElementObject* top, bool keep_top, Py_ssize_t extra) noexcept {
    // Cuts each element's links while it is held, then lets go of it: in pre-order its parent has
    // already lost its list, so each element is freed once its last child has let go of it, and no
    // release cascades through the tree. With `keep_top`, `top` keeps its list, which its owner
    // empties afterwards.
    for (ElementObject* e : held) {
        if (e != top || !keep_top) cut_links(e);
        for (Py_ssize_t i = 0; i < extra; ++i) Py_DECREF(e);
        Py_DECREF(e);
    }
}

bool referred_to_from_inside_only(const std::vector<ElementObject*>& elements, const ElementObject* top,
                                  Py_ssize_t known, Py_ssize_t extra) noexcept {
    for (const ElementObject* e : elements)
        if (!referred_to_from_inside_only(e, expected_holders(e, top, known, extra))) return false;
    return true;
}

void track_tree(ElementObject* top) noexcept {
    for (ElementObject* e = top; e; e = next_in_preorder(e, top)) {
        if (!PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(e))) PyObject_GC_Track(e);
        if (owns_list(e) && !PyObject_GC_IsTracked(e->_children)) PyObject_GC_Track(e->_children);
    }
}

bool collects_as_one(ElementObject* top) noexcept {
    if (top->_parent != Py_None || top->_owner || !PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(top)))
        return false;
    ElementObject* first = child_at(top, 0);
    return first && !PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(first));
}

Py_ssize_t references_from_inside(ElementObject* top) noexcept {
    Py_ssize_t held = children_held(top);
    if (!lists_only_its_children(top, held)) return 0;
    for (ElementObject* e = next_in_preorder(top, top); e; e = next_in_preorder(e, top))
        if (!referred_to_from_inside_only(e, 1)) return 0;
    return held;
}

void release_tree(ElementObject* top, bool keep_top, Py_ssize_t known, bool as_one) noexcept {
    std::vector<ElementObject*> held;
    if (!hold_if_unreferred(top, held, known, 0)) {
        if (!as_one || keep_top)
            track_tree(top);
        else if (!PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(top)))
            PyObject_GC_Track(top);
        return;
    }
    release_held(held, top, keep_top, 0);
}

bool release_tree_held_by(ElementObject* top, bool keep_top, PyObject* dict, Py_ssize_t known) noexcept {
    // The dictionary must hold exactly the elements of the tree, in pre-order, each also held by it
    // once: then cutting releases nothing that the dictionary does not still hold, no code but the
    // module's runs, and the dictionary cannot change while it is read.
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    ElementObject* expected = top;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!expected || value != reinterpret_cast<PyObject*>(expected) || !referred_to_from_inside_only(expected, expected == top ? 2 + known : 2))
            return false;
        expected = next_in_preorder(expected, top);
    }
    if (expected) return false;
    pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        ElementObject* e = as_element(value);
        if (e == top && keep_top) continue;
        cut_links(e);
    }
    return true;
}

int build_subtree(ElementObject* top, const pugi::xml_node& node, const node_type_set& exclusions,
                  name_cache* names, element_index* index, const std::vector<std::uint32_t>* kept_children) noexcept {
    return guarded(-1, [&] {
        std::unique_ptr<name_cache> own_names;
        if (!names) {
            own_names = std::make_unique<name_cache>();
            names = own_names.get();
        }
        kept_counts kept(exclusions, kept_children);
        std::size_t count = kept.next(node);
        if (count > 0 && prepare_children(top, count) < 0) return -1;
        std::vector<build_frame> stack{{top, node.first_child(), 0}};
        while (!stack.empty()) {
            build_frame& frame = stack.back();
            pugi::xml_node c = frame.next;
            while (c && !kept_node(c, exclusions)) c = c.next_sibling();
            if (!c) {
                frame.element->_child_count = frame.kept;
                stack.pop_back();
                continue;
            }
            frame.next = c.next_sibling();
            ElementObject* child = build_child(frame.element, c, frame.kept++, kept, *names, index);
            if (!child) return -1;
            stack.push_back({child, c.first_child(), 0});
        }
        return 0;
    });
}

PyObject* create_untracked_tree(const pugi::xml_node& node, const node_type_set& exclusions,
                                element_index* index) noexcept {
    // The names are shared from the root down; the table goes with the build.
    std::unique_ptr<name_cache> names = guarded(std::unique_ptr<name_cache>(), [] {
        return std::make_unique<name_cache>();
    });
    if (!names || plan_node_struct(node, *names) < 0) return nullptr;
    ElementObject* root = make_tree_element(names->plan.block_size);
    if (!root) return nullptr;
    PyObject* obj = reinterpret_cast<PyObject*>(root);
    bool built = fill_planned_node_struct(root->node_struct, node, *names, snapshot_storage(root)) == 0 &&
                 set_build_path(root, node) == 0;
    tree_extent extent;
    if (built && index) {
        // Room for the whole tree at once: a table grown step by step would leave its earlier
        // sizes behind in the process's heap.
        if (!or_fallback(false, [&] {
                extent = measure_tree(node, exclusions);
                index->reserve(extent.count, extent.low, extent.high);
                return true;
            }))
            index->clear();
        enter(index, root);
    }
    if (!built || build_subtree(root, node, exclusions, names.get(), index, &extent.kept_children) < 0) {
        if (index) index->clear();
        names.reset();
        release_tree(root, false);
        Py_DECREF(obj);
        return nullptr;
    }
    // Emptied by a failure to make room: the lookups walk the tree instead.
    if (index && index->size() > 0) index->set_built(holds_every_element(node, exclusions));
    return obj;
}

}  // namespace tamarack
