"""Elements as read-only sequences of their children; iteration and walk() generators."""

import collections.abc
import gc
import types
import warnings

import pytest

from helpers import IntSub, arg_type_error, load, same
from tamarack.pugixml import NodeType

# walk() from a yields a, b, d, c; text never shows.
TREE = "<a>t1<b>t2<d/></b>t3<c/></a>"
# Kept children of r: x, y and the CDATA section.
THREE = "<r><x/>text<y/><![CDATA[z]]><!--skip--></r>"
# A walk is four levels down when it reaches d, with e still to come.
DEEP = "<a><b><c><d/></c></b><e/></a>"


@pytest.fixture
def text():
    return THREE


GENERATORS = [
    pytest.param(iter, "__iter__", "Element.__iter__", id="iter"),
    pytest.param(lambda e: e.walk(), "walk", "Element.walk", id="walk"),
]


def test_len_and_indexing_hand_out_the_trees_own_children(root):
    children = list(root)
    assert len(root) == 3
    assert [c.name for c in children] == ["x", "y", ""]
    assert children[2].type is NodeType.NODE_CDATA
    assert same([root[0], root[1], root[2]], children)
    assert root[-1] is children[2] and root[-3] is children[0]
    assert root[0] is root[0]


@pytest.mark.parametrize("exclusions", [[NodeType.NODE_CDATA]])
def test_excluded_cdata_is_not_a_child(root):
    assert len(root) == 2
    assert [c.name for c in root] == ["x", "y"]


@pytest.mark.parametrize("index", [3, -4, 10**30, -(10**30)])
def test_index_outside_the_children_raises_the_lists_index_error(root, index):
    with pytest.raises(IndexError) as expected:
        [None, None, None][index]
    with pytest.raises(IndexError) as info:
        root[index]
    assert type(info.value) is IndexError
    assert str(info.value) == str(expected.value)


@pytest.mark.parametrize(
    "index, type_name, noted",
    [
        (True, "bool", True),
        (IntSub(0), "IntSub", True),
        (NodeType.NODE_NULL, "NodeType", True),
        (0.0, "float", False),
        (slice(0, 1), "slice", False),
        ("0", "str", False),
        (None, "NoneType", False),
    ],
)
def test_index_must_be_exactly_an_int(root, index, type_name, noted):
    with pytest.raises(TypeError) as info:
        root[index]
    assert type(info.value) is TypeError
    assert str(info.value) == arg_type_error("index", "int", type_name)
    assert len(getattr(info.value, "__notes__", [])) == (1 if noted else 0)


def test_children_cannot_be_assigned_or_deleted(root):
    with pytest.raises(TypeError):
        root[0] = root[1]
    with pytest.raises(TypeError):
        del root[0]
    assert len(root) == 3


@pytest.mark.parametrize("text", ["<a>text</a>"])
def test_leaf_element(root):
    leaf = root
    assert len(leaf) == 0
    assert not leaf
    assert list(leaf) == []
    assert same(leaf.walk(), [leaf])
    with pytest.raises(IndexError):
        leaf[0]


@pytest.mark.parametrize("text", [TREE])
def test_walk_is_pre_order_and_iteration_yields_children(root):
    a = root
    b, c = a[0], a[1]
    d = b[0]
    assert [e.name for e in a.walk()] == ["a", "b", "d", "c"]
    assert same(a.walk(), [a, b, d, c])
    assert same(iter(a), [b, c])
    assert same(b.walk(), [b, d])
    assert a and b


def test_sequence_conversions_and_reversed(root):
    by_index = [root[i] for i in range(len(root))]
    assert same(list(root), by_index)
    assert same(tuple(root), by_index)
    assert same(reversed(root), by_index[::-1])


@pytest.mark.parametrize("text", [TREE])
def test_membership_is_identity(root):
    twin = load(TREE).get_root()
    assert root[0] in root and root[1] in root
    assert twin[0] not in root
    assert root[0][0] not in root  # a grandchild is not a child
    assert root not in root


@pytest.mark.parametrize("text", [TREE])
@pytest.mark.parametrize("make, name, qualname", GENERATORS)
def test_iteration_and_walk_return_generators(root, make, name, qualname):
    generator = make(root)
    assert isinstance(generator, collections.abc.Generator)
    assert not isinstance(generator, types.GeneratorType)
    assert iter(generator) is generator
    assert generator.__name__ == name
    assert generator.__qualname__ == qualname


