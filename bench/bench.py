"""Benchmark quillrow.read_sts against its peers.  Run through bench/run.sh.

For every file size and value shape (fixed decimals, and exponent form for
the sizes of --exp-sizes): generate the file once, read it once so the page cache
is warm, check that every method returns bit-identical arrays (exit 1 if
not, before any time is shown), then time interleaved rounds, one fresh
process per sample, and report medians, ranges, ratios taken within a
round, peak resident memory and the goals of the benchmark.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "tools"))

import gen_sts  # noqa: E402
from methods import LABELS, LOADERS  # noqa: E402

FULL_SIZES = [1, 1_000, 100_000, 2_000_000]
SMOKE_SIZES = [1, 1_000, 10_000]
# Files of the same rows with the values in exponent form ("exp:N" in the
# results): the shape where a reader's slow paths show.
FULL_EXP_SIZES = [1_000_000]
SMOKE_EXP_SIZES = [10_000]
SEED = 2016
SUBJECT, WHEEL, REFERENCE = "quillrow", "wheel", "naive"
# The two builds of quillrow that the goals apply to: the g++ build
# (`pip install .`) and the release wheel (zig's clang, tools/build_wheels.sh).
BUILDS = (SUBJECT, WHEEL)
GOAL_SIZE, SMALL_SIZE, SCALING_SIZE = 2_000_000, 1, 100_000
EXP_GOAL = "exp:1000000"
# (size key, peer, limit, label): quillrow's time over the peer's, the median
# of the ratios within rounds, for each build.
RATIO_GOALS = (
    (str(GOAL_SIZE), "naive", 0.25, "2M rows: quillrow <= 0.25 x naive C++"),
    (str(GOAL_SIZE), "loadtxt", 1 / 6, "2M rows: quillrow <= 1/6 x numpy.loadtxt"),
    (str(GOAL_SIZE), "pandas", 1 / 20, "2M rows: quillrow <= 1/20 x pandas.read_csv"),
    (str(SMALL_SIZE), "loadtxt", 1 / 10, "1 row: quillrow per call <= 1/10 x numpy.loadtxt"),
    (EXP_GOAL, "naive", 0.30, "1M rows, exponent form: quillrow <= 0.30 x naive C++"),
)
# The interpreter that runs each method's children: the harness's own, but
# for the wheel, which is installed in a venv of its own (--wheel-python).
INTERPRETERS: dict[str, str] = {}
# NumPy's import starts OpenBLAS's thread pool, whose threads spin on the
# other core for their first tens of milliseconds.  None of the methods
# calls BLAS.  While a thread of the same process spins there, mapping and
# unmapping a file costs about twice as much (most likely the TLB flush of
# munmap, which must then interrupt that core; docs/performance-log.md),
# and on a shared two-core machine it takes a core from whatever else runs.
CHILD_ENV = {**os.environ, "OPENBLAS_NUM_THREADS": "1"}


def interpreter(method: str) -> str:
    return INTERPRETERS.get(method, sys.executable)


def size_key(rows: int, values: str) -> str:
    return str(rows) if values == "fixed" else f"{values}:{rows}"


def rounds_for(rows: int, smoke: bool) -> int:
    if smoke:
        return 2
    return 5 if rows >= 100_000 else 7


def calls_for(rows: int) -> tuple[int, int]:
    """(timed calls per sample, untimed warm-up calls) for a file size."""
    if rows <= 10:
        return 200, 1
    if rows <= 10_000:
        return 20, 1
    return 1, 0


# ---------------------------------------------------------------- files


def data_file(rows: int, directory: Path, values: str = "fixed") -> Path:
    """The benchmark file of `rows` rows, regenerated when the generator changed."""
    path = directory / (f"sts_{rows}.sts" if values == "fixed" else f"sts_{values}_{rows}.sts")
    generator = ROOT / "tools" / "gen_sts.py"
    if not path.exists() or path.stat().st_mtime < generator.stat().st_mtime:
        directory.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".tmp")
        t0 = time.perf_counter()
        gen_sts.write_sts(str(tmp), rows, seed=SEED, values=values)
        tmp.rename(path)
        print(f"  generated {path.relative_to(ROOT)} ({time.perf_counter() - t0:.1f} s)", flush=True)
    return path


def warm_page_cache(path: Path) -> None:
    with open(path, "rb") as f:
        while f.read(1 << 22):
            pass


# ---------------------------------------------------------------- checks


class Mismatch(Exception):
    pass


def first_and_last_stamps(path: Path) -> tuple[int, int]:
    """Timestamps of the first and last data rows, by the calendar module."""
    from methods import header_line_count

    skip = header_line_count(str(path))
    with open(path, "rb") as f:
        lines = (line for i, line in enumerate(f) if i >= skip and line.strip())
        first_line = next(lines)
        f.seek(max(0, path.stat().st_size - 4096))
        last_line = [x for x in f.read().split(b"\n") if x.strip()][-1]
    epoch = datetime.datetime(1970, 1, 1)

    def stamp(line):
        y, d, h, mi, s, ms = (int(x) for x in line.split()[:6])
        t = datetime.datetime(y, 1, 1) + datetime.timedelta(
            days=d - 1, hours=h, minutes=mi, seconds=s, milliseconds=ms
        )
        return (t - epoch) // datetime.timedelta(milliseconds=1)

    return stamp(first_line), stamp(last_line)


def method_result(name: str, path: Path, scratch: Path):
    """Arrays that `name` returns for `path`, read in a child process.

    A crash of the method then names the method instead of taking the
    harness down with it.
    """
    import numpy as np

    prefix = scratch / f"check_{name}"
    proc = subprocess.run(
        [interpreter(name), str(HERE / "child.py"), name, "--dump", str(path), str(prefix)],
        capture_output=True,
        text=True,
        env=CHILD_ENV,
    )
    if proc.returncode != 0:
        raise Mismatch(
            f"{LABELS[name]} failed on {path.name} (exit status {proc.returncode}):\n{proc.stderr[-2000:]}"
        )
    npz = prefix.with_suffix(".npz")
    with np.load(npz) as data:
        out = (data["stamps"], data["values"], bool(data["values_c_contiguous"]))
    npz.unlink()
    return out


def check_methods(path: Path, rows: int, methods: list[str], scratch: Path) -> None:
    """Every method must return the same bits, in the promised layout."""
    import numpy as np

    first, last = first_and_last_stamps(path)
    reference = None
    for name in methods:
        stamps, values, contiguous = method_result(name, path, scratch)
        where = f"{LABELS[name]} on {path.name}"
        if stamps.dtype != np.dtype("datetime64[ms]") or stamps.shape != (rows,):
            raise Mismatch(f"{where}: timestamps {stamps.dtype} {stamps.shape}")
        if values.dtype != np.float32 or values.shape != (rows, 11) or not contiguous:
            raise Mismatch(f"{where}: values {values.dtype} {values.shape} C-contiguous={contiguous}")
        ints = stamps.view(np.int64)
        bits = values.view(np.uint32)
        if (int(ints[0]), int(ints[-1])) != (first, last):
            raise Mismatch(
                f"{where}: first/last timestamps {ints[0]}, {ints[-1]}"
                f" differ from the calendar's {first}, {last}"
            )
        if reference is None:
            reference = (name, ints, bits)
            continue
        ref_name, ref_ints, ref_bits = reference
        bad = np.flatnonzero(ints != ref_ints)
        if bad.size:
            i = int(bad[0])
            raise Mismatch(
                f"{where}: {bad.size} timestamps differ from "
                f"{LABELS[ref_name]}; first at row {i}: "
                f"{ints[i]} != {ref_ints[i]}"
            )
        bad = np.flatnonzero((bits != ref_bits).ravel())
        if bad.size:
            r, c = divmod(int(bad[0]), 11)
            raise Mismatch(
                f"{where}: {bad.size} values differ from "
                f"{LABELS[ref_name]}; first at row {r} column {c}: "
                f"{values[r, c]!r} (0x{bits[r, c]:08x}) != "
                f"0x{ref_bits[r, c]:08x}"
            )
        del stamps, values, ints, bits


# ---------------------------------------------------------------- timing


def run_child(args: list[str]) -> dict:
    """One child of method args[0], run by that method's interpreter."""
    proc = subprocess.run(
        [interpreter(args[0]), str(HERE / "child.py"), *args], capture_output=True, text=True, env=CHILD_ENV
    )
    if proc.returncode != 0:
        raise RuntimeError(
            f"child {' '.join(args)} failed with exit status {proc.returncode}:\n{proc.stderr[-2000:]}"
        )
    return json.loads(proc.stdout.strip().splitlines()[-1])


