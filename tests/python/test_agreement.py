"""The package against the C interface and the MEX modules, bit for bit.

The adversarial families come from the C++ program family_results (named by
TARVENLOCH_FAMILY_RESULTS), with its result for each problem; the MEX calls
and the Octave modules' results are stored in corpus/ (make_corpus.sh).
"""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tarvenloch import minimize, minimize_batch

HERE = Path(__file__).resolve().parent


def doubles(words):
    return np.array([int(word, 16) for word in words], dtype=np.uint64).view(np.float64)


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def family_mismatches(path):
    """The problems of the file that minimize or minimize_batch gets wrong."""
    groups = {}
    wrong = []
    for line in Path(path).read_text().splitlines():
        family, n, *words = line.split()
        values = doubles(words)
        n = int(n)
        a, b, p, q, expected = values[0], values[1], values[2 : 2 + n], values[2 + n : -1], values[-1]
        if bits(minimize(a, b, p, q)) != bits(expected):
            wrong.append(f"minimize: {family}, n = {n}")
        groups.setdefault(n, []).append((a, b, p, q, expected))
    # Each size as one batch, with a, b, P and Q per problem, on two threads.
    for n, problems in groups.items():
        a, b, P, Q, expected = (np.array(column) for column in zip(*problems))
        if not np.array_equal(bits(minimize_batch(a, b, P, Q, n, threads=2)), bits(expected)):
            wrong.append(f"minimize_batch: n = {n}")
    return wrong


@pytest.fixture(scope="module")
def family_file(tmp_path_factory):
    program = os.environ.get("TARVENLOCH_FAMILY_RESULTS")
    if not program:
        pytest.skip("TARVENLOCH_FAMILY_RESULTS does not name the family_results program")
    path = tmp_path_factory.mktemp("families") / "families.txt"
    with open(path, "w") as out:
        subprocess.run([program, "5"], stdout=out, check=True)
    return path


# Each path of the solver, forced through the environment it reads once per
# process, so each runs in a process of its own.
@pytest.mark.parametrize(
    "forced",
    [{}]
    + [{"TARVENLOCH_STRATEGY": name} for name in ("full", "pruned", "carried")]
    + [{"TARVENLOCH_SCAN_LEVEL": name} for name in ("portable", "sse2", "avx2")],
    ids=lambda forced: "-".join(forced.values()) or "default",
)
def test_families_match_the_c_interface(family_file, forced):
    check = (
        f"import sys; sys.path.insert(0, {str(HERE)!r}); import test_agreement as t; "
        f"print('\\n'.join(t.family_mismatches({str(family_file)!r})))"
    )
    run = subprocess.run(
        [sys.executable, "-c", check], env=dict(os.environ, **forced),
        capture_output=True, text=True, check=True,
    )
    assert run.stdout.strip() == ""


def mex_calls(name):
    """(inputs, outcome) of each stored call whose inputs are all real
    double arrays, each input as its values in storage order and its shape."""
    calls = (HERE / "corpus" / f"{name}.calls").read_text().splitlines()
    outcomes = (HERE / "corpus" / f"{name}.results").read_text().splitlines()
    for call, outcome in zip(calls, outcomes):
        fields = call.split()
        inputs, at = [], 2
        for _ in range(int(fields[1])):
            kind, rows, columns, complex_, sparse = (int(field) for field in fields[at : at + 5])
            count = rows * columns
            inputs.append((kind, complex_, sparse, rows, columns, doubles(fields[at + 5 : at + 5 + count])))
            at += 5 + count
        if all(kind == 0 and not complex_ and not sparse for kind, complex_, sparse, *_ in inputs):
            yield [(rows, columns, values) for *_, rows, columns, values in inputs], outcome.split()


def test_single_calls_match_the_mex_module():
    checked = 0
    for inputs, outcome in mex_calls("single"):
        if len(inputs) != 5 or outcome[0] != "ok" or not abs(inputs[4][2][0]) < 2**31:
            continue
        (_, _, a), (_, _, b), (_, _, p), (_, _, q), (_, _, n) = inputs
        u = minimize(a[0], b[0], p, q, int(n[0]))  # int() truncates as the module does
        assert bits(u) == bits(doubles(outcome[1:2])), (a, b, p, q, n)
        checked += 1
    assert checked > 350


def test_batch_calls_match_the_mex_module():
    checked = 0
    for inputs, outcome in mex_calls("batch"):
        if len(inputs) < 5:
            continue
        a, b, P, Q, n = (values for _, _, values in inputs[:5])
        # Column i of the module's P is row i here (storage order is the same).
        P, Q = (values.reshape(columns, rows) for rows, columns, values in inputs[2:4])
        threads = int(inputs[5][2][0]) if len(inputs) > 5 else 0
        if outcome[0] == "error":
            if outcome[1] == "tarvenloch:sizeMismatch":
                with pytest.raises(ValueError):
                    minimize_batch(a, b, P, Q, np.trunc(n), threads)
            continue
        U = minimize_batch(a, b, P, Q, np.trunc(n), threads)
        assert np.array_equal(bits(U), bits(doubles(outcome[1:]))), inputs
        checked += 1
    assert checked > 50
