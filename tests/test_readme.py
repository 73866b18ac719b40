"""The examples in README.md hold: its Python blocks run and its interactive
blocks give the output shown (in order, sharing one namespace), its shell
sessions of the command-line tool print what is shown, and its C++ block
compiles against the installed header."""

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
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.M | re.S)


def blocks(language):
    text = (REPO / "README.md").read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(2))
            for m in BLOCK.finditer(text) if m.group(1) == language]


def test_python_examples():
    namespace = {"__name__": "readme"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    examples = sorted(blocks("python") + blocks("pycon"))
    assert examples
    for line, source in examples:
        if source.lstrip().startswith(">>>"):
            test = parser.get_doctest(source, namespace, f"README.md:{line}", "README.md", line)
            assert runner.run(test, clear_globs=False).failed == 0, f"README.md:{line}"
            namespace = test.globs  # a copy, which the next block carries on from
        else:
            exec(compile(source, f"README.md:{line}", "exec"), namespace)
    assert runner.tries


def sessions():
    for line, source in blocks("console"):
        commands = re.split(r"^\$ ", source, flags=re.M)[1:]
        for command in commands:
            first, _, output = command.partition("\n")
            yield pytest.param(first, output, id=f"README.md:{line}: {first}")


@pytest.mark.parametrize("command, output", list(sessions()))
def test_command_line_examples(command, output):
    args = shlex.split(command)
    assert args[0] == "tamarack"
    # Unbuffered, so that standard output and standard error interleave as in a terminal.
    result = subprocess.run([sys.executable, "-P", "-m", "tamarack", *args[1:]], cwd=REPO,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60,
                            env={**os.environ, "PYTHONUNBUFFERED": "1"})
    assert result.stdout.decode() == output


@pytest.mark.skipif(shutil.which("c++") is None, reason="no C++ compiler")
def test_native_example_compiles(tmp_path):
    ((line, source),) = blocks("cpp")
    path = tmp_path / "consumer.cpp"
    path.write_text(source)
    result = subprocess.run(
        ["c++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
         "-I", tamarack.get_include(), "-I", sysconfig.get_paths()["include"], str(path)],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, f"README.md:{line}\n{result.stderr}"