@pytest.mark.parametrize("text", [TREE])
@pytest.mark.parametrize("make, name, qualname", GENERATORS)
def test_send_behaves_as_for_any_generator(root, make, name, qualname):
    expected = list(make(root))
    generator = make(root)
    with pytest.raises(TypeError) as info:
        generator.send(1)
    assert str(info.value) == "can't send non-None value to a just-started generator"
    # the refused send leaves the generator unstarted
    assert generator.send(None) is expected[0]
    # values sent in are ignored
    assert generator.send("ignored") is expected[1]
    assert same(generator, expected[2:])
    with pytest.raises(StopIteration):
        generator.send(None)


def reference(items):
    """A built-in generator over `items`: what the module's generators must behave like."""
    for item in items:
        yield item


THROWN = LookupError("thrown")
STOP = StopIteration("thrown")
# What is done to a generator after some steps; argument errors must leave it usable.
ACTIONS = {
    "throw": lambda g: g.throw(THROWN),
    "throw_class": lambda g: g.throw(KeyError),
    "close": lambda g: g.close(),
    "throw_stop_iteration": lambda g: g.throw(STOP),
    "throw_not_an_exception": lambda g: g.throw(1),
    "throw_instance_and_value": lambda g: g.throw(THROWN, 1),
    "throw_bad_traceback": lambda g: g.throw(LookupError, None, 2),
}


def outcome(generator, steps, action):
    """What the action does after `steps` items: its result or exception, the warnings it gives
    (the three-argument throw is deprecated) and the items left."""
    taken = [next(generator) for _ in range(steps)]
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        try:
            result = ("returned", ACTIONS[action](generator))
        except BaseException as e:  # noqa: B902 - StopIteration and the rest alike
            cause = e.__cause__
            result = (type(e), str(e), e is THROWN or e is STOP, type(cause), cause is STOP)
    shown = [(w.category, str(w.message)) for w in warned]
    return taken, result, shown, list(generator)


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("steps", [0, 1, 4, 5], ids=["fresh", "first", "deep", "after_last"])
@pytest.mark.parametrize("make, name, qualname", GENERATORS)
def test_throw_and_close_behave_as_for_a_builtin_generator(make, name, qualname, steps, action):
    # steps 4 is deep inside a walk of DEEP (a, b, c, d), 5 after its last item (e); an
    # iteration of a's children (b, e) has ended by then.
    root = load(DEEP).get_root()
    items = list(make(root))
    steps = min(steps, len(items))
    assert outcome(make(root), steps, action) == outcome(reference(items), steps, action)


def _reset(doc, how):
    if how == "clear":
        doc.clear()
    else:
        doc.load_string("<other><n/></other>")


@pytest.mark.parametrize("how", ["clear", "load_string"])
def test_iterating_an_old_root_ends_cleanly_after_reset(how):
    doc = load("<a><b><d/><e/></b><c/></a>")
    a = doc.get_root()
    b, c = a[0], a[1]
    d, e = b[0], b[1]

    children = iter(a)
    assert next(children) is b
    walk = a.walk()
    assert same([next(walk) for _ in range(3)], [a, b, d])
    below_b = iter(b)
    assert next(below_b) is d

    _reset(doc, how)

    assert list(children) == []
    # the walk finishes the subtree it is in, whose list is untouched, then ends
    assert same(walk, [e])
    # iterations over any other element are unaffected
    assert same(below_b, [e])
    assert same(c.walk(), [c])


def test_chain_a_million_deep_walks_and_resolves():
    depth = 1_000_000
    count = depth + 1
    doc = load("<a>" * count + "</a>" * count)
    root = doc.get_root()

    seen = 0
    previous = None
    for element in root.walk():
        assert element.parent is previous
        previous = element
        seen += 1
    assert seen == count
    deepest = previous
    assert len(deepest) == 0

    position = (0,) * count
    assert len(position) == 1_000_001
    assert deepest.node_position == position
    assert root.find_from_position(position) is deepest
    assert doc.get_node_by_position(position) is deepest
    assert deepest.find_from_position(position[:2]) is root[0]

    # The document goes first: the collector then takes the whole chain apart through its top.
    del element, previous, deepest
    del doc
    assert gc.is_tracked(root) and not gc.is_tracked(root[0])
    del root
    gc.collect()
