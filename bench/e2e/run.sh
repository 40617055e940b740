#!/usr/bin/env bash
# End-to-end benchmark of `cldb` on a generated tree, side by side in one
# run with what it is measured against: the first backup pass (every block
# a miss, written to pack files) against hashing alone (sha512sum over the
# same files in two processes) and `cp -r` of the tree to the same file
# system; the second pass (every block a hit) against hashing alone; a
# restore against `cp -r`; a verify against hashing alone; and the bytes the
# second pass adds to the store. `openssl dgst -sha512` shows the hashing
# cldb itself uses. Each run is timed by wall clock and by the processor
# time it used; the results are ratios.
#
# Every pass reads from the page cache: the tree is read once before the
# measurements (caches are not dropped, the machine may be shared), so the
# numbers compare hashing and the CLDB, not the disk. The tree must fit in
# free memory for that; the script warns when it does not.
#
# Usage: bench/e2e/run.sh [-s GiB] [-b block] [-r repeats] [-w workdir] [-c cldb] [-k]
#   -s  size of the tree in GiB (default 2; fractions such as 0.5 work)
#   -b  the backup's block size, as `cldb backup --block-size` takes it (default: its own)
#   -r  measure each pass this many times and keep the fastest (default 1)
#   -w  work folder (default: a new folder under /tmp, removed at the end)
#   -c  the cldb binary (default: build/default/tools/cldb of this repository)
#   -k  keep the work folder
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
size_gib=2
repeats=1
work=""
cldb="$repo/build/default/tools/cldb"
keep=0
block=""
while getopts "s:b:r:w:c:kh" opt; do
  case $opt in
    s) size_gib=$OPTARG ;;
    b) block=$OPTARG ;;
    r) repeats=$OPTARG ;;
    w) work=$OPTARG ;;
    c) cldb=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '2,20p' "$0"; exit 1 ;;
  esac
done
[ -x "$cldb" ] || { echo "run.sh: no cldb binary at $cldb (build it, or give -c)" >&2; exit 1; }
for tool in openssl sha512sum python3; do
  command -v $tool >/dev/null || { echo "run.sh: $tool is needed" >&2; exit 1; }
done

if [ -z "$work" ]; then work=$(mktemp -d /tmp/cldb-bench-e2e.XXXXXX); fi
mkdir -p "$work"
cleanup() { if [ "$keep" = 0 ]; then rm -rf "$work"; fi; }
trap cleanup EXIT
tree="$work/tree"

# ---- the tree: three quarters in 64 MiB files, a quarter in 1 MiB files ----
total=$(python3 -c "print(int(float('$size_gib') * 2**30))")
big=$((64 << 20)); small=$((1 << 20))
n_big=$((total * 3 / 4 / big)); n_small=$(((total - n_big * big) / small))
bytes=$((n_big * big + n_small * small))
# Pseudo-random data from AES-CTR: as incompressible as /dev/urandom, far faster.
# (openssl ends on SIGPIPE once head has its bytes.)
fill() {
  (openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass "pass:$1" </dev/zero 2>/dev/null || true) |
    head -c "$2" >"$3"
}
echo "generating $n_big x 64 MiB + $n_small x 1 MiB = $bytes bytes in $tree"
mkdir -p "$tree/big" "$tree/small"
for ((i = 0; i < n_big; i++)); do fill "big$i" $big "$tree/big/f$i"; done
for ((i = 0; i < n_small; i++)); do fill "small$i" $small "$tree/small/$((i % 16))-f$i"; done

available=$(awk '/MemAvailable/ {printf "%d", $2 * 1024}' /proc/meminfo)
if [ "$available" -lt $((bytes * 5 / 4)) ]; then
  echo "warning: the tree may not stay in the page cache ($available bytes available)" >&2
