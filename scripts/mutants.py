#!/usr/bin/env python3
"""Mutation testing of the program's logic (core/, jobs/, ui/).

Each mutant is one small change to one line: a relational or logical
operator swapped, a negation dropped, a 0 or 1 turned into the other, a
boolean return flipped, + and - swapped, or a statement deleted. It is built
into the native test binary in a private copy of the sources and the tests
run fail-fast, those of the mutated file first. A mutant the tests fail on
(or that hangs past the time limit) is killed; one they pass survived; one
that does not build is not counted.

  python3 scripts/mutants.py                      every mutant
  python3 scripts/mutants.py --sample 100 --seed 7
  python3 scripts/mutants.py --changed main       lines changed since main
  python3 scripts/mutants.py --list               the mutants, none run

Mutants that change nothing observable are listed in scripts/mutants-kept.txt,
keyed by file, the line's text and the change, so that edits elsewhere keep
them; they are skipped. Where the same text has the same change on more than
one line of a file, the entry names the code line before it too, as
"BEFORE ⏎ TEXT"; a bare entry would keep them all, so it keeps none.
"""

import argparse
import os
import queue
import random
import re
import shutil
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEPT = os.path.join("scripts", "mutants-kept.txt")
WORK = os.path.join("build", "mutants")
# Between the line before and the line itself in a kept entry's text.
BEFORE = " \u23ce "

# The test suites that exercise a file most directly run first.
FIRST = {
    "core/boot_disk.cpp": "BootDiskTest.*:CommandsRamDisk.*",
    "core/disks.cpp": "DescriptorTest.*:InventoryTest.*:DiskListTest.*",
    "core/progress.cpp": "ProgressTest.*:WriteJob.*",
    "core/protection.cpp": "ProtectionTest.*:ReleaseFiles.*",
    "core/text.cpp": "FormatTextTest.*:TextHelpersTest.*",
    "jobs/volume_release.cpp": "VolumeRelease*:WipeJob*",
    "jobs/wipe_job.cpp": "WipeJob*",
    "jobs/write_image_job.cpp": "WriteJob*",
    "ui/commands.cpp": "Commands*",
    "ui/disk_list.cpp": "DiskListTest.*:Commands*",
    "ui/status.cpp": "Commands*:WriteJob*",
}
# Slow ones last. Of the machine's own tests only those that call the logic
# run at all: the others cannot tell one mutant from another.
LAST = ["FaultSweep.*", "Explorer.*"]
MACHINE_CALLING_LOGIC = "SimHostFiles.*:SimDevices.*"
# The files whose every mutant must be killed go first.
# The write job's file, the largest and slowest to test, comes last.
ORDER = ["jobs/volume_release.cpp", "jobs/wipe_job.cpp", "core/boot_disk.cpp",
         "core/disks.cpp", "core/protection.cpp", "core/progress.cpp", "core/text.cpp",
         "ui/commands.cpp", "ui/disk_list.cpp", "ui/status.cpp",
         "jobs/write_image_job.cpp"]
RESULTS = os.path.join(WORK, "last-run.txt")
MACHINE_ONLY = ("Sim*:Patterns.*:DiskContract*:FileContract.*:FatImage.*")


def logic_files():
    out = subprocess.run(["git", "ls-files", "core", "jobs", "ui"], cwd=ROOT,
                         capture_output=True, text=True, check=True).stdout
    return sorted(f for f in out.split()
                  if f.endswith(".cpp") and not re.search(r"_(win32|posix)\.cpp$", f))


# ---- finding mutants -------------------------------------------------------

def code_mask(lines):
    """Each line with comments, string and character literals blanked, and
    preprocessor lines blanked whole, so that only code is mutated."""
    masked = []
    in_block = False
    for line in lines:
        out = []
        i = 0
        if not in_block and line.lstrip().startswith("#"):
            masked.append(" " * len(line))
            continue
        while i < len(line):
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block = False
                    out.append("  ")
                    i += 2
                else:
                    out.append(" ")
                    i += 1
                continue
            if line.startswith("//", i):
                out.append(" " * (len(line) - i))
                break
            if line.startswith("/*", i):
                in_block = True
                out.append("  ")
                i += 2
                continue
            if c in "\"'":
                j = i + 1
                while j < len(line) and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                out.append(c + " " * (min(j, len(line)) - i - 1) + (c if j < len(line) else ""))
                i = j + 1
                continue
            out.append(c)
            i += 1
        masked.append("".join(out))
    return masked


