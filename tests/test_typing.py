"""The type stubs of the installed package: stubtest, mypy --strict on a caller
using every public name, misuse that mypy must reject, and the stub's
signatures, annotations and enum values against the running module (which
publishes no text signatures, so stubtest cannot compare those)."""

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tamarack
from helpers import load
from tamarack.pugixml import Document, Element, NodeType

HERE = Path(__file__).parent / "typing"
STUB = Path(tamarack.__file__).with_name("pugixml.pyi")


def run(*args, cwd):
    # -P and a neutral working directory: mypy and stubtest see the installed
    # package, never the sources.
    return subprocess.run([sys.executable, "-P", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def check(*targets):
        return run("-m", "mypy", "--strict", "--warn-unreachable", "--no-error-summary",
                   "--cache-dir", str(cache), *targets, cwd=cache)
    return check


def test_stub_and_marker_are_installed():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


def test_stubtest(tmp_path):
    result = run("-m", "mypy.stubtest", "tamarack.pugixml",
                 "--allowlist", str(HERE / "stubtest-allowlist.txt"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_passes_strict_mypy_and_runs(mypy, tmp_path):
    # The example, then the whole installed package (command-line tool included).
    for targets in [(str(HERE / "example.py"),), ("-p", "tamarack")]:
        result = mypy(*targets)
        assert result.returncode == 0, result.stdout + result.stderr
    result = run(str(HERE / "example.py"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = """\
from tamarack.pugixml import Document, Element, NodeType
document = Document()
root = document.get_root()
assert root is not None
root.name = "x"  # error
document.has_root = True  # error
document.load_string(b"<a/>")  # error
document.xpath_findall(None)  # error
root["a"]  # error
document.add_node_type_exclusion("cdata")  # error
document.set_node_type_exclusions(NodeType.NODE_CDATA)  # error
Document("<a/>")  # error
root.find_from_position([0, 1])  # error
len(document)  # error
document.get_root().name  # error
tail: str = root.text  # error
NodeType.NODE_TEXT  # error
"""


def test_misuse_is_rejected(mypy, tmp_path):
    source = tmp_path / "misuse.py"
    source.write_text(MISUSE)
    result = mypy(str(source))
    flagged = {int(n) for n in re.findall(r"^[^:\n]+:(\d+): error:", result.stdout, re.M)}
    marked = {i for i, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# error")}
    assert flagged == marked, result.stdout


def stub_classes():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_methods():
    for class_name, node in stub_classes().items():
        for item in node.body:
            if (isinstance(item, ast.FunctionDef) and not item.name.startswith("__")
                    and not any(ast.unparse(d) == "property" for d in item.decorator_list)):
                yield class_name, item


def test_enum_members_match():
    body = stub_classes()["NodeType"].body
    members = {t.id: v.value for node in body if isinstance(node, ast.Assign)
               for t, v in [(node.targets[0], node.value)]}
    assert members == {member.name: member.value for member in NodeType}


def test_properties_match():
    for class_name, cls in [("Document", Document), ("Element", Element)]:
        stubbed = {item.name for item in stub_classes()[class_name].body
                   if isinstance(item, ast.FunctionDef)
                   and any(ast.unparse(d) == "property" for d in item.decorator_list)}
        runtime = {name for name, value in vars(cls).items()
                   if type(value).__name__ == "getset_descriptor"}
        assert stubbed == runtime, class_name


class Unfit:
    """An argument that every parameter refuses by its type, never by its name."""


BINDING_ERROR = re.compile(r"unexpected keyword|positional argument|missing|takes|multiple values")


def instance(class_name):
    document = load("<a><b/></a>")
    return document if class_name == "Document" else document.get_root()


@pytest.mark.parametrize("class_name, method", list(stub_methods()),
                         ids=[f"{c}.{m.name}" for c, m in stub_methods()])
def test_method_matches(class_name, method):
    params = [a.arg for a in method.args.args[1:]]
    assert not method.args.posonlyargs and not method.args.kwonlyargs
    assert method.args.vararg is None and method.args.kwarg is None

    # The names bind at run time, by keyword and by position.
    for call in (lambda f: f(**{p: Unfit() for p in params}), lambda f: f(*[Unfit()] * len(params))):
        try:
            call(getattr(instance(class_name), method.name))
        except TypeError as error:
            assert params and not BINDING_ERROR.search(str(error)), str(error)

    # Where the running method carries annotations, the stub says the same.
    runtime = getattr(getattr(tamarack.pugixml, class_name), method.name).__annotations__
    stubbed = {a.arg: ast.unparse(a.annotation) for a in method.args.args[1:]}
    stubbed["return"] = ast.unparse(method.returns)
    assert runtime and {k: stubbed[k] for k in runtime} == runtime