def baselines(methods: list[str], samples: int) -> dict[str, int]:
    """Peak RSS of a process that only imports what the method needs."""
    return {
        m: int(statistics.median(run_child([m, "--baseline"])["peak_rss"] for _ in range(samples)))
        for m in methods
    }


def time_size(path: Path, rows: int, methods: list[str], rounds: int) -> dict:
    calls, warmup = calls_for(rows)
    samples = {m: [] for m in methods}
    rss = {m: [] for m in methods}
    for r in range(rounds):
        for m in methods:
            out = run_child([m, str(path), str(calls), str(warmup)])
            samples[m].append(out["seconds"])
            rss[m].append(out["peak_rss"])
        print(
            f"  round {r + 1}/{rounds}: " + "  ".join(f"{m} {samples[m][-1] * 1e3:.3g} ms" for m in methods),
            flush=True,
        )
    return {"calls_per_sample": calls, "warmup_calls": warmup, "seconds": samples, "peak_rss": rss}


def summarise(result: dict, rows: int, size: int, base: dict) -> dict:
    methods = list(result["seconds"])
    stats = {}
    for m in methods:
        s = result["seconds"][m]
        med = statistics.median(s)
        stats[m] = {
            "median_s": med,
            "min_s": min(s),
            "max_s": max(s),
            "mb_per_s": size / med / 1e6,
            "ns_per_row": med / rows * 1e9,
            "peak_rss": max(result["peak_rss"][m]),
            "baseline_rss": base[m],
        }
    # Ratios of one method's time to another's, sample by sample within
    # the same round, so drifts of the machine between rounds cancel.
    ratios = {}
    for a in methods:
        for b in methods:
            if a == b:
                continue
            per_round = [x / y for x, y in zip(result["seconds"][a], result["seconds"][b], strict=True)]
            ratios[f"{a}/{b}"] = {
                "median": statistics.median(per_round),
                "min": min(per_round),
                "max": max(per_round),
            }
    return {"stats": stats, "ratios": ratios}


