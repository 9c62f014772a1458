"""The quick start's scripts: how test.sh runs and reports its stages (scripts/stages.sh), and the
numpy the two quick-start commands leave in .venv (scripts/environment.sh)."""
import os
import pathlib
import re
import subprocess
import textwrap
import time

import pytest

SCRIPTS = pathlib.Path(__file__).resolve().parents[3] / "scripts"


def run_bash(script, cwd, **env):
    return subprocess.run(["bash", "-c", script], capture_output=True, text=True, cwd=cwd,
                          env=dict(os.environ, **env), timeout=60)


def run_stages(tmp_path, declared):
    """Runs the stages declared as test.sh does, ticking every second."""
    script = textwrap.dedent(f"""\
        source {SCRIPTS / 'stages.sh'}
        stages_begin "$PWD/build/test.log"
        stage first - "setting up" bash -c 'echo installing'
        stages_run
        """) + textwrap.dedent(declared) + "stages_run\nstages_verdict\n"
    started = time.monotonic()
    completed = run_bash(script, tmp_path, CELLPROX_TEST_TICK="1")
    return completed, time.monotonic() - started


def test_stages_run_two_at_a_time_and_report_in_the_order_declared(tmp_path):
    completed, seconds = run_stages(tmp_path, """\
        stage slow - "slow suite" bash -c 'for i in $(seq 300); do [ -e shorter.done ] && break; sleep 0.1; done; sleep 2; [ -e shorter.done ] && echo "== 7 passed, 1 skipped in 4.0s =="'
        stage fast - "fast one" bash -c 'sleep 1; echo "Done 99 runs in 1 second(s)"'
        stage waits slow,fast "after both" bash -c 'echo "100% tests passed, 0 tests failed out of 4"'
        stage short - "short" bash -c 'sleep 1; echo "== 2 passed in 1.0s =="'
        stage shorter - "shorter" bash -c 'sleep 1; touch shorter.done; echo "== 1 passed in 1.0s =="'
        stage alone all "alone" bash -c 'echo "$(ls build/test-stages/*.rc | wc -l) passed"'
        """)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    out = completed.stdout.splitlines()
    headings = [line for line in out if line.startswith("== ")]
    assert headings == ["== setting up", "== slow suite", "== fast one", "== after both",
                        "== short", "== shorter", "== alone"]
    # Each heading is followed by its outcome and its runner's closing line.
    closing = {out[out.index(h) + 1].split(": ", 1)[-1] for h in headings[1:]}
    assert closing == {"7 passed, 1 skipped in 4.0s", "Done 99 runs in 1 second(s)",
                       "100% tests passed, 0 tests failed out of 4", "2 passed in 1.0s",
                       "1 passed in 1.0s", "6 passed"}    # alone: after the 6 before it
    # Signs of life while the slow stage runs; the verdict last.
    assert any(re.fullmatch(r"   \.\.\. still running slow suite, \dm\d\ds.*", line) for line in out)
    assert re.fullmatch(r"test\.sh: 7 stages passed in \dm\d\ds", out[-1])
    # The other worker ran the three short ones while the slow one ran, not after it: the slow
    # one waits for the last of them, and would fail after 30 s if they waited for it.
    assert seconds < 30
    log = (tmp_path / "build" / "test.log").read_text()
    assert log.index("slow suite") < log.index("fast one") < log.index("Done 99 runs")


def test_a_failing_stage_stops_the_other_lane_and_shows_its_last_lines(tmp_path):
    completed, seconds = run_stages(tmp_path, """\
        stage long - "long suite" bash -c 'sleep 30'
        stage broken - "broken" bash -c 'seq 1 100; echo "it broke"; exit 3'
        stage never broken "never started" true
        """)
    assert completed.returncode == 1
    out = completed.stdout
    assert re.search(r"== broken\n   FAILED after \dm\d\ds; its last lines:\n", out)
    assert "   | 42\n" in out and "   | 41\n" not in out and "   | it broke\n" in out
    assert "stopped when 'broken' failed: long suite, 0m" in out
    assert "never started" not in out and seconds < 20
    assert out.splitlines()[-2] == f"The whole output is in {tmp_path}/build/test.log"
    assert re.fullmatch(r"test\.sh: stage 'broken' failed after 1 stages passed, in \dm\d\ds",
                        out.splitlines()[-1])


def test_the_fuzz_stage_closes_with_the_kernels_fuzzer(tmp_path):
    # fuzz.sh runs two fuzzers; the stage's closing line is libFuzzer's last "Done", and the
    # kernels are what the stage is named after.
    names = re.findall(r"^run (fuzz_\w+)", (SCRIPTS / "fuzz.sh").read_text(), re.M)
    assert names == ["fuzz_buffer_format", "fuzz_kernels"]
    log = tmp_path / "fuzz.log"
    log.write_text("== fuzz_buffer_format for 5 s\nDone 900 runs in 5 second(s)\n"
                   "== fuzz_kernels for 15 s\nDone 31 runs in 15 second(s)\n")
    closing = run_bash(f"source {SCRIPTS / 'stages.sh'}; closing_line {log}", tmp_path)
    assert closing.stdout == "Done 31 runs in 15 second(s)\n"


@pytest.mark.parametrize("found, notice", [("2.1.3", True), ("1.21.6", True),
                                           ("1.26.4", False), ("", False)])
def test_replacing_the_numpy_in_venv_is_said_not_done_quietly(tmp_path, found, notice):
    # Both quick-start commands install numpy 1.x into .venv; one that finds another numpy there
    # (put in by hand, or by an older script) says what it replaces.
    fake = tmp_path / "python"
    fake.write_text(f"#!/bin/sh\n[ -n '{found}' ] && echo '{found}'\n")
    fake.chmod(0o755)
    completed = run_bash(f"source {SCRIPTS / 'environment.sh'}; numpy_1_notice demo.sh {fake}; "
                         'echo "$NUMPY_1"', tmp_path)
    assert completed.stdout == "numpy>=1.23,<2\n"
    if notice:
        assert completed.stderr.startswith(f"demo.sh: .venv holds numpy {found}; installing "
                                           "numpy 1.x (1.23 or later, below 2) in its place")
    else:
        assert completed.stderr == ""


def test_both_quick_start_commands_install_numpy_1_into_venv():
    for script in ("demo.sh", "test.sh"):
        text = (SCRIPTS / script).read_text()
        installs = re.findall(r'python -m pip install [^\n]*', text)
        assert any('"$NUMPY_1"' in line and ".[" in line for line in installs), script
        assert "numpy_1_notice" in text, script
