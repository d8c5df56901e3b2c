"""Fuzz of the Python API: random call sequences with odd values, each run in a
forked child (api_fuzz), must never crash or hang the process, raise anything
but the documented exception kinds, or change a scene while it is simulated.
A failure shows the shortest call sequence hypothesis found for it.

The suite runs VORN_FUZZ_EXAMPLES sequences (default 60); scripts/fuzz_api.sh
runs a long one for release checks and prints the summary line that this test
prints: calls, crashes, hangs, duration."""
import enum
import os
import time

import pytest
from hypothesis import HealthCheck, given, settings

import api_fuzz
import vorn_gpu

EXAMPLES = int(os.environ.get("VORN_FUZZ_EXAMPLES", "60"))
TIMEOUT = float(os.environ.get("VORN_FUZZ_TIMEOUT", "60"))


class Crash(Exception):
    pass


class Hang(Exception):
    pass


class Breach(Exception):
    pass


def test_every_public_name_is_fuzzed():
    scene = {n for n in dir(vorn_gpu.EmbreeSceneManager) if not n.startswith("_")}
    assert scene == set(api_fuzz.SCENE_METHODS)
    module = {n for n in dir(vorn_gpu) if not n.startswith("_") and callable(getattr(vorn_gpu, n))
              and not isinstance(getattr(vorn_gpu, n), enum.EnumMeta)}  # the named codes
    fuzzed = {n[2:] for n in set(api_fuzz.MODULE_CALLS) | api_fuzz.SIMULATIONS} | {"EmbreeSceneManager"}
    assert module == fuzzed


def test_random_call_sequences_never_crash_or_hang():
    seen = dict.fromkeys(["sequences", "calls", "crash", "hang", "breach"], 0)
    start = time.monotonic()

    @settings(max_examples=EXAMPLES, deadline=None, database=None, print_blob=False,
              suppress_health_check=list(HealthCheck))
    @given(api_fuzz.programs())
    def check(program):
        outcome, calls, detail = api_fuzz.run(program, TIMEOUT)
        seen["sequences"] += 1
        seen["calls"] += calls
        seen[outcome] = seen.get(outcome, 0) + 1
        report = f"{outcome}: {detail}\nsequence:\n{api_fuzz.describe(program)}"
        # One exception class per kind, so that hypothesis shrinks and reports each.
        if outcome != "ok":
            raise {"crash": Crash, "hang": Hang, "breach": Breach}[outcome](report)

    failure = None
    try:
        check()
    except Exception as e:  # noqa: BLE001 - one failure or a group of distinct ones
        failure = e
    # Failing sequences are counted while hypothesis shrinks them, too.
    print(f"\nvorn fuzz: {seen['sequences']} sequences, {seen['calls']} calls, {seen['crash']} "
          f"crashes, {seen['hang']} hangs, {seen['breach']} contract breaches, "
          f"{time.monotonic() - start:.1f} s")
    if failure:
        parts = getattr(failure, "exceptions", [failure])
        pytest.fail("\n\n".join(str(p) for p in parts), pytrace=False)