# ---------------------------------------------------------------- report


def fmt_time(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} us"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.3f} s"


def print_table(rows: int, size: int, entry: dict, values: str = "fixed") -> None:
    stats, ratios = entry["summary"]["stats"], entry["summary"]["ratios"]
    calls = entry["timing"]["calls_per_sample"]
    per = f", per call over {calls} calls" if calls > 1 else ""
    print(
        f"\n{rows:,} row{'s' if rows != 1 else ''}"
        f"{', values in exponent form' if values == 'exp' else ''}, {size / 1e6:.3f} MB, "
        f"{len(next(iter(entry['timing']['seconds'].values())))} rounds{per}"
    )
    head = (
        f"  {'method':<24} {'median':>10} {'min - max':>23} {'MB/s':>8} "
        f"{'ns/row':>9} {'x naive':>16} {'peak RSS MB':>12} {'-base':>8}"
    )
    print(head)
    print("  " + "-" * (len(head) - 2))
    for m, st in stats.items():
        key = f"{m}/{REFERENCE}"
        rel = (
            f"{ratios[key]['median']:.3f} ({ratios[key]['min']:.2f}-{ratios[key]['max']:.2f})"
            if key in ratios
            else "1"
        )
        print(
            f"  {LABELS[m]:<24} {fmt_time(st['median_s']):>10} "
            f"{fmt_time(st['min_s']) + ' - ' + fmt_time(st['max_s']):>23} "
            f"{st['mb_per_s']:>8.1f} {st['ns_per_row']:>9.1f} {rel:>16} "
            f"{st['peak_rss'] / 1e6:>12.1f} "
            f"{(st['peak_rss'] - st['baseline_rss']) / 1e6:>8.1f}"
        )
    if SUBJECT in stats:
        peers = [m for m in stats if m != SUBJECT]
        print(
            "  quillrow time / peer time, within rounds (median, min-max): "
            + "; ".join(
                f"{m} {ratios[f'{SUBJECT}/{m}']['median']:.3f} "
                f"({ratios[f'{SUBJECT}/{m}']['min']:.3f}-"
                f"{ratios[f'{SUBJECT}/{m}']['max']:.3f})"
                for m in peers
            )
        )


