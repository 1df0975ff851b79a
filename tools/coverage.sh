#!/usr/bin/env bash
# Line and branch coverage of lib/ by the whole test suite, measured with gcc's
# --coverage and gcovr.
#   tools/coverage.sh [--lines L] [--branches B]
# Builds without optimisation and without sanitizers (and without -Werror: warnings are
# the other builds' concern) in build-coverage/ (another folder with
# QUILLBOX_COVERAGE_BUILD=folder), runs every ctest test, then prints one line
#   coverage: lines L%, branches B%
# and writes the uncovered lines and branches of each file to <build>/coverage.txt.
# Fails when lines or branches are below the given percentages (default 98 and 90), or
# when a test fails. Counters are updated atomically (the writers are threads), and
# forked test children write theirs too (QUILLBOX_COVERAGE, tests/test_support.cc).
# Branches that only throw an exception (the unwinding edges of every call) and the
# branches that gcc itself marks unreachable are not counted; lines and branches marked
# with GCOVR_EXCL comments are listed, with the reason, in doc/coverage.md.
set -euo pipefail
cd "$(dirname "$0")/.."
min_lines=98
min_branches=90
while [ $# -gt 0 ]; do
  case "$1" in
    --lines) min_lines=$2; shift 2 ;;
    --branches) min_branches=$2; shift 2 ;;
    *) echo "usage: tools/coverage.sh [--lines L] [--branches B]" >&2; exit 2 ;;
  esac
done
tools/install_deps.sh coverage
build=${QUILLBOX_COVERAGE_BUILD:-build-coverage}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake -S . -B "$build" -DQUILLBOX_TESTS=ON -DQUILLBOX_WERROR=OFF -DQUILLBOX_SANITIZE= \
  -DQUILLBOX_EXAMPLES=OFF -DQUILLBOX_BENCHMARKS=OFF -DQUILLBOX_FUZZ=OFF -DQUILLBOX_TOOLS=ON \
  -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic -DQUILLBOX_COVERAGE" \
  "-DCMAKE_C_FLAGS=--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j"$jobs"
# Counters of an earlier run would add to this one.
find "$build" -name '*.gcda' -delete
# A failing test still leaves its counters: the figure is printed, and the run fails.
tests_passed=1
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs" >"$build/ctest.log" 2>&1 ||
  tests_passed=0
if [ "$tests_passed" = 1 ]; then
  grep -E 'tests passed' "$build/ctest.log"
else
  grep -E '^\[  FAILED  \]|tests passed|Failed|Timeout' "$build/ctest.log" >&2 || true
  echo "coverage: the tests failed (the log is $build/ctest.log)" >&2
fi
# Only lib/; the Windows platform file is not compiled here. The library is compiled
# twice: into quillbox_testing (with the fault hook), which the test program runs, and
# into the shared library and the command-line tool, which the other tests run. gcov
# tells a branch that only throws apart only where its line ran, so each build is read
# on its own and the two are merged below: a line's branches come from the builds that
# ran it.
gcovr_options=(--root . --object-directory "$build" -j "$jobs"
               --filter 'lib/' --exclude 'lib/platform/platform_windows\.cc'
               --exclude-throw-branches --exclude-unreachable-branches)
gcovr "${gcovr_options[@]}" --json "$build/coverage-testing.json" \
  "$build/CMakeFiles/quillbox_testing.dir" "$build/tests" >/dev/null
gcovr "${gcovr_options[@]}" --json "$build/coverage-shipped.json" \
  "$build/CMakeFiles/quillbox_objects.dir" "$build/tools" >/dev/null
status=0
python3 - "$build" "$min_lines" "$min_branches" <<'EOF' || status=1
import json, sys
build, min_lines, min_branches = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])

# file -> line number -> [count, branch counts of the builds that ran it or None,
# branch counts of the test build]; lines that are no code or that carry an exclusion
# comment do not count.
merged = {}
for part in ("testing", "shipped"):
    for entry in json.load(open(f"{build}/coverage-{part}.json"))["files"]:
        lines = merged.setdefault(entry["file"], {})
        for line in entry["lines"]:
            if line["gcovr/noncode"] or line["gcovr/excluded"]:
                continue
            counts = [branch["count"] for branch in line["branches"]]
            known = lines.get(line["line_number"])
            if known is None:
                lines[line["line_number"]] = [line["count"], counts if line["count"] else None,
                                              counts]
                continue
            known[0] += line["count"]
            if line["count"] == 0:
                continue
            if known[1] is None:
                known[1] = counts
            elif len(known[1]) == len(counts):
                known[1] = [a + b for a, b in zip(known[1], counts)]
            # Otherwise the builds compiled the line differently (the fault hook): the
            # test build's branches stand.

def percent(covered, total):
    return 100.0 * covered / total if total else 100.0

report = []
line_total = line_covered = branch_total = branch_covered = 0
for name in sorted(merged):
    lines = merged[name]
    source = open(name, encoding="utf-8", errors="replace").read().split("\n")
    never, untaken = [], []
    file_lines = file_covered = file_branches = file_taken = 0
    for number in sorted(lines):
        count, branches, unrun = lines[number]
        if branches is None:  # Ran in no build: its branches as gcov counts them.
            branches = unrun
        file_lines += 1
        file_covered += count != 0
        if count == 0:
            never.append(number)
        taken = sum(1 for b in branches if b != 0)
        file_branches += len(branches)
        file_taken += taken
        if count != 0 and taken < len(branches):
            untaken.append(f"    {number:4d}  {taken}/{len(branches)} taken  "
                           f"{source[number - 1].strip()[:90]}")
    line_total += file_lines
    line_covered += file_covered
    branch_total += file_branches
    branch_covered += file_taken
    if never or untaken:
        report.append(f"{name}: lines {file_covered}/{file_lines}, "
                      f"branches {file_taken}/{file_branches}")
        if never:
            ranges, start = [], never[0]
            for previous, number in zip(never, never[1:] + [None]):
                if number != previous + 1:
                    ranges.append(str(start) if start == previous else f"{start}-{previous}")
                    start = number
            report.append("  never run: " + ", ".join(ranges))
        if untaken:
            report.append("  a branch never taken:")
            report.extend(untaken)

lines_percent = percent(line_covered, line_total)
branches_percent = percent(branch_covered, branch_total)
with open(f"{build}/coverage.txt", "w") as out:
    out.write(f"coverage: lines {lines_percent:.1f}% ({line_covered}/{line_total}), "
              f"branches {branches_percent:.1f}% ({branch_covered}/{branch_total})\n")
    out.write("Files of lib/ not listed are covered whole.\n\n")
    out.write("\n".join(report) + "\n")
print(f"coverage: lines {lines_percent:.1f}%, branches {branches_percent:.1f}%")
failed = False
if lines_percent < min_lines:
    print(f"coverage: lines {lines_percent:.2f}% are below {min_lines:g}%", file=sys.stderr)
    failed = True
if branches_percent < min_branches:
    print(f"coverage: branches {branches_percent:.2f}% are below {min_branches:g}%",
          file=sys.stderr)
    failed = True
sys.exit(1 if failed else 0)
EOF
[ "$tests_passed" = 1 ] || status=1
exit "$status"
