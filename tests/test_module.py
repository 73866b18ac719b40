"""Start-up of tamarack.pugixml: namespace, re-import, interpreters, import specs,
published capsules, annotated method objects and the pickling refusal."""

import builtins
import copy
import ctypes
import importlib
import json
import pickle
import shutil
import subprocess
import sys
import textwrap
import typing

import pytest

import tamarack.pugixml as px
from tamarack.pugixml import Document, Element, NodeType

OWN_NAMES = [
    "__builtins__",
    "__pyx_capi__",
    "Document",
    "Element",
    "NodeType",
    "sys",
    "Iterator",
    "Self",
    "__test__",
]
IMPORT_NAMES = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


def run_python(script, *args):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_namespace_names_and_binding_order():
    names = list(vars(px))
    assert names[: len(IMPORT_NAMES)] == IMPORT_NAMES
    assert [n for n in names if n in OWN_NAMES] == OWN_NAMES
    assert "__path__" not in names
    # Only the two pickling-refusal functions may stand beside these, and they
    # can only have been bound while the classes were set up.
    extra = [n for n in names if n not in OWN_NAMES and n not in IMPORT_NAMES]
    assert len(extra) <= 2
    for n in extra:
        assert names.index("Document") < names.index(n) < names.index("NodeType")
        assert callable(vars(px)[n])


