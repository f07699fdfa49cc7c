#!/usr/bin/env python3
"""Mutation check: does the suite catch deliberate faults in the core?

Each mutant is a small textual change to one source line (or a few): a find
text, matched with any whitespace between its tokens, and its replacement. The
script applies one mutant at a time, builds veracap_tests and veracap-cli in a
build folder of its own (build/mutants), runs the non-device suite with a time
limit, restores the file and prints which tests caught the fault, or NOT
CAUGHT. A mutant whose find text no longer matches exactly once is reported
as STALE (the code moved: update the mutant), and the script then exits 2.

  scripts/mutants.py              all mutants
  scripts/mutants.py --list       the list only
  scripts/mutants.py --only a,b   some of them
  scripts/mutants.py --all-catchers   every test that fails, not just the first

GTEST_FILTER is passed on to the suite, e.g. GTEST_FILTER='-CounterfeitProperty.*' to leave out
a long randomized test. Sources are restored on every exit, Ctrl-C included. The files it mutates
must have no uncommitted changes.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "mutants")
TEST_TIMEOUT = 600

QE = "src/quicktest/quick_size_engine.cpp"
SIO = "src/diskio/sector_io.cpp"
DQ = "src/diskio/device_queries.cpp"
VOL = "src/diskio/volumes.cpp"
DI = "src/drives/drive_info.cpp"
DL = "src/drives/drive_list.cpp"
DD = "src/drives/drive_details.cpp"
FC = "src/filetest/file_test_command.cpp"
FR = "src/filetest/report.cpp"
FW = "src/filetest/writer.cpp"
FV = "src/filetest/verifier.cpp"
FCL = "src/filetest/cleanup.cpp"
FO = "src/filetest/obstacles.cpp"
DN = "src/drives/disk_number.h"
SH = "src/shell/startup.cpp"

BAD = ('Log("\\r\\n\\r\\nBAD MEMORY from sector " + PlainNumberText(lowest) + " (" +\n'
       'FormatNumberText(lowest * kSectorBytes / kMiB, kMegabytePattern) + "MiB) ");')

# (name, what the fault breaks, file, find, replace[, expected matches])
MUTANTS = [
    ("wrap-probe-bound", "the wrap probes skip 2^15 (loop bound off by one)",
     QE, "for (int j = 62; j >= 15; --j)", "for (int j = 62; j >= 16; --j)"),
    ("recommended-margin", "the recommended size loses its one-block margin",
     QE, "(lowest * kSectorBytes - kBlockBytes) / kMiB", "(lowest * kSectorBytes) / kMiB"),
    ("engine-system-disk", "the Quick Size Test engine writes to a disk that holds the system",
     QE, "if (RefusesQuickTest(RoleOfDisk(ctx, disk))) return;", "(void)RoleOfDisk(ctx, disk);"),
    ("slow-write-answer", "the slow-write-error question's OK and Cancel are swapped",
     QE, "if (answer != kIdOk) {\n Lock_Unlock_All_Volumes",
     "if (answer == kIdOk) {\n Lock_Unlock_All_Volumes"),
    ("final-zeroing", "sector 0 is not zeroed after the test",
     QE, "s.SectorBuffer.assign(kSectorBytes, 0);\n"
         "Open_Physical_Disk_hDrive(ctx_, disk_);\nDirectWrite(ctx_, 0, 1);",
     "s.SectorBuffer.assign(kSectorBytes, 0);\n"
     "Open_Physical_Disk_hDrive(ctx_, disk_);"),
    ("second-read", "each marker is read once, not twice",
     QE, "if (s.DebugMode) Log(\"\\r\\nRead from sector \" + Num(sector));\n"
         "bool ok = DirectRead(ctx_, static_cast<double>(sector), 1);\n"
         "if (ok) ok = DirectRead(ctx_, static_cast<double>(sector), 1);",
     "if (s.DebugMode) Log(\"\\r\\nRead from sector \" + Num(sector));\n"
     "bool ok = DirectRead(ctx_, static_cast<double>(sector), 1);"),
    ("report-lines-swapped", "two lines of the FAILED report change places",
     QE, 'Log("\\r\\nMemory tested in blocks of " + Num(kBlockSectors) + " sectors.");\n' + BAD,
     BAD + '\nLog("\\r\\nMemory tested in blocks of " + Num(kBlockSectors) + " sectors.");'),
    ("cancel-keeps-locks", "a cancelled Quick Size Test leaves the volumes locked",
     QE, 'ctx_.platform.Sleep(kSettleMs);\nLock_Unlock_All_Volumes(ctx_, disk_, "UNLOCK");\n'
         "ctx_.window.DoEvents();\nMyCloseHandle(ctx_, s.hDrive);\nHide_Cancel(ctx_);",
     "ctx_.platform.Sleep(kSettleMs);\nctx_.window.DoEvents();\n"
     "MyCloseHandle(ctx_, s.hDrive);\nHide_Cancel(ctx_);"),
    ("progress-6-percent", "progress lines every 6 % instead of 5 %",
     QE, "percent > last_percent_ + 4", "percent > last_percent_ + 5"),
    ("sector-flush", "a sector write is not flushed",
     SIO, "ctx.platform.FlushFileBuffers(h);", ""),
    ("unlock-request", "UNLOCK closes the volume handles without the unlock request",
     VOL, 'MyUnlock_Volume(ctx, h);\nTrace(ctx, " Lock_Unlock_All_Volumes - Close Handle "',
     'Trace(ctx, " Lock_Unlock_All_Volumes - Close Handle "'),
    ("last-sector-check", "the readability check of the last sector is inverted",
     DI, "if (s.DriveSizeBytes > 0 && !ok)", "if (s.DriveSizeBytes > 0 && ok)"),
    ("list-system-disk", "the drive list offers a disk that holds the system",
     DL, "if (RefusesVolumeTest(system.RoleOf(n))) continue;", "(void)system;"),
    ("unit-1000", "the size column switches unit at exactly 1000",
     DD, "if (LeadingNumber(value) > 1000)", "if (LeadingNumber(value) >= 1000)", 2),
    ("two-thirds", "the two-thirds rule between FAULTY and PROBABLY FAKE moves its boundary",
     FR, "good > planned_file_count * 2 / 3", "good >= planned_file_count * 2 / 3"),
    ("file-flush", "a test file is not flushed",
     FW, "ctx.platform.FlushFileBuffers(handle);", ""),
    ("cleanup-wildcard", "the clean-up trusts the wildcard search (deletes any match)",
     FCL, "std::erase_if(names, [](const std::string& name) { return !IsTestFileName(name); });",
     ""),
    ("last-file-margin", "the last file fills the volume instead of keeping 1 KiB",
     FC, "double size = FreeDiskSpace(ctx, s.SelectedDrive) - 1024;",
     "double size = FreeDiskSpace(ctx, s.SelectedDrive);"),
    ("filetest-system-disk", "the Volume File Test fills a disk that holds the system",
     FC, "if (RefusesVolumeTest(role)) {", "if (false) {"),
    ("piece-loop", "a full test file is written one piece short",
     FW, "ok && round < 3; ++round", "ok && round < 2; ++round"),
    ("verifier-header", "the verifier ignores the file number in the header",
     FV, "if (number != static_cast<std::uint32_t>(n)) ok = false;", ""),
    ("write-abort-line", "a cancel while writing prints the read phase's abort line",
     FC, 'AppendResult(ctx, kLineBreak + "TEST ABORTED (test files may be present)!");',
     'AppendResult(ctx, kLineBreak + "TEST ABORTED (use Clean-up to delete test files)!");'),
    ("capacity-plus-one", "READ CAPACITY's size loses the one sector after the last block",
     DQ, "if (capacity > 0) size = capacity + kSectorBytes;", "if (capacity > 0) size = capacity;"),
    ("capacity-ignored", "READ CAPACITY's answer is ignored (disk length alone)",
     DQ, "if (capacity > 0) size = capacity + kSectorBytes;", "if (capacity > 0) size = 0;"),
    ("length-fallback", "the disk length is ignored (READ CAPACITY alone)",
     DQ, "if (length > size) size = length;", "(void)length;"),
    ("volume-scan-z", "the volume scan stops before Z:",
     VOL, "letter <= 'Z' && filled < volumes.size()", "letter < 'Z' && filled < volumes.size()"),
    ("lock-kept", "the byte-range lock of a sector write is never released",
     SIO, "ctx.platform.UnlockFile(h, offset, length);", ""),
    # Beyond the first list.
    ("mismatch-limit", "the read pass goes on past the limit of mismatches",
     QE, "if (mismatches_.size() > kMismatchLimit) {", "if (false) {"),
    ("usb-only", "every disk counts as a USB disk",
     DQ, "return bus == kBusTypeUsb || bus == kBusTypeSd || bus == kBusTypeMmc;",
     "(void)bus; return true;"),
    ("device-type-check", "a volume's disk number is believed whatever the device type",
     SIO, "if (n.device_type == kFileDeviceDisk) result =",
     "result ="),
    ("verifier-marker", "the verifier ignores the markers after the header",
     FV, "if (!file.ByteAt(pos, &byte) || byte != marker) return fail();",
     "if (!file.ByteAt(pos, &byte) || (byte != marker && false)) return fail();"),
    ("disk-rule-81", "the range of disk numbers lets disk 81 through",
     DN, "number >= 0 && number <= kHighestDiskNumber;",
     "number >= 0 && number <= kHighestDiskNumber + 1;"),
    ("interim-check-16", "the first interim check comes after file 16, not 15",
     FV, "i == 15 || i == 25", "i == 16 || i == 25"),
    ("full-is-memory", "a full volume counts as the memory's fault (a verdict on the drive)",
     FO, "case kErrorDiskFull:\n case kErrorHandleDiskFull:\n return",
     "case kErrorHandleDiskFull:\n return"),
    ("busy-clicks", "clicks reach hidden or disabled controls",
     SH, "return form.visible && c.visible && c.enabled;",
     "(void)c; return form.visible;"),
]

# Mutants with no effect anyone can observe: listed as such, not as misses.
EQUIVALENT = {}


def pattern_of(find):
    tokens = find.split()
    return re.compile(r"\s*".join(re.escape(t) for t in tokens)) if len(tokens) > 1 else \
        re.compile(re.escape(find))


originals = {}


def restore_all():
    for path, text in list(originals.items()):
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        del originals[path]


def on_signal(signum, _frame):
    restore_all()
    print(f"\ninterrupted (signal {signum}); sources restored", file=sys.stderr)
    sys.exit(130)


def run(cmd, timeout=None, **kw):
    return subprocess.run(cmd, cwd=kw.pop("cwd", ROOT), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=timeout, **kw)


def build():
    env = dict(os.environ)
    env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    env.setdefault("CCACHE_BASEDIR", "/work")
    env.setdefault("CCACHE_NOHASHDIR", "1")
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        r = run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                 "-DVERACAP_BENCH=OFF"], env=env)
        if r.returncode != 0:
            sys.exit("configure failed:\n" + r.stdout)
    r = run(["cmake", "--build", BUILD, "-j2", "--target", "veracap_tests", "veracap-cli"],
            env=env)
    return r.returncode == 0, r.stdout


def run_suite(all_catchers=False):
    """Returns (failed test names, note)."""
    cmd = [os.path.join(BUILD, "veracap_tests"), "--gtest_brief=1"]
    if not all_catchers:
        cmd.append("--gtest_fail_fast")
    try:
        r = run(cmd, timeout=TEST_TIMEOUT, cwd=BUILD)
    except subprocess.TimeoutExpired:
        return ["(time limit)"], "timeout"
    failed = sorted(set(re.findall(r"^\[  FAILED  \] (\S+?)(?:,| |$)", r.stdout, re.M)))
    failed = [f for f in failed if "." in f]
    if r.returncode != 0 and not failed:
        return ["(crash, exit %d)" % r.returncode], "crash"
    return failed, ""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--only", default="")
    ap.add_argument("--all-catchers", action="store_true",
                    help="run the whole suite for each mutant, naming every test that fails "
                    "(default: stop at the first)")
    args = ap.parse_args()

    chosen = MUTANTS
    if args.only:
        names = set(args.only.split(","))
        chosen = [m for m in MUTANTS if m[0] in names]
        unknown = names - {m[0] for m in chosen}
        if unknown:
            sys.exit("unknown mutants: " + ", ".join(sorted(unknown)))
    if args.list:
        for m in chosen:
            print(f"{m[0]:22} {m[2]:36} {m[1]}")
        return 0

    files = sorted({m[2] for m in chosen})
    dirty = run(["git", "status", "--porcelain", "--"] + files).stdout.strip()
    if dirty:
        sys.exit("uncommitted changes in files to mutate; commit or stash them first:\n" + dirty)

    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)

    ok, out = build()
    if not ok:
        sys.exit("the unmutated tree does not build:\n" + out[-3000:])
    failed, _ = run_suite()
    if failed:
        sys.exit("the unmutated suite fails: " + ", ".join(failed))

    results = []
    stale = 0
    try:
        for m in chosen:
            name, what, rel, find, replace = m[:5]
            expected = m[5] if len(m) > 5 else 1
            path = os.path.join(ROOT, rel)
            with open(path, encoding="utf-8", newline="") as f:
                text = f.read()
            pattern = pattern_of(find)
            found = len(pattern.findall(text))
            if found != expected:
                print(f"STALE      {name}: mutant no longer applies ({found} matches in {rel}, "
                      f"{expected} expected)", flush=True)
                results.append((name, what, "STALE"))
                stale += 1
                continue
            originals[path] = text
            mutated = pattern.sub(lambda _m: replace, text)
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(mutated)
            started = time.time()
            ok, out = build()
            if not ok:
                verdict = "BUILD FAILED"
            else:
                failed, _ = run_suite(args.all_catchers)
                verdict = ("caught by " + ", ".join(failed)) if failed else (
                    "EQUIVALENT" if name in EQUIVALENT else "NOT CAUGHT")
            restore_all()
            print(f"{name:22} {verdict}  [{time.time() - started:.0f}s]", flush=True)
            results.append((name, what, verdict))
    finally:
        restore_all()
    build()  # leaves the folder built from the restored sources

    caught = sum(1 for r in results if r[2].startswith("caught"))
    print(f"\n{caught} of {len(results)} mutants caught")
    for name, what, verdict in results:
        if not verdict.startswith("caught"):
            print(f"  {verdict:12} {name}: {what}")
    if stale:
        return 2
    return 0 if caught == len(results) - sum(1 for r in results if r[2] == "EQUIVALENT") else 1


if __name__ == "__main__":
    sys.exit(main())
