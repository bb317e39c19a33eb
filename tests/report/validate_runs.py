#!/usr/bin/env python3
"""The run report as its readers meet it: real quillmark-sim runs with --json, one table of cases.

Each case runs the simulator with --json and checks that standard output is exactly one JSON
document, that the schema's validator (python3-jsonschema, draft 2020-12) accepts it, that it
carries the run's exit code with the meaning the README's exit-code table gives it, that its
cause is the line the error stream shows, and the case's own facts. Where the run is the same
every time, the error stream of the --json run must also equal, byte for byte, what the run
without --json writes to both streams: the human texts move, they do not change.

usage: validate_runs.py <quillmark-sim> <sim-firmware.bin> <schema> <README.md> <test_entry>

Exit code 5 (the drive's Error register read 0x84) comes from no drive of the built-in world: its
document comes from the in-process run of test_entry's RunReportOfAnInterfaceCrcError, over a
world programmed with that fault.
Prints one line per check and "N passed, M failed"; exits 0 only when nothing failed.
"""

import concurrent.futures
import hashlib
import json
import os
import re
import signal
import atexit
import shutil
import subprocess
import sys
import tempfile
import time

import jsonschema

SIM, IMAGE, SCHEMA, README, TEST_ENTRY = sys.argv[1:6]
PD = "\\\\.\\PhysicalDrive"
WORK = tempfile.mkdtemp(prefix="quillmark-report-")
atexit.register(shutil.rmtree, WORK, True)
TRUNCATED = os.path.join(WORK, "truncated.bin")
with open(IMAGE, "rb") as f:
    IMAGE_BYTES = f.read()
