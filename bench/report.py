#!/usr/bin/env python3
"""Prints the Markdown tables of a scripts/bench run from its raw results:
the Google Benchmark JSON files, callgrind.json (+ the callgrind output
files) and heap_check.txt, all in the folder given as the only argument.
Every figure printed is read from those files; ratios are computed here."""

import json
import os
import re
import subprocess
import sys

BLOCK_DEADLINE_US = 256 / 48000 * 1e6


def load(folder, name):
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def aggregates(doc, statistic):
    """run_name -> entry for one aggregate (median, max, ...)."""
    out = {}
    if doc is None:
        return out
    for b in doc.get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == statistic:
            out[b["run_name"]] = b
        elif b.get("run_type") == "iteration" and statistic == "median" and b["run_name"] not in out:
            out[b["run_name"]] = b  # a single repetition has no aggregates
    return out


def errors(doc):
    if doc is None:
        return []
    return [b["name"] + ": " + b.get("error_message", "") for b in doc.get("benchmarks", []) if b.get("error_occurred")]


def fmt(v, digits=3):
    if v is None:
        return "-"
    if abs(v) >= 100:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.{digits}g}" if abs(v) < 1 else f"{v:.2f}"


def yes(ok):
    return "yes" if ok else "**no**"


verdicts = []


def verdict(name, ok, detail):
    verdicts.append((name, ok, detail))


def glue(folder):
    docs = [load(folder, os.path.splitext(f)[0]) for f in sorted(os.listdir(folder))
            if re.match(r"^glue_bench(\.\d+)?\.json$", f)]
    per_process = [(aggregates(d, "median"), aggregates(d, "min"), aggregates(d, "max")) for d in docs]
    per_process = [p for p in per_process if p[0]]
    if not per_process:
        return
    def middle(values):
        values = sorted(values)
        n = len(values)
        return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2

    med, lo, hi = {}, {}, {}
    for name in per_process[0][0]:
        rows = [p[0][name] for p in per_process if name in p[0]]
        pick = dict(rows[0])
        for key in ("node_ns", "floor_ns", "ratio", "ratio_mean"):
            pick[key] = middle(r[key] for r in rows)
        pick["process_ratios"] = [r["ratio"] for r in rows]
        med[name] = pick
        mins = [p[1][name]["ratio"] for p in per_process if name in p[1]]
        maxs = [p[2][name]["ratio"] for p in per_process if name in p[2]]
        if mins and maxs:
            lo[name], hi[name] = {"ratio": min(mins)}, {"ratio": max(maxs)}
    print("### 1. Glue cost per block (no voice loaded)\n")
    print("`VoicemodNode::process` on a host bus against the floor: `memcpy` of the block plus a direct")
    print("`vcmdProcessBuffer`/`vcmdProcessStereoBuffer` call. Node and floor batches alternate within every")
    print("repetition. Per repetition: ns/block of the fastest node batch and the fastest floor batch, their")
    print("ratio, and the ratio of all node time to all floor time. Each process takes the median over its")
    print(f"repetitions; the table shows the median over {len(per_process)} separate process(es), each process's")
    print("ratio, and the smallest and largest ratio of any repetition.\n")
    print("| channels | frames | node ns/block | floor ns/block | node / floor (fastest) | per process "
          "| range over repetitions | node / floor (all) | target (≤ 1.05 from 256 frames) |")
    print("|---:|---:|---:|---:|---:|---|---|---:|---|")
    worst_big = None
    for name, b in sorted(med.items(), key=lambda kv: (kv[1]["channels"], kv[1]["frames"])):
        frames, ch, ratio = int(b["frames"]), int(b["channels"]), b["ratio"]
        target = "-"
        if frames >= 256:
            target = yes(ratio <= 1.05)
            worst_big = ratio if worst_big is None else max(worst_big, ratio)
        span = "-"
        if name in lo and name in hi:
            span = f"{lo[name]['ratio']:.3f} – {hi[name]['ratio']:.3f}"
        procs = ", ".join(f"{r:.3f}" for r in b["process_ratios"])
        print(f"| {ch} | {frames} | {fmt(b['node_ns'])} | {fmt(b['floor_ns'])} | {ratio:.3f} | {procs} | {span} | "
              f"{b.get('ratio_mean', float('nan')):.3f} | {target} |")
    if worst_big is not None:
        verdict("glue time ratio ≤ 1.05 at ≥ 256 frames", worst_big <= 1.05, f"largest median ratio {worst_big:.3f}")
    print()


