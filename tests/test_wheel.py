"""The distributions: the wheel built from this checkout, repaired by auditwheel
under a manylinux tag, needs no pugixml shared library and no compiler at run
time, and the sdist builds against the pugixml that CMake finds on the system
(nothing of pugixml is shipped in it).

Building takes a while; set TAMARACK_SKIP_WHEEL_CHECK=1 to skip these where pip
or the build tools are unavailable.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(bool(os.environ.get("TAMARACK_SKIP_WHEEL_CHECK")),
                                reason="TAMARACK_SKIP_WHEEL_CHECK is set")

REPO = Path(__file__).resolve().parents[1]
# The build tools (cmake, ninja) live beside the interpreter running the suite.
BUILD_ENV = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
PIP = [sys.executable, "-m", "pip", "--disable-pip-version-check"]


def run(args, check=True, **kwargs):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                            timeout=1200, **kwargs)
    assert result.returncode == 0 or not check, f"{args}\n{result.stdout}\n{result.stderr}"
    return result


def build_wheel(source, out, build_dir):
    run([*PIP, "wheel", "--no-build-isolation", "--no-deps", "-w", out,
         f"-Cbuild-dir={build_dir}", source], cwd=source, env=BUILD_ENV)
    (wheel,) = Path(out).glob("tamarack-*.whl")
    return wheel


# The oldest glibc the repaired wheel may ask for (see MANYLINUX in the Makefile).
OLDEST_GLIBC = (2, 34)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    # A build directory of its own, kept between runs so that the build is
    # incremental, and apart from the one `make install` uses.
    dist = tmp_path_factory.mktemp("dist")
    built = build_wheel(REPO, dist / "built", "build/wheelcheck")
    # auditwheel picks the most compatible tag the wheel qualifies for.
    run([sys.executable, "-m", "auditwheel", "repair", "-w", dist, built], env=BUILD_ENV)
    (repaired,) = dist.glob("tamarack-*.whl")
    return repaired


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    root = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", "--without-pip", root])
    python = root / "bin" / "python"
    run([*PIP, "--python", python, "install", "--no-index", "--no-deps", "--only-binary", ":all:",
         wheel], env={**os.environ, "PATH": str(root / "bin")})
    return root


def test_repaired_wheel_has_a_manylinux_tag(wheel):
    tag = re.fullmatch(r"tamarack-[^-]+-cp312-cp312-manylinux_(\d+)_(\d+)_x86_64\.whl", wheel.name)
    assert tag, wheel.name
    assert (int(tag[1]), int(tag[2])) <= OLDEST_GLIBC
    shown = run([sys.executable, "-m", "auditwheel", "show", wheel], env=BUILD_ENV).stdout
    assert f'"manylinux_{tag[1]}_{tag[2]}_x86_64"' in " ".join(shown.split())


def test_wheel_ships_the_package(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        (entry_points,) = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
        scripts = archive.read(entry_points).decode()
    for name in ["__init__.py", "__main__.py", "cli.py", "pugixml.pyi", "py.typed",
                 "include/tamarack/pugixml_api.hpp"]:
        assert f"tamarack/{name}" in names
    assert [n for n in names if n.startswith("tamarack/pugixml.") and n.endswith(".so")]
    assert "tamarack = tamarack.cli:main" in scripts
    assert not [n for n in names if "libpugixml" in n or ".libs/" in n]  # linked in, nothing bundled


PROBE = """
import json, sys
import tamarack.pugixml as px
document = px.Document()
document.load_string("<a><b k='v'>t</b></a>")
found = document.xpath_find("//b")
with open("/proc/self/maps") as maps:
    mapped = sorted({line.split()[-1] for line in maps if "/" in line})
print(json.dumps({"module": px.__file__, "prefix": sys.prefix, "mapped": mapped,
                  "found": [found.node_position, found.attributes, found.text]}))
"""


def test_installed_wheel_runs_without_a_pugixml_shared_library(venv, tmp_path):
    # No search path for shared libraries beyond the system's own, none of this
    # checkout's directories on sys.path, no compiler on PATH.
    env = {"PATH": str(venv / "bin"), "LD_LIBRARY_PATH": ""}
    assert shutil.which("c++", path=env["PATH"]) is shutil.which("cc", path=env["PATH"]) is None
    probe = json.loads(run([venv / "bin" / "python", "-P", "-c", PROBE], cwd=tmp_path, env=env).stdout)
    assert Path(probe["prefix"]) == venv
    assert Path(probe["module"]).is_relative_to(venv)
    assert probe["found"] == [[0, 0], {"k": "v"}, "t"]
    assert not [path for path in probe["mapped"] if "libpugixml" in path]

    linked = run(["/usr/bin/ldd", probe["module"]], env=env).stdout
    assert "libpugixml" not in linked and "not found" not in linked, linked

    tool = run([venv / "bin" / "tamarack", "//b"], cwd=tmp_path, env=env, input="<a><b/></a>")
    assert tool.stdout == "<stdin>\t(0, 0)\t/a/b\t{}\tNone\n"
    # Worker processes and a directory tree, without the optional progress bar.
    (tmp_path / "docs" / "more").mkdir(parents=True)
    (tmp_path / "docs" / "a.xml").write_text("<a><b/></a>")
    (tmp_path / "docs" / "more" / "b.xml").write_text("<a><b/><b/></a>")
    tool = run([venv / "bin" / "tamarack", "-j", "2", "--progress", "--count", "//b", "-r", "docs"],
               cwd=tmp_path, env=env, check=False)
    assert tool.returncode == 2 and "--progress needs the tqdm package" in tool.stderr
    tool = run([venv / "bin" / "tamarack", "-j", "2", "--count", "//b", "-r", "docs"],
               cwd=tmp_path, env=env)
    assert tool.stdout == "docs/a.xml\t1\ndocs/more/b.xml\t2\n"


def test_sdist_builds_against_the_system_pugixml(tmp_path):
    build = ("import sys; from scikit_build_core.build import build_sdist; "
             "print(build_sdist(sys.argv[1]))")
    name = run([sys.executable, "-c", build, tmp_path], cwd=REPO, env=BUILD_ENV).stdout.split()[-1]
    with tarfile.open(tmp_path / name) as archive:
        members = [Path(m).relative_to(Path(m).parts[0]).as_posix() for m in archive.getnames()]
        archive.extractall(tmp_path, filter="data")
    source = tmp_path / name.removesuffix(".tar.gz")
    for needed in ["CMakeLists.txt", "cmake/tamarack_flags.cmake", "native/module.cpp",
                   "include/tamarack/pugixml_api.hpp", "src/tamarack/pugixml.pyi",
                   "src/tamarack/py.typed", "src/tamarack/cli.py"]:
        assert needed in members
    assert not [m for m in members if Path(m).name.startswith(("pugixml.", "pugiconfig."))
                and not m.startswith("src/tamarack/")]

    build_dir = tmp_path / "build"
    wheel = build_wheel(source, tmp_path / "dist", build_dir)
    assert zipfile.is_zipfile(wheel)
    cache = (build_dir / "CMakeCache.txt").read_text()
    (found,) = [line.split("=", 1)[1] for line in cache.splitlines() if line.startswith("pugixml_DIR:")]
    assert not Path(found).resolve().is_relative_to(source.resolve()), found
