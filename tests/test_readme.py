"""The examples in README.md and docs/ hold: in each file, its Python blocks run and its
interactive blocks give the output shown (in order, sharing one namespace per file), its shell
sessions of the command-line tool print what is shown, and its C++ blocks compile against the
installed header."""

import doctest
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import tamarack

REPO = Path(__file__).resolve().parents[1]
DOCUMENTS = [REPO / "README.md", REPO / "HACKING.md", *sorted((REPO / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)
RUN = {"python", "pycon", "console", "cpp"}
# Shown, never run: commands that build or install, a recipe against a cluster that is not there,
# plain text.
SHOWN = {"sh", "py", "text"}


def name(path):
    return str(path.relative_to(REPO))


def blocks(path, language):
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(2))
            for m in BLOCK.finditer(text) if m.group(1) == language]


def with_python():
    return [pytest.param(path, id=name(path)) for path in DOCUMENTS
            if path.exists() and (blocks(path, "python") or blocks(path, "pycon"))]


def test_every_block_is_run_or_shown_on_purpose():
    # A block under a language this file does not know (```Python, ```shell) would be skipped
    # without a word.
    for path in DOCUMENTS:
        if path.exists():
            for m in BLOCK.finditer(path.read_text(encoding="utf-8")):
                assert m.group(1) in RUN | SHOWN, f"{name(path)}: a block of {m.group(1)!r}"


@pytest.mark.parametrize("path", with_python())
def test_python_examples(path, monkeypatch):
    monkeypatch.chdir(REPO)  # the examples name files as seen from a clone's top directory
    where = name(path)
    namespace = {"__name__": "readme"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    examples = sorted(blocks(path, "python") + blocks(path, "pycon"))
    for line, source in examples:
        if source.lstrip().startswith(">>>"):
            test = parser.get_doctest(source, namespace, f"{where}:{line}", where, line)
            assert runner.run(test, clear_globs=False).failed == 0, f"{where}:{line}"
            namespace = test.globs  # a copy, which the next block carries on from
        else:
            exec(compile(source, f"{where}:{line}", "exec"), namespace)


def sessions():
    for path in DOCUMENTS:
        if not path.exists():
            continue
        for line, source in blocks(path, "console"):
            commands = re.split(r"^\$ ", source, flags=re.M)[1:]
            for command in commands:
                first, _, output = command.partition("\n")
                yield pytest.param(first, output, id=f"{name(path)}:{line}: {first}")


@pytest.mark.parametrize("command, output", list(sessions()))
def test_command_line_examples(command, output):
    args = shlex.split(command)
    assert args[0] == "tamarack"
    # Unbuffered, so that standard output and standard error interleave as in a terminal.
    result = subprocess.run([sys.executable, "-P", "-m", "tamarack", *args[1:]], cwd=REPO,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60,
                            env={**os.environ, "PYTHONUNBUFFERED": "1"})
    assert result.stdout.decode() == output


def native_examples():
    return [pytest.param(line, source, id=f"{name(path)}:{line}")
            for path in DOCUMENTS if path.exists() for line, source in blocks(path, "cpp")]


@pytest.mark.skipif(shutil.which("c++") is None, reason="no C++ compiler")
@pytest.mark.parametrize("line, source", native_examples())
def test_native_example_compiles(tmp_path, line, source):
    path = tmp_path / "consumer.cpp"
    path.write_text(source)
    result = subprocess.run(
        ["c++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
         "-I", tamarack.get_include(), "-I", sysconfig.get_paths()["include"], str(path)],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, f"line {line}\n{result.stderr}"



def test_the_tests_that_the_docs_name_exist():
    # The safety guarantees each name the test that holds them; a test renamed or removed
    # would leave a guarantee that nothing checks any more.
    sources = {path.name: path.read_text(encoding="utf-8") for path in (REPO / "tests").glob("test_*.py")}
    functions = {m.group(1) for text in sources.values() for m in re.finditer(r"^def (test_\w+)\(", text, re.M)}
    named = 0
    for path in DOCUMENTS:
        text = path.read_text(encoding="utf-8")
        for file in re.findall(r"`tests/(test_\w+\.py)`", text):
            assert file in sources, f"{name(path)} names tests/{file}"
            named += 1
        for function in re.findall(r"`(test_\w+)`", text):
            assert function in functions, f"{name(path)} names {function}"
            named += 1
    safety = (REPO / "docs" / "limits-and-safety.md").read_text(encoding="utf-8").partition("## Safety")[2]
    for case in re.findall(r"`([a-z0-9]+(?:-[a-z0-9]+)+)`", safety):
        assert f'@case("{case}")' in sources["test_hostile.py"], f"Safety names the hostile case {case}"
        named += 1
    assert named > 20