def callgrind_breakdown(folder, file):
    """function -> Ir from callgrind_annotate (self cost per function)."""
    try:
        text = subprocess.run(["callgrind_annotate", os.path.join(folder, file)], capture_output=True,
                              text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return {}
    out = {}
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+) \([^)]*\)\s+(.*?)(?: \[(.*)\])?$", line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        loc = m.group(2)
        fm = re.match(r"^(\?\?\?|[^:]*):(.*)$", loc)
        func = fm.group(2) if fm else loc
        func = re.sub(r"\(.*\)$", "", func)
        out[func] = out.get(func, 0) + int(m.group(1).replace(",", ""))
    return out


def callgrind(folder):
    path = os.path.join(folder, "callgrind.json")
    if not os.path.exists(path):
        return
    with open(path) as f:
        runs = json.load(f)
    shapes = {}
    for r in runs:
        shapes.setdefault((r["frames"], r["channels"]), {})[r["which"]] = r
    print("### 1b. Instructions per block (callgrind)\n")
    print("| frames | channels | node Ir/block | floor Ir/block | node − floor | node / floor |")
    print("|---:|---:|---:|---:|---:|---:|")
    for (frames, ch), pair in shapes.items():
        if "node" not in pair or "floor" not in pair:
            continue
        n = pair["node"]["ir"] / pair["node"]["blocks"]
        fl = pair["floor"]["ir"] / pair["floor"]["blocks"]
        print(f"| {frames} | {ch} | {n:,.0f} | {fl:,.0f} | {n - fl:,.0f} | {n / fl:.3f} |")
        if (frames, ch) == (256, 2):
            verdict("callgrind Ir ratio at 256 frames stereo ≤ 1.05", n / fl <= 1.05, f"{n / fl:.3f}")
    print()
    for (frames, ch), pair in shapes.items():
        if "node" not in pair or "floor" not in pair:
            continue
        node_fn = callgrind_breakdown(folder, pair["node"]["file"])
        floor_fn = callgrind_breakdown(folder, pair["floor"]["file"])
        if not node_fn:
            continue
        blocks = pair["node"]["blocks"]
        print(f"Where the instructions go, {frames} frames × {ch} channel(s), Ir per block (self cost):\n")
        print("| function | node | floor |")
        print("|---|---:|---:|")
        for func in sorted(set(node_fn) | set(floor_fn), key=lambda k: -(node_fn.get(k, 0) + floor_fn.get(k, 0))):
            a, b = node_fn.get(func, 0) / blocks, floor_fn.get(func, 0) / blocks
            if a < 0.5 and b < 0.5:
                continue
            print(f"| `{func}` | {a:,.0f} | {b:,.0f} |")
        print()


def voices(folder):
    doc = load(folder, "voices_bench")
    med, mx = aggregates(doc, "median"), aggregates(doc, "max")
    if not med:
        return
    print("### 2. Each bundled voice, 256-frame blocks of 48 kHz stereo\n")
    print("RT factor = seconds of audio per second of CPU time, median of the repetitions (`BM_Voice`).")
    print("Deadline columns (`BM_Deadline`): per repetition 3 identical runs of 2000 blocks from a freshly loaded,")
    print("warmed-up voice, every block timed; *worst* = slowest block of all runs and repetitions; *repeatable*")
    print("= slowest block index taking each index at its fastest of the 3 runs (work the voice does every time;")
    print(f"a block slow in one run only was something else on the machine). Deadline {BLOCK_DEADLINE_US / 1000:.2f} ms.")
    print("Switched out = most involuntary context switches of the thread during one repetition's timed blocks.")
    print("Heap blocks = blocks taken by all timed `process` calls of both.\n")
    deadline = {n.replace("BM_Deadline/", "").replace("/iterations:1", ""): b
                for n, b in mx.items() if n.startswith("BM_Deadline/")}
    realtime = [b.get("realtime", 0) for b in deadline.values()]
    print("Deadline runs at SCHED_FIFO priority (as an audio thread runs): " +
          ("yes" if realtime and min(realtime) >= 1 else "no" if max(realtime, default=0) == 0 else "some") + ".\n")
    print("| voice | background | RT factor | worst block µs | % of deadline | repeatable worst µs | % of deadline "
          "| p99.9 block µs | switched out | heap blocks | ≥ 100x | worst ≤ 10 % | repeatable ≤ 10 % |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---|")
    min_rt, max_pct, max_rep, heap = None, None, None, 0
    rows = [(n[len("BM_Voice/"):], b) for n, b in med.items() if n.startswith("BM_Voice/")]
    rows.sort(key=lambda r: (not r[0].startswith("(no voice)"), r[0]))
    for key, b in rows:
        voice, bg = key.rsplit("/", 1)[0], key.endswith("bg:1")
        d = deadline.get(key, {})
        rt = b["rt_factor"]
        pct, rep = d.get("worst_pct_deadline"), d.get("repeatable_worst_pct_deadline")
        heap_blocks = int(mx.get("BM_Voice/" + key, b).get("heap_blocks", 0)) + int(d.get("heap_blocks", 0))
        heap += heap_blocks
        real_voice = voice != "(no voice)"
        if real_voice:
            min_rt = rt if min_rt is None else min(min_rt, rt)
            if pct is not None:
                max_pct = pct if max_pct is None else max(max_pct, pct)
                max_rep = rep if max_rep is None else max(max_rep, rep)
        judge = (lambda v: yes(v is not None and v <= 10)) if real_voice else (lambda v: "-")
        print(f"| {voice} | {'on' if bg else 'off'} | {rt:,.0f}x | {fmt(d.get('worst_block_us'))} | "
              f"{fmt(pct)} % | {fmt(d.get('repeatable_worst_block_us'))} | {fmt(rep)} % | "
              f"{fmt(d.get('p999_block_us'))} | {fmt(d.get('switches'))} | {heap_blocks} | {yes(rt >= 100) if real_voice else '-'} | "
              f"{judge(pct)} | {judge(rep)} |")
    if min_rt is not None:
        verdict("every voice ≥ 100x real time", min_rt >= 100, f"slowest median {min_rt:,.0f}x")
    if max_pct is not None:
        verdict("no block over 10 % of its deadline after warm-up: every block as measured here", max_pct <= 10,
                f"worst {max_pct:.2f} %")
        verdict("no block over 10 % of its deadline after warm-up: the voices' repeatable work", max_rep <= 10,
                f"worst {max_rep:.2f} %")
    verdict("process takes no heap block after warm-up (voices benchmark)", heap == 0, f"{heap} blocks")
    print()


