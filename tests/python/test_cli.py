"""End-to-end tests of the `dovadure` command-line tool.

The tool is taken from $DOVADURE_CLI, or from PATH (after `pip install .`).
"""

import fcntl
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import time

import numpy as np
import pytest

from segment_model import Model

CLI = os.environ.get("DOVADURE_CLI") or shutil.which("dovadure")
pytestmark = pytest.mark.skipif(CLI is None, reason="dovadure tool not found (set DOVADURE_CLI)")

COMMANDS = ["build", "info", "list", "upsert", "delete", "compact"]


def run(*args, check=True):
    proc = subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=120)
    if check and proc.returncode != 0:
        raise AssertionError(f"{args} failed ({proc.returncode}): {proc.stderr}")
    return proc


def error_line(proc):
    """The single error line of a failed command."""
    lines = proc.stderr.strip().splitlines()
    assert proc.returncode != 0
    assert lines, "no error message"
    return lines[0]


def vectors(n, dim=8, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def save_jsonl(path, rows):
    with open(path, "w") as f:
        for row in rows:
            f.write(json.dumps(row) + "\n")


def live(snap, payloads=False):
    out = run("list", snap, *(["--payloads"] if payloads else [])).stdout
    if not payloads:
        return {int(line) for line in out.split()}
    result = {}
    for line in out.splitlines():
        pid, payload = line.split("\t", 1)
        result[int(pid)] = json.loads(payload)
    return result


@pytest.fixture
def seg(tmp_path):
    """A built segment of 50 points (ids 0..49) with payloads."""
    np.save(tmp_path / "v.npy", vectors(50))
    save_jsonl(tmp_path / "p.jsonl", [{"group": i % 3, "name": f"n{i}"} for i in range(50)])
    snap = tmp_path / "seg.snap"
    run("build", snap, "--vectors", tmp_path / "v.npy", "--payloads", tmp_path / "p.jsonl",
        "--metric", "cosine", "--m", 8, "--ef-construction", 40)
    return snap


# ---------------------------------------------------------------- usage


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help(command):
    proc = run(command, "--help")
    assert proc.stdout.startswith(f"usage: dovadure {command} ")


def test_top_level_help_and_unknown_command():
    assert "commands:" in run("--help").stdout
    proc = run("frobnicate", check=False)
    assert proc.returncode == 2
    assert error_line(proc) == "dovadure: unknown command 'frobnicate'"


@pytest.mark.parametrize("command", COMMANDS)
def test_unknown_flag_is_a_usage_error(command, tmp_path):
    proc = run(command, tmp_path / "x.snap", "--bogus", check=False)
    assert proc.returncode == 2
    assert error_line(proc) == f"dovadure {command}: unknown option '--bogus'"


# --------------------------------------------------------- build, info, list


def test_build_info_list_round_trip(tmp_path, seg):
    assert live(seg) == set(range(50))
    payloads = live(seg, payloads=True)
    assert payloads[4] == {"group": 1, "name": "n4"}
    info = run("info", seg).stdout
    assert "checksum:        verified" in info
    assert "format:          version 3" in info
    assert "metric:          cosine" in info
    assert "dim:             8" in info
    assert "m / m0:          8 / 16" in info
    assert "points:          50" in info
    assert "payloads:        50" in info
    assert "log:             none" in info
    assert not (tmp_path / "seg.tmp").exists()


def test_build_from_fvecs_with_ids_and_payload_kinds(tmp_path):
    data = vectors(5, dim=3, seed=4)
    with open(tmp_path / "v.fvecs", "wb") as f:
        for row in data:
            f.write(struct.pack("<i", 3) + row.tobytes())
    np.save(tmp_path / "ids.npy", np.array([10, 20, 30, 40, 2**64 - 1], dtype=np.uint64))
    rows = [{"i": -7, "f": 0.5, "s": "é", "b": False, "li": [1, 2], "lf": [1, 2.5],
             "ls": ["x"], "lb": [True]}, None, {}, {"u": "\u00e9\ud83d\ude00"}, {"x": 1}]
    with open(tmp_path / "p.jsonl", "w") as f:
        for row in rows:
            f.write(json.dumps(row) + "\r\n")
    snap = tmp_path / "f.snap"
    run("build", snap, "--vectors", tmp_path / "v.fvecs", "--ids", tmp_path / "ids.npy",
        "--payloads", tmp_path / "p.jsonl", "--metric", "euclidean")
    got = live(snap, payloads=True)
    assert set(got) == {10, 20, 30, 40, 2**64 - 1}
    assert got[10] == rows[0]
    assert got[20] is None and got[30] is None
    assert got[40] == {"u": "\u00e9\U0001F600"}


@pytest.mark.parametrize("threads", [2, 0])
def test_build_with_threads_keeps_every_point_and_payload(tmp_path, threads):
    np.save(tmp_path / "v.npy", vectors(400, dim=16, seed=9))
    ids = np.arange(400, dtype=np.uint64) * 5 + 3
    np.save(tmp_path / "ids.npy", ids)
    save_jsonl(tmp_path / "p.jsonl", [{"g": i % 4} if i % 2 else None for i in range(400)])
    snap = tmp_path / "t.snap"
    proc = run("build", snap, "--vectors", tmp_path / "v.npy", "--ids", tmp_path / "ids.npy",
               "--payloads", tmp_path / "p.jsonl", "--metric", "euclidean", "--m", 8,
               "--ef-construction", 40, "--threads", threads)
    assert proc.stdout.startswith(f"built {snap}: 400 points, dim 16, metric euclidean")
    got = live(snap, payloads=True)
    assert set(got) == {int(x) for x in ids}
    assert got[8] == {"g": 1} and got[3] is None
    assert "points:          400" in run("info", snap).stdout
    # The id counter follows the largest id, as in a one-thread build.
    np.save(tmp_path / "more.npy", vectors(1, dim=16, seed=10))
    run("upsert", snap, "--vectors", tmp_path / "more.npy")
    assert max(live(snap)) == int(ids[-1]) + 1


def test_build_threads_must_be_a_number(tmp_path):
    np.save(tmp_path / "v.npy", vectors(5))
    proc = run("build", tmp_path / "x.snap", "--vectors", tmp_path / "v.npy", "--metric", "dot",
               "--threads", "many", check=False)
    assert proc.returncode == 2
    assert error_line(proc) == ("dovadure build: --threads must be an integer from 0 to 4096, "
                                "got 'many'")


def test_info_reports_damage(tmp_path, seg):
    raw = bytearray(seg.read_bytes())
    raw[20] ^= 0xFF
    bad = tmp_path / "bad.snap"
    bad.write_bytes(raw)
    proc = run("info", bad, check=False)
    assert proc.returncode == 1
    assert "checksum:        segment snapshot checksum mismatch" in proc.stdout


# ------------------------------------------------------------ bad input


def expect_failure(tmp_path, args, message, out="out.snap"):
    proc = run(*args, check=False)
    assert proc.returncode == 1, proc.stderr
    assert error_line(proc) == "dovadure: error: " + message
    # Nothing half-written is left behind.
    assert not (tmp_path / out).exists()
    assert not (tmp_path / out.replace(".snap", ".tmp")).exists()


def test_bad_vector_files(tmp_path):
    out = tmp_path / "out.snap"
    missing = tmp_path / "missing.npy"
    expect_failure(tmp_path, ["build", out, "--vectors", missing, "--metric", "dot"],
                   f"{missing}: No such file or directory (os error 2)")
    np.save(tmp_path / "f64.npy", np.zeros((3, 4)))
    expect_failure(tmp_path, ["build", out, "--vectors", tmp_path / "f64.npy", "--metric", "dot"],
                   f"{tmp_path / 'f64.npy'}: dtype '<f8' is not float32 (convert with .astype(numpy.float32))")
    np.save(tmp_path / "flat.npy", np.zeros(4, dtype=np.float32))
    expect_failure(tmp_path, ["build", out, "--vectors", tmp_path / "flat.npy", "--metric", "dot"],
                   f"{tmp_path / 'flat.npy'}: expected a 2-D array (points, dimension), found shape (4,)")
    np.save(tmp_path / "fort.npy", np.asfortranarray(np.zeros((3, 4), dtype=np.float32)))
    expect_failure(tmp_path, ["build", out, "--vectors", tmp_path / "fort.npy", "--metric", "dot"],
                   f"{tmp_path / 'fort.npy'}: array is in Fortran order; save it C-contiguous "
                   "(numpy.ascontiguousarray)")
    # A header that claims more data than the file holds.
    np.save(tmp_path / "cut.npy", np.zeros((10, 4), dtype=np.float32))
    raw = (tmp_path / "cut.npy").read_bytes()
    (tmp_path / "cut.npy").write_bytes(raw[:-5])
    expect_failure(tmp_path, ["build", out, "--vectors", tmp_path / "cut.npy", "--metric", "dot"],
                   f"{tmp_path / 'cut.npy'}: file is shorter than its shape says (truncated?)")
    (tmp_path / "junk.npy").write_bytes(b"\x93NUMPY\x01\x00\xff\xff{'descr'")
    expect_failure(tmp_path, ["build", out, "--vectors", tmp_path / "junk.npy", "--metric", "dot"],
                   f"{tmp_path / 'junk.npy'}: truncated .npy header")
    nan = vectors(3)
    nan[1, 2] = np.nan
    np.save(tmp_path / "nan.npy", nan)
    expect_failure(tmp_path, ["build", out, "--vectors", tmp_path / "nan.npy", "--metric", "dot"],
                   f"{tmp_path / 'nan.npy'}: vector 1 holds a non-finite value")
    with open(tmp_path / "v.fvecs", "wb") as f:
        f.write(struct.pack("<i", 2) + b"\0" * 8 + struct.pack("<i", 3) + b"\0" * 8)
    expect_failure(tmp_path, ["build", out, "--vectors", tmp_path / "v.fvecs", "--metric", "dot"],
                   f"{tmp_path / 'v.fvecs'}: vector 1 declares dimension 3, expected 2")


def test_bad_ids_and_payloads(tmp_path):
    out = tmp_path / "out.snap"
    np.save(tmp_path / "v.npy", vectors(4))
    base = ["build", out, "--vectors", tmp_path / "v.npy", "--metric", "euclidean"]
    np.save(tmp_path / "dup.npy", np.array([1, 2, 3, 2], dtype=np.uint64))
    expect_failure(tmp_path, base + ["--ids", tmp_path / "dup.npy"],
                   f"{tmp_path / 'dup.npy'}: duplicate id 2 at positions 1 and 3")
    np.save(tmp_path / "neg.npy", np.array([1, -2, 3, 4], dtype=np.int64))
    expect_failure(tmp_path, base + ["--ids", tmp_path / "neg.npy"],
                   f"{tmp_path / 'neg.npy'}: id at position 1 is negative (-2)")
    np.save(tmp_path / "few.npy", np.array([1, 2], dtype=np.uint64))
    expect_failure(tmp_path, base + ["--ids", tmp_path / "few.npy"],
                   f"{tmp_path / 'few.npy'} holds 2 ids but {tmp_path / 'v.npy'} holds 4 vectors")

    cases = [
        ('{"a": 1}\n{"a": 2}\n{"a": [1, "x"]}\n{}\n', "line 3: list elements must all be of one kind at column 11"),
        ('{"a": 1}\n{"a": {"b": 1}}\n{}\n{}\n', "line 2: nested objects are not payload values at column 7"),
        ('{"a": 1}\n\n{}\n{}\n', "line 2: empty line (one JSON object per vector)"),
        ('{"a": 1, "a": 2}\n{}\n{}\n{}\n', 'line 1: duplicate field "a" at column 10'),
        ('{"a": 1}\n{}\n{} x\n{}\n', "line 3: unexpected text after the object at column 4"),
        ('{"a": 99999999999999999999}\n{}\n{}\n{}\n', "line 1: integer out of the 64-bit range at column 7"),
        ('{"a": null}\n{}\n{}\n{}\n', "line 1: null is not a payload value at column 7"),
        ('{"a": "\\ud800"}\n{}\n{}\n{}\n', "line 1: unpaired surrogate in \\u escape at column 14"),
        (b'{"a": "\xff"}\n{}\n{}\n{}\n', "line 1: invalid UTF-8 in string at column 8"),
        ('{}\n{}\n{}\n', f"{tmp_path / 'p.jsonl'} holds 3 lines but {tmp_path / 'v.npy'} holds 4 vectors"),
    ]
    for text, message in cases:
        mode = "wb" if isinstance(text, bytes) else "w"
        with open(tmp_path / "p.jsonl", mode) as f:
            f.write(text)
        if not message.startswith(str(tmp_path)):
            message = f"{tmp_path / 'p.jsonl'}: {message}"
        expect_failure(tmp_path, base + ["--payloads", tmp_path / "p.jsonl"], message)


def test_bad_options(tmp_path):
    np.save(tmp_path / "v.npy", vectors(4))
    proc = run("build", tmp_path / "o.snap", "--vectors", tmp_path / "v.npy", "--metric", "hamming",
               check=False)
    assert proc.returncode == 2
    assert error_line(proc) == "dovadure build: unknown metric 'hamming' (cosine, dot or euclidean)"
    proc = run("build", tmp_path / "o.snap", "--vectors", tmp_path / "v.npy", "--metric", "dot",
               "--m", "x", check=False)
    assert error_line(proc) == "dovadure build: --m must be an integer from 2 to 4096, got 'x'"
    proc = run("delete", tmp_path / "o.snap", "--id", check=False)
    assert error_line(proc) == "dovadure delete: option '--id' needs at least one number"


def test_build_refuses_to_replace_without_overwrite(tmp_path, seg):
    before = seg.read_bytes()
    proc = run("build", seg, "--vectors", tmp_path / "v.npy", "--metric", "dot", check=False)
    assert proc.returncode == 1
    assert "already exists" in error_line(proc)
    assert seg.read_bytes() == before
    # With --overwrite the old log goes too: its records belong to the old segment.
    run("delete", seg, "--id", 1)
    run("build", seg, "--vectors", tmp_path / "v.npy", "--metric", "dot", "--overwrite")
    assert not (tmp_path / "seg.wal").exists()
    assert live(seg) == set(range(50))


# ------------------------------------------------------ mutations and log


def test_upsert_delete_compact(tmp_path, seg):
    snapshot_bytes = seg.read_bytes()
    np.save(tmp_path / "new.npy", vectors(5, seed=9))
    save_jsonl(tmp_path / "new.jsonl", [{"k": i} for i in range(5)])
    proc = run("upsert", seg, "--vectors", tmp_path / "new.npy", "--payloads", tmp_path / "new.jsonl")
    assert "5 inserted" in proc.stdout
    # New ids follow the largest id so far; the snapshot file is untouched.
    assert live(seg) == set(range(55))
    assert seg.read_bytes() == snapshot_bytes
    assert "5 records" in run("info", seg).stdout

    # Same vector, new payload: a payload update.
    np.save(tmp_path / "ids.npy", np.array([3], dtype=np.uint64))
    np.save(tmp_path / "v3.npy", vectors(50)[3:4])
    save_jsonl(tmp_path / "p3.jsonl", [{"renamed": True}])
    proc = run("upsert", seg, "--vectors", tmp_path / "v3.npy", "--ids", tmp_path / "ids.npy",
               "--payloads", tmp_path / "p3.jsonl")
    assert "1 payloads updated" in proc.stdout
    assert live(seg, payloads=True)[3] == {"renamed": True}

    # A different vector under an existing id is refused, nothing applied.
    np.save(tmp_path / "v9.npy", vectors(1, seed=99))
    proc = run("upsert", seg, "--vectors", tmp_path / "v9.npy", "--ids", tmp_path / "ids.npy", check=False)
    assert error_line(proc).startswith("dovadure: error: id 3 already exists with a different vector")

    proc = run("delete", seg, "--id", 3, 4, 1000)
    assert proc.stdout.startswith("deleted 2 points")
    assert 3 not in live(seg)
    # A deleted id is not reusable until a purge.
    proc = run("upsert", seg, "--vectors", tmp_path / "v9.npy", "--ids", tmp_path / "ids.npy", check=False)
    assert "deleted point" in error_line(proc)

    run("compact", seg)
    assert (tmp_path / "seg.wal").stat().st_size == 8
    assert live(seg) == set(range(55)) - {3, 4}
    run("compact", seg, "--purge")
    run("upsert", seg, "--vectors", tmp_path / "v9.npy", "--ids", tmp_path / "ids.npy")
    assert 3 in live(seg)

    np.save(tmp_path / "wide.npy", vectors(2, dim=9))
    proc = run("upsert", seg, "--vectors", tmp_path / "wide.npy", check=False)
    assert error_line(proc) == ("dovadure: error: dimension mismatch: " + str(tmp_path / "wide.npy") +
                                " holds vectors of dimension 9, the segment's dimension is 8")


def test_second_writer_waits_then_fails(tmp_path, seg):
    with open(tmp_path / "seg.lock", "a") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        proc = run("delete", seg, "--id", 1, "--wait", 0, check=False)
        assert proc.returncode == 1
        assert "is locked by another writer" in error_line(proc)
    run("delete", seg, "--id", 1, "--wait", 0)
    assert 1 not in live(seg)


def test_writer_refuses_when_replay_is_off(tmp_path, seg):
    env = dict(os.environ, DOROVOZU_WAL_AUTO_REPLAY="false")
    proc = subprocess.run([CLI, "delete", str(seg), "--id", "1"], capture_output=True, text=True, env=env)
    assert proc.returncode == 1
    assert "DOROVOZU_WAL_AUTO_REPLAY" in proc.stderr


def test_collection_directory_stands_for_a_segment(tmp_path):
    np.save(tmp_path / "v.npy", vectors(25))
    save_jsonl(tmp_path / "p.jsonl", [{"i": i} for i in range(25)])
    coll = tmp_path / "coll"
    proc = run("build", coll, "--vectors", tmp_path / "v.npy", "--payloads", tmp_path / "p.jsonl",
               "--metric", "euclidean", "--segment-max-points", 10)
    assert proc.stdout.startswith(f"built collection {coll}: 25 points")
    np.save(tmp_path / "more.npy", vectors(12, seed=3))
    run("upsert", coll, "--vectors", tmp_path / "more.npy", "--segment-max-points", 10)
    run("delete", coll, "--id", 3, 30, "--segment-max-points", 10)
    # Only the two segments holding the deleted ids need compacting.
    assert run("compact", coll, "--purge").stdout == f"compacted {coll}: 2 segments, 2 deleted ids purged\n"
    got = live(coll, payloads=True)
    assert set(got) == set(range(37)) - {3, 30}
    assert got[4] == {"i": 4} and got[36] is None
    # Ids stay unique across segments: an existing id with another vector is refused.
    np.save(tmp_path / "ids.npy", np.array([5], dtype=np.uint64))
    np.save(tmp_path / "one.npy", vectors(1, seed=8))
    proc = run("upsert", coll, "--vectors", tmp_path / "one.npy", "--ids", tmp_path / "ids.npy", check=False)
    assert "id 5 already exists with a different vector" in error_line(proc)


# ------------------------------------------------------------ crash test


def test_crash_at_random_moments_loses_nothing(tmp_path):
    rng = random.Random(1234)
    n = 60
    model = Model(n)
    np.save(tmp_path / "v.npy", np.stack([model.vectors[i] for i in range(n)]))
    snap = tmp_path / "c.snap"
    run("build", snap, "--vectors", tmp_path / "v.npy", "--metric", "euclidean", "--m", 4,
        "--ef-construction", 16)
    env = dict(os.environ, DOROVOZU_WAL_FSYNC="0")  # kills, not power loss
    deadline = time.monotonic() + 5.0
    rounds = kills = 0
    while time.monotonic() < deadline or rounds < 10:
        rounds += 1
        op = model.plan(rng, rounds)
        if op is None:
            continue
        if op.kind in ("insert", "reinsert", "update"):
            np.save(tmp_path / "u.npy", np.stack(op.vectors))
            np.save(tmp_path / "ids.npy", np.array(op.ids, dtype=np.uint64))
            save_jsonl(tmp_path / "u.jsonl", op.payloads)
            args = ["upsert", snap, "--vectors", tmp_path / "u.npy", "--ids", tmp_path / "ids.npy",
                    "--payloads", tmp_path / "u.jsonl"]
        elif op.kind == "delete":
            args = ["delete", snap, "--id", *op.ids]
        else:
            args = ["compact", snap] + (["--purge"] if op.kind == "purge" else [])

        proc = subprocess.Popen([CLI, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=env)
        time.sleep(rng.uniform(0.0, 0.03))
        killed = False
        if proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
            killed = True
        _, err = proc.communicate()
        acked = proc.returncode == 0
        refused = not killed and proc.returncode == 1
        if killed and proc.returncode == 0:
            acked, killed = True, False  # it finished before the signal arrived
        kills += killed
        if refused:
            # Reinserting an id that is deleted but not purged is refused whole.
            assert op.kind == "reinsert" and b"deleted point" in err, err
        elif op.kind in ("compact", "purge"):
            assert acked or killed, err
        else:
            model.record(op, acked)
        model.check_and_settle(live(snap, payloads=True))
    print(f"crash test: {rounds} rounds, {kills} kills")
    assert kills > 0, "no command was ever interrupted; the test proved nothing"
