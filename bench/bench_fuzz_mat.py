"""Fuzzing the MAT reader: `python -m bench fuzz_mat --files N [--seed S]`.

Seed files are real: the answers a host on the sample store writes (bars of
several targets, per-target bars, last-N records as a struct array, trading
times, ticks, multi-target ticks, factors) and the framework's cache files
(matrix caches, a target-information struct array, a code list), each also
stored compressed. Each of N mutated files (bytes flipped, data types and
lengths overwritten with telling values, cuts, splices; inside compressed
variables too) is read with load_mat by a worker process. A worker that dies
is a crash (the file is kept under crashes/); every failure must be a
DataLoadError naming the file. Prints files tried / read / refused / crashes.
"""
import os
import random
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import numpy as np

# values written over 32-bit words: every data type and its neighbours, class
# numbers, lengths at the edges of what fits
TELLING_WORDS = [*range(0, 40), 0xFF, 0x100, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF8, 0xFFFFFFFF,
                 (4 << 16) | 1, (8 << 16) | 6, (5 << 16) | 5, 2 ** 20, 2 ** 31 - 8]
READ_TIMEOUT = 20.0


# ---- seeds -----------------------------------------------------------------

def make_seeds(folder):
    """Host answers and cache files of the sample store, plain and compressed, in `folder`."""
    from telvar.api.history import _history
    from telvar.host import start_host
    from telvar.kestrum import comm
    from telvar.kestrum import sysmodel as cnt
    from telvar.kestrum.comm import tvcmd
    from telvar.kestrum.ufuncs import save_mat_cache
    from telvar.kestrum.utils.utilfunc import load_mat, save_mat

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    stocks = [{"Market": "SSE", "Code": "600000"}, {"Market": "SZSE", "Code": "000001"}]
    both = stocks + [{"Market": "SHFE", "Code": "RB0000"}]
    root = folder / "telvar-root"
    old_root = cnt.env.fm.root
    with start_host() as host:
        comm.connect(host.address)
        cnt.env.fm.set_root(root)
        try:
            answers = [
                tvcmd.tvSendCmdGetKDataMulti(both, "min", 20251230, 20251230, True, "NA"),
                tvcmd.tvSendCmdGetKDataMulti(both, "day", 20251101, 20251231, False, "FWard"),
                *tvcmd.tvSendCmdGetKData(stocks, "day", 1, 20251201, 20251231, True, "BWard", False),
                tvcmd.tvSendCmdGetNKDataMulti(both, "min", 5, 12, 20251231, True, "NA"),
                tvcmd.tvSendCmdGetTradingTime(both, "min", 20251230, 20251231),
                tvcmd.tvSendCmdGetTDPData("SZSE", "000001", 20251231, "NA", no_return=False,
                                          check_permission=False),
                tvcmd.tvSendCmdGetTDPDataMulti(stocks, 20251231, 20251231, "NA"),
                *[p for p in tvcmd.tvSendCmdGetFactorMultiFilePath(["pe_ttm", "momentum_20"], stocks, 20251201,
                                                                   20251231, 0) if p],
            ]
            info = tvcmd.tvSendCmdGetFutureInfo_20190920(both)
            _history.get_code_list_set(["HS300"], 20251201, 20251231)  # writes the code-list cache
            # the host removes its answers when it stops
            seeds = [Path(shutil.copy(path, folder / f"answer{k}_{Path(path).name}"))
                     for k, path in enumerate(answers)]
        finally:
            comm.disconnect()
            cnt.env.fm.set_root(old_root)
    seeds += [Path(p) for p in root.rglob("*.mat")]
    cash = folder / "cash_info.mat"
    save_mat(str(cash), info, struct_name="cashInfo", long_field_names=True, oned_as="row")
    seeds.append(cash)
    multi = load_mat(str(seeds[0]))
    seeds.append(Path(save_mat_cache(str(folder), "k_matrix", {"k_matrix_single": multi["KArray"][:7],
                                                                "TimeLine": multi["TimeLine"], "Count": 3})))
    for path in list(seeds):
        mdict = {k: v for k, v in load_mat(str(path)).items() if not k.startswith("__")}
        packed = folder / f"z_{path.name}"
        save_mat(str(packed), mdict, do_compression=True)
        seeds.append(packed)
    return seeds


# ---- mutations -------------------------------------------------------------

def _position(rng, size, aligned):
    pos = rng.randrange(size) if rng.random() < 0.5 else rng.randrange(min(size, 512))
    return pos & ~3 if aligned else pos


def mutate_bytes(data, rng, donors):
    """`data` changed in one to five places."""
    data = bytearray(data)
    for _ in range(rng.choice([1, 1, 1, 2, 3, 5])):
        if len(data) < 8:
            break
        kind = rng.randrange(8)
        pos = _position(rng, len(data) - 4, aligned=kind < 3)
        if kind == 0:
            data[pos:pos + 4] = struct.pack("<I", rng.choice(TELLING_WORDS))
        elif kind == 1:
            word = struct.unpack_from("<I", data, pos)[0]
            data[pos:pos + 4] = struct.pack("<I", (word + rng.choice([-8, -1, 1, 8, 4096])) & 0xFFFFFFFF)
        elif kind == 2:
            data[pos + rng.randrange(4)] = rng.choice([0, 0x7F, 0x80, 0xFF, rng.randrange(256)])
        elif kind == 3:
            data[pos] ^= 1 << rng.randrange(8)
        elif kind == 4:
            del data[rng.randrange(len(data)):]
        elif kind == 5:
            del data[pos:pos + rng.randrange(1, 65)]
        elif kind == 6:
            data[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 17)))
        else:
            donor = rng.choice(donors)
            start = rng.randrange(max(1, len(donor) - 8))
            data[pos:pos + rng.randrange(1, 65)] = donor[start:start + rng.randrange(8, 129)]
    return bytes(data)