def scaling(folder, name="scaling_bench", title="### 3. Bring-up and catalogue as content grows\n", judge=True):
    doc = load(folder, name)
    med = aggregates(doc, "median")
    if not med:
        return
    print(title)
    print("| operation | items | median time | per item | per item / smallest size's | minor page faults per call |")
    print("|---|---:|---:|---:|---:|---:|")
    for op, label, unit in (("BM_Initialize", "`initialize` (packages)", "package"),
                            ("BM_ListVoices", "`listVoices` (voices)", "voice")):
        rows = sorted((b for n, b in med.items() if n.startswith(op + "/")), key=lambda b: b["items"])
        if not rows:
            continue
        base = rows[0]["per_item_us"]
        per = [r["per_item_us"] for r in rows]
        for r in rows:
            t = r["real_time"]
            u = r["time_unit"]
            print(f"| {label} | {int(r['items'])} | {fmt(t)} {u} | {fmt(r['per_item_us'])} µs/{unit} | "
                  f"{r['per_item_us'] / base:.2f} | {fmt(r.get('faults_per_call'))} |")
        spread = max(per) / min(per)
        if judge:
            verdict(f"{op[3:]} per-{unit} cost flat (within 2x)", spread <= 2.0,
                f"largest/smallest per-{unit} cost {spread:.2f}")
    print()


def memory(folder):
    doc = load(folder, "memory_bench")
    med = aggregates(doc, "median")
    if not med:
        return
    print("### 4. Memory\n")
    print("Each figure measured in a child process of its own, as deltas over the child's baseline: VmRSS;")
    print("RssAnon, its part not backed by files (VmRSS also counts library code pages touched for the first")
    print("time); and the C heap in use (mallinfo2). Medians of the repetitions.\n")
    print("| what | VmRSS delta KiB | RssAnon delta KiB | heap delta KiB |")
    print("|---|---:|---:|---:|")
    for name, b in med.items():
        name = name.replace("/iterations:1", "")
        what = name.replace("BM_BringUpMemory/bundled", "bring-up, bundled voices")
        what = what.replace("BM_BringUpMemory/generated:1000", "bring-up, 1000 generated voices")
        what = re.sub(r"^BM_VoiceMemory/(.*)$", r"voice \1 loaded and run 1 s (over bring-up)", what)
        print(f"| {what} | {b['rss_kib']:,.0f} | {fmt(b.get('anon_kib'))} | {b['heap_kib']:,.0f} |")
    print()