def goals(results: dict) -> list[dict]:
    """The benchmark's targets, each PASS, MISS or n/a with the measured value.

    The ratio goals are checked for each build of quillrow that was run.
    """
    out = []

    def entry(key, build=SUBJECT):
        e = results.get(str(key))
        return e if e and build in e["summary"]["stats"] else None

    builds = [b for b in BUILDS if any(entry(k, b) for k in results)] or [SUBJECT]
    for key, peer, limit, label in RATIO_GOALS:
        for build in builds:
            shown = label if build == SUBJECT else f"{label} (release wheel)"
            e = entry(key, build)
            ratio = f"{build}/{peer}"
            if not e or ratio not in e["summary"]["ratios"]:
                out.append({"goal": shown, "build": build, "status": "n/a", "detail": "not measured"})
                continue
            r = e["summary"]["ratios"][ratio]["median"]
            out.append(
                {
                    "goal": shown,
                    "build": build,
                    "size": key,
                    "peer": peer,
                    "status": "PASS" if r <= limit else "MISS",
                    "measured": r,
                    "limit": limit,
                    "detail": f"ratio {r:.3f} (limit {limit:.3f}; {1 / r:.2f}x faster)",
                }
            )

    small, big = entry(SCALING_SIZE), entry(GOAL_SIZE)
    label = "linear scaling: ns/row at 100k and 2M within 15%"
    if small and big:
        a = small["summary"]["stats"][SUBJECT]["ns_per_row"]
        b = big["summary"]["stats"][SUBJECT]["ns_per_row"]
        spread = abs(a - b) / min(a, b)
        out.append(
            {
                "goal": label,
                "status": "PASS" if spread <= 0.15 else "MISS",
                "measured": spread,
                "limit": 0.15,
                "detail": f"{a:.1f} vs {b:.1f} ns/row, differ by {spread * 100:.1f}%",
            }
        )
    else:
        out.append({"goal": label, "status": "n/a", "detail": "not measured"})

    label = "memory: peak RSS <= file + 1.1 x result + baseline (2M rows)"
    if big:
        st = big["summary"]["stats"][SUBJECT]
        file_bytes = big["file_bytes"]
        result_bytes = GOAL_SIZE * (8 + 11 * 4)
        limit = file_bytes + 1.1 * result_bytes + st["baseline_rss"]
        peak = st["peak_rss"]
        out.append(
            {
                "goal": label,
                "status": "PASS" if peak <= limit else "MISS",
                "measured": peak,
                "limit": limit,
                "detail": f"peak {peak / 1e6:.1f} MB vs limit {limit / 1e6:.1f}"
                f" MB = file {file_bytes / 1e6:.1f} + 1.1 x result "
                f"{result_bytes / 1e6:.1f} + baseline "
                f"{st['baseline_rss'] / 1e6:.1f}",
            }
        )
    else:
        out.append({"goal": label, "status": "n/a", "detail": "not measured"})
    return out


def print_one_row_call(results: dict) -> None:
    """The one-row file's per-call time of each build against numpy.loadtxt's."""
    e = results.get(str(SMALL_SIZE))
    if not e:
        return
    stats, ratios = e["summary"]["stats"], e["summary"]["ratios"]
    calls = e["timing"]["calls_per_sample"]
    print(
        f"\nOne-row file, per call over {calls} calls in one process"
        " (goal: quillrow <= 1/10 of numpy.loadtxt)"
    )
    for build in BUILDS:
        key = f"{build}/loadtxt"
        if build not in stats or key not in ratios:
            continue
        r = ratios[key]
        print(
            f"  {LABELS[build]:<26} {fmt_time(stats[build]['median_s']):>9} per call, numpy.loadtxt "
            f"{fmt_time(stats['loadtxt']['median_s'])}: ratio {r['median']:.3f} "
            f"({r['min']:.3f}-{r['max']:.3f}) = 1/{1 / r['median']:.1f}, "
            f"{'PASS' if r['median'] <= 1 / 10 else 'MISS'} (goal <= 0.100)"
        )