fi
cat "$tree"/big/* "$tree"/small/* >/dev/null   # warm-up: every pass reads from memory

echo "machine: $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
# The passes, timed by wall clock and by the processor time of everything
# they ran (load on a shared machine moves the first, hardly the second).
python3 - "$tree" "$work" "$cldb" "$bytes" "$repeats" "$block" <<'PY'
import json, os, resource, shutil, subprocess, sys, time
tree, work, cldb = sys.argv[1:4]
size, repeats = int(sys.argv[4]), int(sys.argv[5])
block = f" --block-size {sys.argv[6]}" if sys.argv[6] else ""
root = os.path.join(work, "root")
copy = os.path.join(work, "copy")
target = os.path.join(work, "restored")
files = f"find {tree} -type f -print0 | xargs -0 -n 16"

def cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime

def measure(command, before=None, ok=(0,)):
    """Fastest of `repeats` runs: (wall seconds, processor seconds)."""
    best = None
    for _ in range(repeats):
        if before:
            before()
        c0, t0 = cpu(), time.perf_counter()
        rc = subprocess.run(command, shell=True, stdout=subprocess.DEVNULL).returncode
        if rc not in ok:
            sys.exit(f"run.sh: '{command}' exited with {rc}")
        run = (time.perf_counter() - t0, cpu() - c0)
        best = run if best is None or run[0] < best[0] else best
    return best

def remove(path):
    """Removes what an earlier run left; the sync keeps the file system's
    work of freeing it (journal, discards) out of the next run's time."""
    def run():
        shutil.rmtree(path, ignore_errors=True)
        os.sync()
    return run

def store_bytes():
    """The storage side: its pack files and its database."""
    total = 0
    for folder, _, names in os.walk(os.path.join(root, "packs")):
        total += sum(os.path.getsize(os.path.join(folder, n)) for n in names)
    for name in os.listdir(root):
        if name.startswith("storage.sqlite"):
            total += os.path.getsize(os.path.join(root, name))
    return total

backup = f"{cldb} backup{block} --root {root} --json {tree} > {work}/pass%d.json"
rows = {}
rows["sha1"] = ("sha512sum, one process", measure(f"{files} sha512sum"))
rows["sha2"] = ("sha512sum, two processes (xargs -P2)", measure(f"{files} -P 2 sha512sum"))
rows["ossl"] = ("openssl dgst -sha512, two processes", measure(f"{files} -P 2 openssl dgst -sha512"))
rows["cp"] = ("cp -r to the same file system", measure(f"cp -r {tree} {copy}", remove(copy)))
rows["cpsync"] = ("cp -r, then sync", measure(f"cp -r {tree} {copy} && sync", remove(copy)))
rows["pass1"] = ("cldb backup, pass 1 (all misses)", measure(backup % 1, remove(root)))
after1 = store_bytes()
rows["pass2"] = ("cldb backup, pass 2 (all hits)", measure(backup % 2, lambda: time.sleep(1)))
after2 = store_bytes()
p1, p2 = (json.load(open(f"{work}/pass{i}.json")) for i in (1, 2))
job = p2["job_id"]
rows["restore"] = ("cldb restore (of pass 2)",
                   measure(f"{cldb} restore {job} --root {root} --to {target}", remove(target)))
rows["verify"] = ("cldb verify (of pass 2)", measure(f"{cldb} verify {job} --root {root}"))

mb = size / 1e6
rate = {key: mb / wall for key, (_, (wall, _)) in rows.items()}
print()
print(f"{'run':38} {'seconds':>8} {'MB/s':>7} {'cpu s':>6} {'MB/cpu-s':>9}")
for key, (name, (wall, proc)) in rows.items():
    print(f"{name:38} {wall:8.2f} {rate[key]:7.1f} {proc:6.2f} {mb / proc:9.1f}")
print()
print(f"pass 1: {p1['blocks']} blocks, {p1['misses']} misses, {p1['bytes_written']} bytes written; "
      f"pass 2: {p2['hits']} hits, {p2['misses']} misses; false hits {p1['false_hits']} + {p2['false_hits']}")
ok = (p1["misses"] == p1["blocks"] and p2["hits"] == p2["blocks"] and p2["bytes"] == size
      and p1["false_hits"] == 0 and p2["false_hits"] == 0)
restored = subprocess.run(["diff", "-r", tree, target + tree], stdout=subprocess.DEVNULL).returncode == 0
hashing = rate["sha2"]
checks = [
    ("pass 2 >= 80% of sha512sum -P2", rate["pass2"] / hashing, 0.8),
    ("pass 1 >= 70% of the slower of sha512sum -P2 and cp -r",
     rate["pass1"] / min(hashing, rate["cp"]), 0.7),
    ("restore >= 50% of cp -r", rate["restore"] / rate["cp"], 0.5),
    ("verify >= 80% of sha512sum -P2", rate["verify"] / hashing, 0.8),
]
hashing_cpu = rows["ossl"][1][1]  # openssl dgst -sha512, two processes: hashing alone
print(f"pass 2 processor time / hashing alone (openssl): {rows['pass2'][1][1] / hashing_cpu:.2f}x; "
      f"pass 1: {rows['pass1'][1][1] / hashing_cpu:.2f}x")
print(f"dedup results as expected: {'yes' if ok else 'NO'}; restored tree identical: "
      f"{'yes' if restored else 'NO'}")
for name, ratio, target_ratio in checks:
    print(f"{name}: {'yes' if ratio >= target_ratio else 'NO'} ({ratio:.0%})")
added = after2 - after1
print(f"store: {after1} bytes after pass 1, pass 2 added {added} bytes = "
      f"{added / size:.3%} of the tree (< 1%: {'yes' if added < size / 100 else 'NO'})")
sys.exit(0 if ok and restored else 1)
PY