def heap_check(folder):
    path = os.path.join(folder, "heap_check.txt")
    if not os.path.exists(path):
        return
    with open(path) as f:
        lines = f.read().splitlines()
    summary = next((l for l in reversed(lines) if re.match(r"^\d+ passed, \d+ failed$", l)), None)
    failed = [l for l in lines if l.startswith("FAIL")]
    print(f"Heap check (`heap_check`: every voice, mono and stereo, background on and off, switch ramps and")
    print(f"voice hand-overs): {summary or 'no summary line'}.")
    for l in failed:
        print(f"- {l}")
    print()
    ok = summary is not None and not failed
    verdict("process takes no heap block (heap_check)", ok, summary or "did not finish")


def others(folder):
    known = {"glue_bench", "voices_bench", "scaling_bench", "memory_bench", "scaling_bench_notrim"}
    for file in sorted(os.listdir(folder)):
        name, ext = os.path.splitext(file)
        if ext != ".json" or name in known or name == "callgrind" or name.startswith("glue_bench"):
            continue
        doc = load(folder, name)
        med = aggregates(doc, "median")
        if not med:
            continue
        print(f"### {name}\n")
        counters = sorted({k for b in med.values() for k in b
                           if isinstance(b[k], (int, float)) and k not in {
                               "real_time", "cpu_time", "iterations", "repetitions", "repetition_index",
                               "threads", "family_index", "per_family_instance_index"}})
        print("| benchmark | median time | CPU | " + " | ".join(counters) + " |")
        print("|---|---:|---:|" + "---:|" * len(counters))
        for n, b in med.items():
            cells = " | ".join(fmt(b.get(c)) for c in counters)
            print(f"| {n} | {fmt(b['real_time'])} {b['time_unit']} | {fmt(b['cpu_time'])} {b['time_unit']} | {cells} |")
        print()


def formants(folder):
    """Formants kept while the pitch moves: ours against Rubber Band, from
    pitch_bench (the same run, side by side)."""
    med = aggregates(load(folder, "pitch_bench"), "median")
    if not any(n.startswith("BM_OursFormantsKept") for n in med):
        return
    print("### Formants kept while the pitch moves: ours against Rubber Band\n")
    print("48 kHz stereo, 256-frame blocks (`pitch_bench`); latency as each states it; speed ratio against")
    print("Rubber Band R3 at the same shift. The shifter alone is the ceiling of that ratio: the formant")
    print("stage can only add to its time.\n")
    print("| shifter | shift | × real time | latency | × Rubber Band R3's speed |")
    print("|---|---:|---:|---:|---:|")
    worst = None
    for st in ("-7", "7"):
        r3 = med.get(f"BM_RubberBandR3Formants/{st}")
        for label, name in (("ours, formants kept", "BM_OursFormantsKept"),
                            ("ours, shifter alone (formants move with the pitch)", "BM_OursRealTime"),
                            ("Rubber Band R3 (finer), formants preserved", "BM_RubberBandR3Formants"),
                            ("Rubber Band R2 (faster), formants preserved", "BM_RubberBandR2Formants")):
            b = med.get(f"{name}/{st}")
            if b is None:
                continue
            ratio = b["realtime_x"] / r3["realtime_x"] if r3 else None
            if name == "BM_OursFormantsKept" and ratio is not None:
                worst = ratio if worst is None else min(worst, ratio)
            print(f"| {label} | {int(st):+d} st | {fmt(b['realtime_x'])} | {b['latency_ms']:.1f} ms | "
                  f"{fmt(ratio) if ratio is not None else '-'} |")
    print()
    ours = [b["latency_ms"] for n, b in med.items() if n.startswith("BM_OursFormantsKept")]
    if ours:
        verdict("formants kept within 20 ms latency", max(ours) <= 20.0, f"{max(ours):.1f} ms")
    if worst is not None:
        verdict("formants kept at ≥ 50 × Rubber Band R3's speed", worst >= 50.0, f"smallest ratio {worst:.1f}")


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "build-bench/bench-results"
    for name in ("glue_bench", "voices_bench", "scaling_bench", "memory_bench"):
        for e in errors(load(folder, name)):
            print(f"- ERROR in {name}: {e}")
    glue(folder)
    callgrind(folder)
    voices(folder)
    heap_check(folder)
    scaling(folder)
    scaling(folder, "scaling_bench_notrim",
            "Same `listVoices` runs with glibc's `trim_threshold` and `mmap_threshold` raised to 1 GiB\n"
            "(`GLIBC_TUNABLES`), so the freed name buffers stay mapped between calls:\n", judge=False)
    memory(folder)
    formants(folder)
    others(folder)
    print("### Targets\n")
    print("| target | met | measured |")
    print("|---|---|---|")
    for name, ok, detail in verdicts:
        print(f"| {name} | {yes(ok)} | {detail} |")


if __name__ == "__main__":
    main()
