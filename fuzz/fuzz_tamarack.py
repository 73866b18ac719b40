"""Coverage-guided fuzzing of tamarack.pugixml with atheris (libFuzzer).

    python fuzz/fuzz_tamarack.py [libFuzzer options] CORPUS_DIR [SEED_DIR ...]

Run it over the sanitizer build (`make fuzz` sets everything up): a memory error in the module
aborts with AddressSanitizer's report, a broken invariant or an unexpected exception is reported
by atheris as a crash, and either way the input is written to libFuzzer's artifact prefix.

Coverage comes from the harness, whose Python code atheris instruments: the module's native code is
not instrumented for coverage, so the harness checks what the module reports in enough detail
(every property, each error, each query result) for new native behaviour to show up as new paths
in Python.
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["harness"]):
    import harness


def main():
    atheris.Setup(sys.argv, harness.one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