with open(TRUNCATED, "wb") as f:
    f.write(IMAGE_BYTES[: len(IMAGE_BYTES) // 2])
# A name that is not UTF-8: the report must carry its bytes exactly.
BAD_NAME = os.fsencode(WORK) + b"/fw-\xff\xfe.bin"

results = []


def check(what, ok, detail=""):
    results.append((what, bool(ok), detail))


def exit_meanings():
    """The README's exit-code table: code -> meaning."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    table = text.split("## Exit codes", 1)[1].split("\n## ", 1)[0]
    return {int(m[1]): m[2].strip() for m in re.finditer(r"^\| (\d+) \| (.*) \|$", table, re.M)}


def run(args, json_switch=True, env=None):
    argv = [SIM] + args + (["--json"] if json_switch else [])
    return subprocess.run(argv, capture_output=True, env=env, timeout=120)


def merged(args):
    """The run without --json, both streams in the order written."""
    return subprocess.run([SIM] + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=120).stdout


def held_drive():
    """A run that keeps PhysicalDrive0 (three failing passes), and a --json run that meets it."""
    env = dict(os.environ, QUILLMARK_SIM_STATE=os.path.join(WORK, "held.state"))
    holder = subprocess.Popen([SIM, PD + "0", "/D:" + TRUNCATED, "/s", "/r", "2"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    while not os.path.exists(env["QUILLMARK_SIM_STATE"] + ".lock") and holder.poll() is None:
        time.sleep(0.01)
    time.sleep(0.5)
    second = run([PD + "0", "/D:" + IMAGE, "/s"], env=env)
    holder.wait()
    second.holder_pid = holder.pid
    return second


def interrupted():
    """A download stopped by SIGINT once its warning is on the error stream."""
    p = subprocess.Popen([SIM, PD + "0", "/D:" + IMAGE, "/s", "--json"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    seen = b""
    while b"PLEASE DO NOT CLOSE" not in seen:
        chunk = os.read(p.stderr.fileno(), 4096)
        if not chunk:
            break
        seen += chunk
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=60)
    return subprocess.CompletedProcess(p.args, p.returncode, out, seen + err)


def interface_crc():
    """The in-process run of test_entry with the drive fault, as if the tool had run."""
    doc = os.path.join(WORK, "crc.json")
    test = subprocess.run([TEST_ENTRY, "--gtest_filter=Entry.RunReportOfAnInterfaceCrcError"],
                          env=dict(os.environ, QM_REPORT_DOCUMENT=doc), capture_output=True,
                          timeout=120)
    if test.returncode != 0 or not os.path.exists(doc):
        return subprocess.CompletedProcess(test.args, -1, b"", test.stdout[-300:])
    with open(doc, "rb") as f, open(doc + ".err", "rb") as e:
        return subprocess.CompletedProcess(test.args, 5, f.read(), e.read())


def sha256(data):
    return hashlib.sha256(data).hexdigest()


AUDIT = []


def audited():
    """A download with its proof options, the simulator's system log kept in a file."""
    log = os.path.join(WORK, "audit.log")
    env = dict(os.environ, QUILLMARK_SIM_AUDIT_LOG=log)
    proc = run([PD + "0", "/D:" + IMAGE, "/s", "--sha256", sha256(IMAGE_BYTES).upper(),
                "--expect-revision", "SIM2.00"], env=env)
    with open(log, encoding="utf-8") as f:
        AUDIT[:] = f.read().splitlines()
    return proc


def logged(d):
    (record,) = AUDIT
    return (record.startswith("info event=firmware_download ")
            and " serial=QMSIM0000000001 revision_before=SIM1.00 revision_after=SIM2.00 " in record
            and " sha256=%s mode=0x03 passes=1 result=success exit_code=0 user=" % sha256(IMAGE_BYTES)
            in record and d["options"]["sha256"] == sha256(IMAGE_BYTES)
            and d["options"]["expect_revision"]["text"] == "SIM2.00")


def downloaded(d):
    return (d["drive_before"]["firmware"] == "SIM1.00" and d["drive_after"]["firmware"] == "SIM2.00"
            and d["image"]["sha256"] == sha256(IMAGE_BYTES)
            and d["image"]["size_bytes"] == len(IMAGE_BYTES)
            and [(p["transfers_sent"], p["transfers_planned"]) for p in d["passes"]] == [(32, 32)])


def scanned(d):
    (adapter,) = d["scan"]["adapters"]
    drives = [p["drive"]["serial"] for p in adapter["phys"] if p["drive"]]
    return adapter["path"]["text"] == "\\\\.\\SCSI2:" and drives == [
        "QMSIMC2P%d" % i for i in range(5)] and d["scan"]["complete"]


def listed(d):
    drives = d["list"]["drives"]
    paths = [PD + "0", PD + "1", PD + "2", "/T:" + PD + "3", PD + "4"]
    paths += ["/C:\\\\.\\SCSI2:%d" % i for i in range(6)]
    return (d["command"] == "list" and d["list"]["complete"] and d["list"]["system_listed"]
            and [r["path"]["text"] for r in drives] == paths
            and [r["answered_by"] for r in drives] == ["scsi"] * 3 + ["ata", "scsi"] + ["csmi"] * 5
            + [None]
            and drives[0]["drive"]["serial"] == "QMSIM0000000001"
            and drives[5]["other_path"]["text"] == "/C:2,5001514d00000200"
            and drives[10]["drive"] is None and drives[10]["why_unusable"] is not None)


# name, arguments (or a function that runs the case), exit code, cause (a regular expression,
# or None for none), the case's own facts, whether the run is the same every time.
CASES = [
    ("a segmented download", [PD + "0", "/D:" + IMAGE, "/s"], 0, None, downloaded, True),
    ("a download with its hash and revision, recorded in the log", audited, 0, None, logged, False),
    ("a hash the image does not have", [PD + "0", "/D:" + IMAGE, "--sha256", "0" * 64], 4,
     r"^The firmware file .* does not have the SHA-256 given: expected 0{64}, actual "
     + sha256(IMAGE_BYTES) + "$",
     lambda d: d["passes"][0]["transfers_sent"] == 0 and d["image"]["sha256"] == sha256(IMAGE_BYTES),
     True),
    ("a rehearsal", [PD + "0", "/D:" + IMAGE, "/s", "--dry-run"], 0, None,
     lambda d: d["dry_run"] and d["passes"] == [] and d["plan"]["transfers"] == 32
     and d["image"]["sha256"] == sha256(IMAGE_BYTES) and d["warnings"] == [], True),
    ("a truncated image", [PD + "0", "/D:" + TRUNCATED, "/s"], 1,
     r"^The download failed: the drive expects more data",
     lambda d: d["passes"][0]["verdict"]["meaning"] == "expects_more"
     and d["drive_after"]["firmware"] == "SIM1.00", True),
    ("a drive that aborts every download", [PD + "4", "/D:" + IMAGE, "/s", "/r", "1"], 1,
     r"^The download failed after 0 of the image's",
     lambda d: [p["result"] for p in d["passes"]] == ["failure", "failure"], True),
    ("an interrupted run", interrupted, 1,
     r"^(Download stopped after \d+ of 32 transfers|Stopped before any download command was sent"
     r"|Stopped after all 32 transfers were sent)",
     lambda d: d["interrupted"] and d["drive_after"]["firmware"] is None, False),
    ("an interface CRC error", interface_crc, 5, r"interface CRC error \(ATA Error 0x84\)$",
     lambda d: d["passes"][0]["status"] == 13 and d["target"]["interface"] == "ata", False),
    ("a device that does not exist", [PD + "9", "/i"], 2, r"^Cannot open .*: no such device",
     lambda d: d["target"]["opened"] is False and d["drive_before"] is None, True),
    ("a held drive", held_drive, 2, r"^Drive .* is in use by another run \(process \d+\)",
     lambda d: d["claim"]["state"] == "held_by_another_run" and d["passes"] == []
     and d["claim"]["holder_pid"] > 1, False),
    ("a missing file", [PD + "0", "/D:" + WORK + "/missing.bin"], 4,
     r"^Cannot use the firmware file .*missing\.bin",
     lambda d: d["image"]["size_bytes"] is None and d["image"]["sha256"] is None
     and d["drive_after"]["firmware"] is None and "vendor" in d["drive_after"]["why_none"], True),
    ("a file name that is not UTF-8", [PD + "0", "/D:" + os.fsdecode(BAD_NAME)], 4,
     r"^Cannot use the firmware file",
     lambda d: bytes.fromhex(d["image"]["path"]["bytes"]) == BAD_NAME
     and "\ufffd\ufffd" in d["image"]["path"]["text"], True),
    ("a locked drive", [PD + "1", "/D:" + IMAGE, "/s"], 6, r"^The drive's ATA security is locked",
     lambda d: d["drive_before"]["security_state"] == "SEC4" and d["passes"] == [], True),
    ("an option that does not exist (/q)", [PD + "0", "/q"], 8, r"^Error in command line at /q$",
     lambda d: d["options"] is None and d["command"] is None, True),
    ("/h", ["/h"], 8, r"^The usage was asked for: nothing was run$", lambda d: d["command"] == "help", True),
    ("a path without the pass-through", [PD + "3", "/i"], 9, r"^IDENTIFY DEVICE failed",
     lambda d: d["target"]["opened"] is True and d["drive_before"] is None, True),
    ("/i", [PD + "0", "/i"], 10, None,
     lambda d: d["command"] == "device_info" and d["drive_before"]["model"] == "QUILLMARK SIM SSD 480"
     and d["drive_before"]["download"]["max_blocks"] == 256, True),
    ("a CSMI phy that holds an SSP device", ["/C:\\\\.\\SCSI2:5", "/i"], 10,
     r"^The CSMI target .* cannot be reached", lambda d: d["target"]["csmi"]["phy"] is None, True),
    ("a CSMI drive by SAS address", ["/C:2,5001514d00000203", "/i"], 10, None,
     lambda d: d["target"]["csmi"]["phy"] == 3 and d["drive_before"]["serial"] == "QMSIMC2P3", True),
    ("--scan", ["--scan"], 0, None, scanned, True),
    ("--list", ["--list"], 0, None, listed, True),
]


def run_case(case):
    name, how, code, cause, facts, repeatable = case
    proc = how() if callable(how) else run(how)
    found = []
    try:
        doc = json.loads(proc.stdout.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        return [(name + ": standard output is one JSON document", False, str(e)[:200])]
    errors = [e.message for e in VALIDATOR.iter_errors(doc)]
    found.append((name + ": the schema's validator accepts it", not errors, "; ".join(errors)[:300]))
    found.append((name + ": exit code %d in the document and of the process" % code,
                  proc.returncode == code and doc["exit"]["code"] == code,
                  "process %d, document %s" % (proc.returncode, doc["exit"]["code"])))
    found.append((name + ": the meaning is the README's", doc["exit"]["meaning"] == MEANINGS[code],
                  doc["exit"]["meaning"]))
    lines = proc.stderr.decode("utf-8", "replace").splitlines()
    if cause is None:
        ok = doc["cause"] is None
    else:
        ok = doc["cause"] is not None and re.search(cause, doc["cause"]) and doc["cause"] in lines
    found.append((name + ": the cause is the error stream's", ok, str(doc["cause"])))
    try:
        ok = facts(doc)
    except (KeyError, TypeError, ValueError) as e:
        ok = False
        found.append((name + ": its facts can be read", False, repr(e)))
    found.append((name + ": its facts", ok, json.dumps(doc)[:300]))
    if repeatable and not callable(how):
        found.append((name + ": the error stream holds the texts of the run without --json",
                      proc.stderr == merged(how), proc.stderr[-200:]))
    return found


MEANINGS = exit_meanings()
with open(SCHEMA, encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
VALIDATOR = jsonschema.Draft202012Validator(
    schema, format_checker=jsonschema.Draft202012Validator.FORMAT_CHECKER)

codes = {case[2] for case in CASES}
check("every exit code of the README's table has a case", codes == set(MEANINGS),
      sorted(set(MEANINGS) - codes))
with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
    for found in pool.map(run_case, CASES):
        for what, ok, detail in found:
            check(what, ok, detail)

for what, ok, detail in results:
    print(("PASS  " + what) if ok else ("FAIL  %s  (%s)" % (what, detail)))
failed = sum(1 for _, ok, _ in results if not ok)
print("%d passed, %d failed" % (len(results) - failed, failed))
sys.exit(1 if failed else 0)