def print_builds_table(results: dict, shapes: list[tuple[int, str]]) -> None:
    """Both builds side by side, one line per file, with the goals that apply."""
    present = [b for b in BUILDS if any(b in e["summary"]["stats"] for e in results.values())]
    if not present:
        return
    print("\nBoth builds: median time; ratios are medians of within-round ratios")
    head = f"  {'file':<22}"
    for b in present:
        name = "g++" if b == SUBJECT else "wheel"
        head += f" {name + ' time':>11} {name + '/naive':>11} {name + '/pandas':>12} {name + '/loadtxt':>13}"
    head += "  goals"
    print(head)
    print("  " + "-" * (len(head) - 2))
    for n, values in shapes:
        key = size_key(n, values)
        e = results[key]
        stats, ratios = e["summary"]["stats"], e["summary"]["ratios"]
        label = f"{n:,} row{'s' if n != 1 else ''}" + (", exp form" if values == "exp" else "")
        line = f"  {label:<22}"
        for b in present:
            t = fmt_time(stats[b]["median_s"]) if b in stats else "-"
            cells = []
            for peer in ("naive", "pandas", "loadtxt"):
                r = ratios.get(f"{b}/{peer}")
                cells.append(f"{r['median']:.3f}" if r else "-")
            line += f" {t:>11} {cells[0]:>11} {cells[1]:>12} {cells[2]:>13}"
        wanted = []
        for goal_key, peer, limit, _ in RATIO_GOALS:
            if goal_key != key:
                continue
            verdicts = []
            for b in present:
                r = ratios.get(f"{b}/{peer}")
                if r:
                    verdicts.append(
                        ("PASS" if r["median"] <= limit else "MISS") + (" g++" if b == SUBJECT else " wheel")
                    )
            limit_text = f"1/{round(1 / limit)}" if limit < 0.2 else f"{limit:.2f}x"
            wanted.append(f"{peer} <= {limit_text}: " + (", ".join(verdicts) or "n/a"))
        line += "  " + ("; ".join(wanted) or "-")
        print(line)


def plot(results: dict, methods: list[str], png: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Fixed-decimal sizes first, then the exponent-form ones; the right
    # panel draws each shape as its own line.
    keys = sorted(results, key=lambda k: (results[k].get("values", "fixed") != "fixed", results[k]["rows"]))
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.2))
    width = 0.8 / len(methods)
    for i, m in enumerate(methods):
        mbs = [results[k]["summary"]["stats"][m]["mb_per_s"] for k in keys]
        left.bar(
            [x + (i - (len(methods) - 1) / 2) * width for x in range(len(keys))], mbs, width, label=LABELS[m]
        )
        for values, style in (("fixed", "o-"), ("exp", "s--")):
            shape = [k for k in keys if results[k].get("values", "fixed") == values]
            if not shape:
                continue
            ns = [results[k]["summary"]["stats"][m]["ns_per_row"] for k in shape]
            mb = [results[k]["file_bytes"] / 1e6 for k in shape]
            color = f"C{i}"
            label = LABELS[m] if values == "fixed" else None
            right.plot(mb, ns, style, color=color, label=label)
    left.set_xticks(
        range(len(keys)),
        [
            f"{results[k]['rows']:,} row{'s' if results[k]['rows'] != 1 else ''}"
            + ("\nexponent form" if results[k].get("values", "fixed") == "exp" else "")
            for k in keys
        ],
        fontsize=8,
    )
    left.set_yscale("log")
    left.set_ylabel("throughput, MB/s (median)")
    left.set_title("Throughput per method and file size")
    left.grid(axis="y", which="both", alpha=0.3)
    right.set_xscale("log")
    right.set_yscale("log")
    right.set_xlabel("file size, MB")
    right.set_ylabel("time per row, ns (median)")
    right.set_title("Time per row against file size (dashed: exponent form)")
    right.grid(which="both", alpha=0.3)
    handles, labels = right.get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(methods), fontsize=9, frameon=False)
    fig.tight_layout(rect=(0, 0.06, 1, 1))
    fig.savefig(png, dpi=110)
    plt.close(fig)