TOKEN = re.compile(r"\d[\w.']*|[A-Za-z_]\w*|<<=|>>=|->|\+\+|--|&&|\|\||<=|>=|==|!=|"
                   r"<<|>>|\+=|-=|\S")
SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
         "&&": "||", "||": "&&", "+": "-", "-": "+"}
DECL_START = re.compile(r"^(const|constexpr|static|using|namespace|return|case|default|"
                        r"else|if|for|while|do|switch|template|typedef|struct|class|"
                        r"enum|auto|bool|int|char|wchar_t|double|float|unsigned|size_t|"
                        r"u?int\d+_t|std::\w+|public|private)\b")


def in_template_args(masked, start):
    """Whether the '<' or '>' at `start` looks like a template's bracket."""
    before = masked[:start].rstrip()
    after = masked[start + 1:].lstrip()
    if masked[start] == "<":
        return bool(re.search(r"(static_cast|reinterpret_cast|const_cast|"
                              r"numeric_limits|vector|array|unique_ptr|"
                              r"template|[A-Z]\w*)$", before)) and not before.endswith("<")
    return before.endswith(("_t", "char", "int", "bool", "wchar_t", "*")) or \
        bool(re.match(r"\(|::|>", after))


def line_mutants(masked):
    """(start, end, replacement, label) for each mutation of one line."""
    found = []
    tokens = [(m.start(), m.end(), m.group()) for m in TOKEN.finditer(masked)]
    seen = {}
    for k, (s, e, t) in enumerate(tokens):
        prev = tokens[k - 1][2] if k > 0 else ""
        nxt = tokens[k + 1][2] if k + 1 < len(tokens) else ""
        label = None
        if t in ("<", ">", "<=", ">=") and (in_template_args(masked, s) or
                                            masked.lstrip().startswith("template")):
            continue
        if t in ("+", "-"):
            # Binary only: after an operand.
            if not (re.match(r"[\w)\]]", prev[-1:] if prev else "")):
                continue
            if prev in ("return", "case"):
                continue
        if t in SWAPS:
            label = (t, SWAPS[t])
        elif t == "!" and nxt != "=":
            label = ("!", "")
        elif t in ("0", "1"):
            label = (t, "1" if t == "0" else "0")
        elif t in ("true", "false") and prev == "return":
            label = (t, "false" if t == "true" else "true")
        if label is None:
            continue
        n = seen.get(label, 0) + 1
        seen[label] = n
        desc = "'%s' -> '%s'" % label if label[1] else "'%s' dropped" % label[0]
        if n > 1:
            desc += " (#%d)" % n
        found.append((s, e, label[1], desc))
    # A whole statement on one line, that no declaration starts.
    text = masked.strip()
    if (text.endswith(";") and not DECL_START.match(text)
            and text.count("(") == text.count(")") and "{" not in text and "}" not in text
            and not re.match(r"^[\w:<>,*& ]+\s+[*&]?\w+(\[.*\])?\s*(=.*)?;$", text)
            and not re.match(r"^[\w:]+\s*[,)]", text)
            and re.match(r"^(\+\+|--|\*?[\w.\->\[\]]+\s*(\(|=|\+=|-=|\+\+|--)|break;|continue;)", text)):
        s = len(masked) - len(masked.lstrip())
        found.append((s, len(masked.rstrip()), ";", "statement deleted"))
    return found


def statement_span(masked, i):
    """The lines of a call or assignment that starts on line i and ends with
    ';' a few lines further, its parentheses open until then; else 0."""
    text = masked[i].strip()
    if not re.match(r"^\*?[\w.\->\[\]]+\s*(\(|=[^=])", text) or DECL_START.match(text):
        return 0
    if re.match(r"^[\w:<>,*& ]+\s+[*&]?\w+\s*(=|\()", text):
        return 0  # a declaration
    depth = 0
    for j in range(i, min(i + 5, len(masked))):
        t = masked[j]
        depth += t.count("(") - t.count(")")
        if "{" in t or "}" in t:
            return 0
        if depth == 0:
            return j - i + 1 if j > i and t.rstrip().endswith(";") else 0
    return 0