def _capsule_name(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    return get_name(capsule)


def test_module_namespace():
    namespace = vars(px)
    assert px.__name__ == "tamarack.pugixml"
    assert px.__doc__ is None
    assert namespace["__builtins__"] is builtins
    assert namespace["Document"] is Document and namespace["Element"] is Element
    assert namespace["NodeType"] is NodeType
    assert namespace["sys"] is sys
    assert namespace["Iterator"] is typing.Iterator
    assert namespace["Self"] is typing.Self
    assert type(namespace["__test__"]) is dict and namespace["__test__"] == {}
    assert "NODE_ELEMENT" not in namespace and "FlexibleEnumBase" not in namespace

    capi = namespace["__pyx_capi__"]
    assert type(capi) is dict and list(capi) == ["_attribute_map_to_dict"]
    capsule = capi["_attribute_map_to_dict"]
    assert type(capsule).__name__ == "PyCapsule"
    signature = _capsule_name(capsule).decode()
    assert signature.startswith("PyObject *(") and signature.endswith(" &)")
    assert len(signature) > len("PyObject *( &)")

    bound_in_order = ["__builtins__", "__pyx_capi__", "Document", "Element",
                      "NodeType", "sys", "Iterator", "Self", "__test__"]
    assert [k for k in namespace if k in bound_in_order] == bound_in_order

    import_spec = px.__spec__
    assert namespace["__loader__"] is import_spec.loader
    assert namespace["__file__"] == import_spec.origin
    assert namespace["__package__"] == import_spec.parent == "tamarack"
    assert "__path__" not in namespace

    for cls in (Document, Element):
        assert type(vars(cls)["__pyx_vtable__"]).__name__ == "PyCapsule"
        assert _capsule_name(vars(cls)["__pyx_vtable__"]) is None
        assert cls.__module__ == "tamarack.pugixml"
        assert cls.__qualname__ == cls.__name__


def test_reimport_returns_the_recorded_module():
    before = dict(vars(px))
    saved = sys.modules.pop("tamarack.pugixml")
    try:
        again = importlib.import_module("tamarack.pugixml")
    finally:
        sys.modules["tamarack.pugixml"] = saved
    assert again is saved
    # Start-up did not run again: nothing was rebound.
    for name in OWN_NAMES:
        assert vars(again)[name] is before[name], name
    assert list(vars(again)) == list(before)


@pytest.mark.parametrize("name", ["elsewhere.pugixml", "pugixml"])
def test_loading_the_file_under_another_name_is_refused(name):
    out = run_python(
        """
        import importlib, importlib.util, sys
        import tamarack.pugixml as live
        spec = importlib.util.spec_from_file_location(sys.argv[1], live.__file__)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            print(e)
        assert live.__spec__.name == live.__name__ == "tamarack.pugixml", live.__spec__
        assert sys.argv[1] not in sys.modules
        assert importlib.reload(live) is live and live.Document().get_root() is None
        """,
        name,
    )
    assert out == f"tamarack.pugixml is already loaded; its extension file cannot be loaded again as {name!r}\n"


def test_second_interpreter_is_refused():
    out = run_python(
        """
        import sys, tempfile, _testcapi
        import tamarack.pugixml
        with tempfile.NamedTemporaryFile("r", suffix=".txt") as result:
            code = (
                "try:\\n"
                "    import tamarack.pugixml\\n"
                "except BaseException as exc:\\n"
                "    text = type(exc).__name__ + ': ' + str(exc)\\n"
                "else:\\n"
                "    text = 'imported'\\n"
                f"with open({result.name!r}, 'w') as f:\\n"
                "    f.write(text)\\n"
            )
            assert _testcapi.run_in_subinterp(code) == 0
            print(open(result.name).read())
        doc = tamarack.pugixml.Document()
        doc.load_string("<still_works/>")
        print(doc.get_root().name)
        """
    )
    assert out.splitlines() == [
        "ImportError: Interpreter change detected - this module can only be loaded"
        " into one interpreter per process.",
        "still_works",
    ]


SPEC_SCRIPT = """
    import _imp, json, sys
    origin, attrs = sys.argv[1], json.loads(sys.argv[2])
    class Spec:
        pass
    spec = Spec()
    spec.name = "tamarack.pugixml"
    spec.origin = origin
    loader = object()
    for key, value in attrs.items():
        setattr(spec, key, loader if key == "loader" else value)
    module = _imp.create_dynamic(spec)
    got = getattr(module, "__loader__", None)
    found = {
        "name": module.__name__,
        "file": module.__file__,
        "loader": "given" if got is loader else repr(got),
        "package": getattr(module, "__package__", None),
        "path": getattr(module, "__path__", "absent"),
    }
    _imp.exec_dynamic(module)
    found["registered"] = sys.modules.get("tamarack.pugixml") is module
    found["recorded"] = _imp.create_dynamic(spec) is module
    doc = module.Document()
    doc.load_string("<spec/>")
    found["root"] = doc.get_root().name
    print(json.dumps(found))
"""


@pytest.mark.parametrize(
    "attrs, package, path",
    [
        ({}, None, "absent"),
        ({"loader": True}, None, "absent"),
        ({"parent": "tamarack"}, "tamarack", "absent"),
        ({"loader": True, "parent": "tamarack", "submodule_search_locations": None}, "tamarack", "absent"),
        ({"loader": True, "parent": "tamarack", "submodule_search_locations": ["/x"]}, "tamarack", ["/x"]),
    ],
)
def test_import_spec_with_missing_attributes(attrs, package, path):
    found = json.loads(run_python(SPEC_SCRIPT, px.__file__, json.dumps(attrs)))
    assert found == {
        "name": "tamarack.pugixml",
        "file": px.__file__,
        "loader": "given" if "loader" in attrs else "None",
        "package": package,
        "path": path,
        "registered": True,
        "recorded": True,
        "root": "spec",
    }


def test_only_the_init_function_is_exported():
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        ["nm", "-D", "--defined-only", px.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_pugixml"]


def capsule_pointer(capsule, name):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, name)


def test_pyx_capi_holds_one_capsule():
    capi = px.__pyx_capi__
    assert type(capi) is dict
    assert list(capi) == ["_attribute_map_to_dict"]
    assert type(capi["_attribute_map_to_dict"]).__name__ == "PyCapsule"


@pytest.mark.parametrize("cls", [Document, Element])
def test_vtable_capsule_is_unnamed(cls):
    capsule = vars(cls)["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    # Succeeds only for a capsule without a name.
    assert capsule_pointer(capsule, None)


@pytest.mark.parametrize("cls, name", [(Document, "Document"), (Element, "Element")])
def test_class_registration(cls, name):
    assert cls.__module__ == "tamarack.pugixml"
    assert cls.__qualname__ == name
    assert cls.__flags__ & (1 << 10), "Py_TPFLAGS_BASETYPE"
    assert cls.__flags__ & (1 << 14), "Py_TPFLAGS_HAVE_GC"


def test_method_objects_called_unbound():
    doc = Document()
    assert Document.add_node_type_exclusion(doc, NodeType.NODE_CDATA) is None
    assert Document.load_string(doc, xml_string="<r><![CDATA[c]]><e/></r>") is None
    root = Document.get_root(doc)
    assert [c.name for c in root] == ["e"]
    assert Document.get_root(doc) is root
    assert Document.clear(doc) is None
    assert not doc.has_document
    assert Document.set_node_type_exclusions(doc, node_types=[]) is None
    Document.load_string(doc, "<r><![CDATA[c]]><e/></r>")
    assert len(Document.get_root(doc)) == 2


@pytest.mark.parametrize(
    "name, args",
    [
        ("load_string", ("<a/>",)),
        ("clear", ()),
        ("get_root", ()),
        ("add_node_type_exclusion", (2,)),
        ("set_node_type_exclusions", ([2],)),
    ],
)
@pytest.mark.parametrize("receiver", [object(), Element(), "<a/>"], ids=["object", "Element", "str"])
def test_method_objects_refuse_foreign_receiver(name, args, receiver):
    with pytest.raises(TypeError):
        getattr(Document, name)(receiver, *args)


@pytest.mark.parametrize("name", ["add_node_type_exclusion", "set_node_type_exclusions", "load_string", "clear", "get_root"])
def test_method_objects_need_a_receiver(name):
    with pytest.raises(TypeError):
        getattr(Document, name)()


def built_element():
    doc = Document()
    doc.load_string('<a x="1">t<b/></a>')
    return doc.get_root()


@pytest.mark.parametrize("make", [Document, Element, built_element], ids=["Document", "Element", "built"])
@pytest.mark.parametrize(
    "action",
    [
        pickle.dumps,
        lambda obj: pickle.dumps(obj, protocol=0),
        copy.copy,
        copy.deepcopy,
        lambda obj: obj.__reduce__(),
        lambda obj: obj.__reduce_ex__(2),
        lambda obj: obj.__setstate__({}),
    ],
    ids=["pickle", "pickle0", "copy", "deepcopy", "reduce", "reduce_ex", "setstate"],
)
def test_pickling_and_copying_refused(make, action):
    with pytest.raises(TypeError) as info:
        action(make())
    assert str(info.value) == REFUSAL


@pytest.mark.parametrize("cls", [Document, Element])
def test_refusal_reachable_under_its_two_names_only(cls):
    attrs = vars(cls)
    for name in ("__reduce__", "__setstate__"):
        assert [k for k, v in attrs.items() if v is attrs[name]] == [name]
    assert "__getstate__" not in attrs
    assert "__reduce_ex__" not in attrs