def machine() -> dict:
    info = {"python": platform.python_version(), "kernel": platform.release(), "cores": os.cpu_count()}
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                info["cpu"] = line.split(":", 1)[1].strip()
    except OSError:
        pass
    from importlib import metadata

    versions = {}
    for dist in ("numpy", "pandas", "quillrow"):
        try:
            versions[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[dist] = None
    info["versions"] = versions
    return info


# The harness's command line, read top to bottom: each option, its default and
# its check in one flat list, longer than ruff's size rules allow.
def main(argv=None) -> int:  # noqa: PLR0912, PLR0915
    parser = argparse.ArgumentParser()
    parser.add_argument("--smoke", action="store_true", help="small sizes, two rounds: checks the harness")
    parser.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")])
    parser.add_argument(
        "--exp-sizes",
        type=lambda s: [int(x) for x in s.split(",") if x],
        help="sizes of the exponent-form files (default 1,000,000; none with --sizes; '' for none)",
    )
    parser.add_argument("--rounds", type=int, help="rounds for every size")
    parser.add_argument(
        "--methods",
        help="comma-separated subset of " + ",".join(LOADERS) + " (default: all; with --wheel-python,"
        " quillrow brings wheel along)",
    )
    parser.add_argument(
        "--wheel-python",
        type=Path,
        help="Python of a venv where the release wheel is installed: adds the method 'wheel'",
    )
    parser.add_argument("--out", type=Path, default=HERE / "out")
    args = parser.parse_args(argv)

    default_methods = [m for m in LOADERS if m != WHEEL or args.wheel_python]
    asked = args.methods.split(",") if args.methods else default_methods
    if args.wheel_python and SUBJECT in asked and WHEEL not in asked:
        asked.append(WHEEL)  # "quillrow" means both builds when the wheel is there
    methods = [m for m in LOADERS if m in asked]
    unknown = set(asked) - set(LOADERS)
    if unknown:
        parser.error(f"unknown methods: {', '.join(sorted(unknown))}")
    if WHEEL in methods:
        if not args.wheel_python:
            parser.error("the method 'wheel' needs --wheel-python")
        INTERPRETERS[WHEEL] = str(args.wheel_python)
    sizes = args.sizes or (SMOKE_SIZES if args.smoke else FULL_SIZES)
    exp_sizes = args.exp_sizes
    if exp_sizes is None:
        exp_sizes = [] if args.sizes else (SMOKE_EXP_SIZES if args.smoke else FULL_EXP_SIZES)
    shapes = [(n, "fixed") for n in sizes] + [(n, "exp") for n in exp_sizes]
    out_dir = args.out / "smoke" if args.smoke else args.out
    out_dir.mkdir(parents=True, exist_ok=True)
    for m in methods:  # fail early, before anything is generated or timed
        try:
            run_child([m, "--baseline"])
        except RuntimeError as e:
            print(f"method {m} cannot be loaded: {e}\n(leave it out with --methods)", file=sys.stderr)
            return 2

    info = machine()
    print(
        f"machine: {info.get('cpu', '?')}, {info['cores']} cores, "
        f"Python {info['python']}, " + ", ".join(f"{k} {v}" for k, v in info["versions"].items() if v)
    )
    files = {(n, values): data_file(n, args.out / "data", values) for n, values in shapes}

    print("checking that every method returns the same bits ...", flush=True)
    for (n, _), path in files.items():
        warm_page_cache(path)
        try:
            check_methods(path, n, methods, out_dir)
        except Mismatch as e:
            print(f"MISMATCH: {e}", file=sys.stderr)
            return 1
    print(f"  identical: {', '.join(methods)} on {len(files)} files")

    base = baselines(methods, samples=1 if args.smoke else 3)
    results = {}
    for (n, values), path in files.items():
        warm_page_cache(path)
        rounds = args.rounds or rounds_for(n, args.smoke)
        print(f"timing {n:,} rows{' (exponent form)' if values == 'exp' else ''} ...", flush=True)
        timing = time_size(path, n, methods, rounds)
        size = path.stat().st_size
        results[size_key(n, values)] = {
            "rows": n,
            "values": values,
            "file": str(path.relative_to(ROOT)),
            "file_bytes": size,
            "timing": timing,
            "summary": summarise(timing, n, size, base),
        }

    print(f"\nResults ({info.get('cpu', '?')}, {info['cores']} cores)")
    for n, values in shapes:
        e = results[size_key(n, values)]
        print_table(n, e["file_bytes"], e, values)

    print_one_row_call(results)
    print_builds_table(results, shapes)
    goal_list = goals(results)
    print("\nGoals")
    for g in goal_list:
        print(f"  {g['status']:<5} {g['goal']}: {g['detail']}")

    report = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "machine": info,
        "seed": SEED,
        "smoke": args.smoke,
        "methods": methods,
        "labels": LABELS,
        "baseline_rss": base,
        "sizes": results,
        "goals": goal_list,
    }
    (out_dir / "results.json").write_text(json.dumps(report, indent=1))
    plot(results, methods, out_dir / "throughput.png")
    if (
        not args.smoke
        and sizes == FULL_SIZES
        and exp_sizes == FULL_EXP_SIZES
        and set(methods) >= set(default_methods)
    ):
        # the copy that the README shows
        (HERE / "throughput.png").write_bytes((out_dir / "throughput.png").read_bytes())
    print(
        f"\nwrote {(out_dir / 'results.json').relative_to(ROOT)} and "
        f"{(out_dir / 'throughput.png').relative_to(ROOT)}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