def all_mutants(files):
    mutants = []
    for f in files:
        with open(os.path.join(ROOT, f), encoding="utf-8") as fh:
            lines = fh.read().split("\n")
        masked = code_mask(lines)
        before = [""] * len(lines)
        last = ""
        for i, m in enumerate(masked):
            before[i] = last
            if m.strip():
                last = lines[i].strip()
        # The line before a statement that continues (unbalanced parentheses)
        # is not a whole statement; skip deletions there.
        for i, m in enumerate(masked):
            if not m.strip():
                continue
            span = statement_span(masked, i)
            if span:
                mutants.append({"file": f, "line": i + 1, "text": lines[i].strip(),
                                "before": before[i],
                                "change": "statement deleted (%d lines)" % span,
                                "new": ";" + "\n" * (span - 1), "span": span})
            for s, e, rep, desc in line_mutants(m):
                if desc == "statement deleted" and i > 0:
                    p = masked[i - 1].rstrip()
                    if p and p[-1] not in ";{}:" and not p.strip().startswith(("if", "else")):
                        continue
                new = lines[i][:s] + rep + lines[i][e:]
                mutants.append({"file": f, "line": i + 1, "text": lines[i].strip(),
                                "before": before[i], "change": desc, "new": new})
    return mutants


def load_kept():
    kept = {}
    path = os.path.join(ROOT, KEPT)
    if not os.path.exists(path):
        return kept
    with open(path, encoding="utf-8") as fh:
        for n, raw in enumerate(fh, 1):
            if not raw.strip() or raw.startswith("#"):
                continue
            parts = raw.rstrip("\n").split("\t")
            if len(parts) != 4 or not parts[3].strip():
                sys.exit("%s:%d: want file, line text, change, reason (tab-separated)" % (KEPT, n))
            kept[tuple(parts[:3])] = parts[3]
    return kept


def text_key(m):
    return (m["file"], m["text"], m["change"])


def context_key(m):
    return (m["file"], m["before"] + BEFORE + m["text"], m["change"])


def kept_key(m, kept, ambiguous):
    """The kept entry that covers m, if any. A bare entry covers m only when
    no other line of its file has the same text and change."""
    if context_key(m) in kept:
        return context_key(m)
    if text_key(m) in kept and text_key(m) not in ambiguous:
        return text_key(m)
    return None


def ambiguous_keys(mutants):
    lines = {}
    for m in mutants:
        lines.setdefault(text_key(m), set()).add(m["line"])
    return {k for k, v in lines.items() if len(v) > 1}


def changed_lines(base):
    out = subprocess.run(["git", "diff", "-U0", base, "--", "core", "jobs", "ui"],
                         cwd=ROOT, capture_output=True, text=True, check=True).stdout
    lines, current = {}, None
    for row in out.split("\n"):
        if row.startswith("+++ "):
            current = row[6:] if row.startswith("+++ b/") else None
        m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", row)
        if m and current:
            start, count = int(m.group(1)), int(m.group(2) or "1")
            lines.setdefault(current, set()).update(range(start, start + count))
    return lines


# ---- running them ----------------------------------------------------------

def sh(cmd, cwd, timeout=None):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout)