def _compressed_elements(data):
    """(offset, length) of each top-level compressed element of a well-formed file."""
    found, at = [], 128
    while at + 8 <= len(data):
        dtype, n = struct.unpack_from("<II", data, at)
        if dtype == 15:
            found.append((at, n))
        at += 8 + n
    return found


def mutate(data, rng, donors):
    """A damaged copy of `data`; inside a compressed variable half the time, when it has any."""
    elements = _compressed_elements(data)
    if not elements or rng.random() < 0.5:
        return mutate_bytes(data, rng, donors)
    at, n = rng.choice(elements)
    inner = mutate_bytes(zlib.decompress(data[at + 8:at + 8 + n]), rng, donors)
    packed = zlib.compress(inner)
    return data[:at] + struct.pack("<II", 15, len(packed)) + packed + data[at + 8 + n:]


# ---- reading in a worker ---------------------------------------------------

def worker():
    """Reads the paths given on stdin with load_mat; answers one line each."""
    from telvar.kestrum.utils.exceptions import DataLoadError
    from telvar.kestrum.utils.utilfunc import load_mat

    for line in sys.stdin:
        path = line.rstrip("\n")
        try:
            load_mat(path)
            answer = "read"
        except DataLoadError as e:
            answer = "refused" if path in str(e) else "unnamed %s" % e
        except Exception as e:  # noqa: BLE001 - anything else is a finding
            answer = "other %s: %s" % (type(e).__name__, e)
        sys.stdout.write(answer.replace("\n", " ") + "\n")
        sys.stdout.flush()


class Worker:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-m", "bench.bench_fuzz_mat", "--worker"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     cwd=str(Path(__file__).resolve().parent.parent))

    def ask(self, path):
        """The worker's answer, or None when it died (or hung) reading `path`."""
        try:
            self.proc.stdin.write(path + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            return None
        ready, _, _ = select.select([self.proc.stdout], [], [], READ_TIMEOUT)
        answer = self.proc.stdout.readline() if ready else ""
        return answer.rstrip("\n") or None

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        return self.proc.returncode


def fuzz(seeds, n_files, seed, workdir):
    """Counts of the outcomes of `n_files` mutations; crashing files are kept in workdir/crashes."""
    rng = random.Random(seed)
    donors = [Path(p).read_bytes() for p in seeds]
    target = str(Path(workdir) / "mutated.mat")
    counts = {"files": 0, "read": 0, "refused": 0, "crashes": 0, "other": 0}
    findings = []
    worker_ = Worker()
    try:
        for _ in range(n_files):
            data = mutate(rng.choice(donors), rng, donors)
            with open(target, "wb") as f:
                f.write(data)
            counts["files"] += 1
            answer = worker_.ask(target)
            if answer is None:
                code = worker_.close()
                counts["crashes"] += 1
                kept = Path(workdir) / "crashes" / f"crash{counts['crashes']}.mat"
                kept.parent.mkdir(exist_ok=True)
                kept.write_bytes(data)
                findings.append(f"worker ended with {code} on {kept}")
                worker_ = Worker()
            elif answer in ("read", "refused"):
                counts[answer] += 1
            else:
                counts["other"] += 1
                findings.append(answer)
    finally:
        worker_.close()
    return counts, findings


def run(report):
    n_files = getattr(report, "files", None) or (300 if report.quick else 3000)
    seed = getattr(report, "seed", None) or 1
    with tempfile.TemporaryDirectory() as workdir:
        started = time.perf_counter()
        seeds = make_seeds(Path(workdir) / "seeds")
        report.section(f"fuzz_mat: {n_files} mutations of {len(seeds)} real MAT files (seed {seed}, "
                       f"seeds made in {time.perf_counter() - started:.1f} s)")
        started = time.perf_counter()
        counts, findings = fuzz(seeds, n_files, seed, workdir)
        elapsed = time.perf_counter() - started
        report.line(f"files tried {counts['files']} | read {counts['read']} | refused (DataLoadError naming "
                    f"the file) {counts['refused']} | crashes {counts['crashes']} | other errors "
                    f"{counts['other']} | {elapsed:.1f} s")
        for finding in findings[:20]:
            report.line(f"  {finding}")
        report.check("no crash", counts["crashes"] == 0)
        report.check("every failure is a DataLoadError naming the file", counts["other"] == 0)
        if counts["crashes"]:
            kept = Path.cwd() / "fuzz_mat_crashes"
            shutil.copytree(Path(workdir) / "crashes", kept, dirs_exist_ok=True)
            report.line(f"crashing files copied to {kept}")


if __name__ == "__main__" and sys.argv[1:] == ["--worker"]:
    worker()
