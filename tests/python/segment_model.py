"""The crash tests' model of a segment: what a writer acknowledged, and what
a killed writer may or may not have done.

Each round plans one operation (`Model.plan`), runs it through some writer
that may be killed, then records its outcome (`Model.record`) and checks the
reloaded segment against the model (`Model.check_and_settle`).
"""

from dataclasses import dataclass, field

import numpy as np

DIM = 8


def point_vector(pid, version=0):
    """The vector of point `pid`; a reinsert after a purge takes a new version."""
    seed = pid if version == 0 else pid + 10**6 + version
    return np.random.default_rng(seed).standard_normal(DIM).astype(np.float32)


@dataclass
class Op:
    kind: str                     # insert, update, reinsert, delete, compact, purge
    ids: list = field(default_factory=list)
    vectors: list = field(default_factory=list)
    payloads: list = field(default_factory=list)


class Model:
    """Acknowledged state plus open questions."""

    def __init__(self, n):
        self.vectors = {i: point_vector(i) for i in range(n)}
        self.live = {i: None for i in range(n)}    # id -> payload (None: no payload)
        self.gone = set()                          # acknowledged deletions
        self.unsure = {}                           # id -> allowed payloads when live
        self.next_id = n

    def plan(self, rng, round_no):
        """The next operation, or None when it has nothing to act on."""
        kind = rng.choice(["insert", "insert", "update", "delete", "reinsert", "compact", "purge"])
        if kind in ("compact", "purge"):
            return Op(kind)
        if kind == "delete":
            ids = rng.sample(sorted(self.live), min(4, len(self.live)))
            return Op(kind, ids) if ids else None
        if kind == "insert":
            ids = list(range(self.next_id, self.next_id + 8))
            self.next_id += 8
            for pid in ids:
                self.vectors[pid] = point_vector(pid)
        elif kind == "reinsert":
            ids = rng.sample(sorted(self.gone), min(3, len(self.gone)))
            for pid in ids:  # a new vector: only possible once the id was purged
                self.vectors[pid] = point_vector(pid, round_no)
        else:
            ids = rng.sample(sorted(self.live), min(5, len(self.live)))
        if not ids:
            return None
        return Op(kind, ids, [self.vectors[p] for p in ids], [{"r": round_no, "id": p} for p in ids])

    def record(self, op, acked):
        """Adopts an acknowledged operation; one that may have run partly or
        not at all leaves its ids open until the next check."""
        if op.kind in ("insert", "reinsert", "update"):
            for pid, payload in zip(op.ids, op.payloads):
                if acked:
                    self.live[pid] = payload
                    self.gone.discard(pid)
                else:
                    prior = [self.live[pid]] if pid in self.live else []
                    self.unsure[pid] = prior + [payload]
        elif op.kind == "delete":
            for pid in op.ids:
                if acked:
                    self.live.pop(pid)
                    self.gone.add(pid)
                else:
                    self.unsure[pid] = [self.live[pid]]

    def check_and_settle(self, got):
        """Checks the reloaded segment's live points (id -> payload) against
        the model, then adopts what it found for the open ids."""
        for pid, payload in self.live.items():
            if pid in self.unsure:
                continue
            assert pid in got, f"acknowledged point {pid} lost"
            assert got[pid] == payload, f"acknowledged payload of {pid} lost"
        for pid in self.gone:
            if pid not in self.unsure:
                assert pid not in got, f"deleted point {pid} came back"
        for pid in got:
            assert pid in self.live or pid in self.unsure, f"unknown point {pid}"
        for pid, allowed in self.unsure.items():
            if pid in got:
                assert got[pid] in allowed, f"payload of {pid} is {got[pid]}, expected one of {allowed}"
                self.live[pid] = got[pid]
                self.gone.discard(pid)
            else:
                self.live.pop(pid, None)
                self.gone.add(pid)
        self.unsure = {}