class Worker:
    def __init__(self, n, files):
        self.dir = os.path.join(ROOT, WORK, "w%d" % n)
        self.src = os.path.join(self.dir, "src")
        self.build = os.path.join(self.dir, "build")
        self.dirty = None  # the file left mutated by the last mutant
        os.makedirs(self.src, exist_ok=True)
        tracked = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True,
                                 check=True).stdout.split(b"\0")
        for f in tracked:
            if not f:
                continue
            f = f.decode()
            # e2e/CMakeLists.txt would ask for Wine and the Windows build.
            if f.startswith("e2e/") and not f.startswith("e2e/driver/patterns."):
                continue
            src, dst = os.path.join(ROOT, f), os.path.join(self.src, f)
            if not os.path.isfile(src):
                continue
            if os.path.exists(dst) and open(src, "rb").read() == open(dst, "rb").read():
                continue
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy(src, dst)  # a fresh time, so the build sees the change
        self.originals = {f: open(os.path.join(ROOT, f), encoding="utf-8").read()
                          for f in files}

    def configure(self):
        r = sh(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O1",
                "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld",
                "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"], ROOT)
        if r.returncode != 0:
            sys.exit("mutants: configure failed\n" + r.stdout + r.stderr)
        r = self.make()
        if r.returncode != 0:
            sys.exit("mutants: the unmutated sources do not build\n" + r.stdout[-3000:])
        # A kill means something only if the sources as they are pass.
        outcome, why = self.run_tests("", 3600)
        if outcome != "survived":
            sys.exit("mutants: the unmutated sources fail their tests (%s)" % why)

    def make(self):
        return sh(["nice", "-n", "5", "cmake", "--build", self.build, "--target",
                   "tessavane_tests"], ROOT)

    def binary(self):
        return os.path.join(self.build, "tests", "tessavane_tests")

    def write(self, f, text):
        with open(os.path.join(self.src, f), "w", encoding="utf-8") as fh:
            fh.write(text)

    def run_tests(self, first, limit):
        """'killed', 'killed (timeout)' or 'survived', and the failing test."""
        # The file's own tests, the explorer (which reaches every path in
        # seconds), the other tests of the logic, the fault sweep, the
        # machine's own tests.
        groups = [first] if first else []
        taken = ":".join(g for g in [first] + LAST + [MACHINE_ONLY] if g)
        groups += ["Explorer.*", "-" + taken, "FaultSweep.*", MACHINE_CALLING_LOGIC]
        env = dict(os.environ, TESSAVANE_MUTANTS="1")
        for g in groups:
            try:
                r = subprocess.run(["nice", "-n", "5", self.binary(), "--gtest_fail_fast",
                                    "--gtest_brief=1", "--gtest_filter=" + g],
                                   cwd=self.build, capture_output=True, text=True,
                                   timeout=limit, env=env)
            except subprocess.TimeoutExpired:
                return "killed (timeout)", g
            if r.returncode != 0:
                m = re.search(r"\[  FAILED  \] (\S+)", r.stdout)
                return "killed", (m.group(1) if m else "exit %d" % r.returncode)
        return "survived", ""

    def run(self, mutant, limit):
        f = mutant["file"]
        if self.dirty and self.dirty != f:
            self.write(self.dirty, self.originals[self.dirty])
        lines = self.originals[f].split("\n")
        first = mutant["line"] - 1
        lines[first:first + mutant.get("span", 1)] = [mutant["new"]]
        self.write(f, "\n".join(lines))
        self.dirty = f
        r = self.make()
        if r.returncode != 0:
            return "not built", ""
        return self.run_tests(FIRST.get(f, ""), limit)

    def restore(self):
        if self.dirty:
            self.write(self.dirty, self.originals[self.dirty])
            self.dirty = None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sample", type=int, help="run N mutants drawn at random")
    ap.add_argument("--seed", type=int, default=1, help="the sample's seed")
    ap.add_argument("--changed", metavar="BASE", help="only lines changed since BASE")
    ap.add_argument("--file", action="append", help="only this file (repeatable)")
    ap.add_argument("--jobs", "-j", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--timeout", type=int, default=300,
                    help="seconds a test group may take before the mutant counts as a hang")
    ap.add_argument("--survivors-of", metavar="FILE",
                    help="only the mutants an earlier run's results (%s) or printed log "
                         "list as survived; several, comma-separated" % RESULTS)
    ap.add_argument("--list", action="store_true", help="print the mutants, run none")
    args = ap.parse_args()

    files = logic_files()
    if args.file:
        files = [f for f in files if f in args.file]
    mutants = all_mutants(files)
    kept = load_kept()
    ambiguous = ambiguous_keys(mutants)
    used_kept = set()
    todo = []
    for m in mutants:
        key = kept_key(m, kept, ambiguous)
        if key:
            used_kept.add(key)
        else:
            todo.append(m)
    for k in sorted(set(kept) & ambiguous):
        print("mutants: kept entry matches more than one line, so it keeps none; "
              "give the line before (BEFORE%sTEXT): %s: %s: %s" % ((BEFORE,) + k))
    if args.changed:
        changed = changed_lines(args.changed)
        todo = [m for m in todo if m["line"] in changed.get(m["file"], ())]
    if args.survivors_of:
        # A results file, or the printed log of a run cut short (its lines
        # name file, line and change).
        earlier, logged = set(), set()
        for name in args.survivors_of.split(","):
            with open(name, encoding="utf-8") as fh:
                for r in fh:
                    if r.startswith("survived\t"):
                        earlier.add(tuple(r.rstrip("\n").split("\t")[2:5]))
                    g = re.match(r"\[\d+/\d+\] survived +(\S+):(\d+): (.*?)  \d+ s$", r)
                    if g:
                        logged.add((g.group(1), int(g.group(2)), g.group(3)))
        todo = [m for m in todo if (m["file"], m["text"], m["change"]) in earlier or
                (m["file"], m["line"], m["change"]) in logged]
    if args.sample is not None:
        todo = random.Random(args.seed).sample(todo, min(args.sample, len(todo)))
        todo.sort(key=lambda m: (m["file"], m["line"]))
    stale = [k for k in kept if k not in used_kept and k not in ambiguous and k[0] in files]
    for k in stale:
        print("mutants: kept but no longer found: %s: %s: %s" % k)
    print("mutants: %d found in %d files, %d kept as changing nothing observable, "
          "%d to run" % (len(mutants), len(files), len(used_kept), len(todo)))
    if args.list:
        for m in todo:
            print("%s:%d: %s    %s" % (m["file"], m["line"], m["change"], m["text"]))
        return 0
    if not todo:
        return 0

    started = time.time()
    jobs = max(1, min(args.jobs, len(todo)))
    workers = [Worker(n, files) for n in range(jobs)]
    threads = [threading.Thread(target=w.configure) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    ready = time.time()
    print("mutants: %d private build(s) ready in %.0f s" % (jobs, ready - started))

    work = queue.Queue()
    rank = lambda m: (ORDER.index(m["file"]) if m["file"] in ORDER else len(ORDER),
                      m["file"], m["line"])
    for m in sorted(todo, key=rank):
        work.put(m)
    results = []
    lock = threading.Lock()

    def loop(w):
        while True:
            try:
                m = work.get_nowait()
            except queue.Empty:
                w.restore()
                return
            began = time.time()
            # The kept list is read again for each mutant: one found equivalent
            # while the run goes on is skipped when its turn comes.
            if kept_key(m, load_kept(), ambiguous):
                outcome, why = "kept", ""
            else:
                outcome, why = w.run(m, args.timeout)
            with lock:
                results.append((m, outcome, why))
                print("[%d/%d] %-16s %s:%d: %s%s  %.0f s" % (
                    len(results), len(todo), outcome, m["file"], m["line"], m["change"],
                    "  (" + why + ")" if why and outcome.startswith("killed") else "",
                    time.time() - began), flush=True)

    threads = [threading.Thread(target=loop, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.time() - started
    ran = time.time() - ready

    with open(os.path.join(ROOT, RESULTS), "w", encoding="utf-8") as fh:
        for m, outcome, why in sorted(results, key=lambda r: (r[0]["file"], r[0]["line"])):
            fh.write("\t".join([outcome.split(" ")[0].replace("not", "unbuilt"), str(m["line"]),
                                 m["file"], m["text"], m["change"], why]) + "\n")
    killed = [r for r in results if r[1].startswith("killed")]
    hangs = [r for r in results if r[1] == "killed (timeout)"]
    survived = [r for r in results if r[1] == "survived"]
    unbuilt = [r for r in results if r[1] == "not built"]
    used_kept |= {kept_key(r[0], load_kept(), ambiguous) for r in results
                  if r[1] == "kept"}
    counted = len(killed) + len(survived)
    print()
    for m, _, _ in sorted(survived, key=lambda r: (r[0]["file"], r[0]["line"])):
        print("survived: %s:%d: %s    %s" % (m["file"], m["line"], m["change"], m["text"]))
    by_file = {}
    for m, outcome, _ in results:
        k, s = by_file.get(m["file"], (0, 0))
        if outcome.startswith("killed"):
            k += 1
        elif outcome == "survived":
            s += 1
        by_file[m["file"]] = (k, s)
    for f in sorted(by_file):
        k, s = by_file[f]
        print("  %-26s killed %4d  survived %3d" % (f, k, s))
    print("mutants: killed %d (%d by a hang past %d s), survived %d, not built %d "
          "(not counted), kept %d; score %.1f%%" % (
              len(killed), len(hangs), args.timeout, len(survived), len(unbuilt),
              len(used_kept), 100.0 * len(killed) / counted if counted else 100.0))
    print("mutants: %d run in %.1f min with %d job(s), %.1f mutants/min "
          "(%.0f s of it setting up)" % (
              len(results), took / 60, jobs, len(results) / (ran / 60) if ran else 0,
              ready - started))
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
