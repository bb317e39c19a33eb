#!/usr/bin/env python3
"""The fleet rollout end to end: real ansible-playbook runs of ansible/rollout.yml over
inventories of local hosts, each with simulated drives of its own (quillmark-sim with its own
QUILLMARK_SIM_STATE file and its own QUILLMARK_SIM_DOWNLOAD_LOG, where the simulator notes when
each download began), in batches.

usage: test_rollout.py <build directory holding quillmark-sim and sim-firmware.bin>

Prints one line per check and "N passed, M failed"; exits 0 only when nothing failed.
"""

import ast
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PLAYBOOK = os.path.join(ROOT, "ansible", "rollout.yml")
MODULE = os.path.join(ROOT, "ansible", "roles", "quillmark_firmware", "library", "quillmark_firmware.py")
OLD, NEW = "SIM1.00", "SIM2.00"
MODEL = "QUILLMARK SIM SSD 480"
DRIVE = [r"\\.\PhysicalDrive%d" % n for n in range(10)]
GOOD, LOCKED, UNLOCKED, NO_SAT, ABORTS, MISSING = (DRIVE[n] for n in (0, 1, 2, 3, 4, 9))
SERIAL = ["QMSIM000000000%d" % n for n in range(1, 6)]  # of PhysicalDrive0 to 4

# Every result of every task, with the controller's time when it came in.
RECORDER = '''
import json, os, time
from ansible.plugins.callback import CallbackBase

class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "notification"
    CALLBACK_NAME = "qm_record"
    CALLBACK_NEEDS_ENABLED = True

    def _note(self, result, status):
        with open(os.environ["QM_RECORD"], "a") as f:
            f.write(json.dumps(dict(host=result._host.get_name(), task=result._task.get_name(),
                                    status=status, time=time.time(), result=result._result)) + "\\n")

    def v2_runner_on_ok(self, result):
        self._note(result, "ok")

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._note(result, "failed")

    def v2_runner_on_skipped(self, result):
        self._note(result, "skipped")
'''

passed = failed = 0


def check(ok, what, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print("PASS: " + what)
    else:
        failed += 1
        print("FAIL: " + what + (": " + str(detail)[:1500] if detail else ""))


def module_exit_table():
    """The module's exit-code table, read from its source (the module needs Ansible to run)."""
    with open(MODULE, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    for node in tree.body:
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", "") == "EXIT_TABLE":
            return ast.literal_eval(node.value)
    return ()


def read_doc(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8") as f:
        return f.read()


def plain(text):
    """One entry's words, as the module's table holds them without its backticks: blanks run
    together, the first letter small, no closing full stop."""
    text = " ".join(text.replace("`", "").split()).rstrip(".")
    return text[:1].lower() + text[1:]


def readme_exit_rows():
    table = read_doc("README.md").split("## Exit codes", 1)[1].split("\n## ", 1)[0]
    return [(int(code), plain(text))
            for code, text in re.findall(r"^\| (\d+) \| (.+) \|$", table, re.MULTILINE)]


def manpage_exit_rows():
    """The tagged paragraphs of the manual page's EXIT STATUS, with the font macros read as
    the text they set (.B, .BR, .IR...: their arguments run together) and \\- as -."""
    section = read_doc("packaging", "quillmark.8").split(".SH EXIT STATUS", 1)[1].split("\n.SH ", 1)[0]
    rows = []
    for entry in section.split("\n.TP\n")[1:]:
        lines = entry.strip().split("\n")
        words = []
        for line in lines[1:]:
            if re.match(r"^\.[BI]R? |^\.[BIR][BIR] ", line):
                line = "".join(a.strip('"') for a in re.findall(r'"[^"]*"|\S+', line)[1:])
            words.append(line.replace("\\-", "-"))
        code = lines[0].split()[1]
        rows.append((int(code), plain(" ".join(words))))
    return rows


def windows_readme_exit_rows():
    """The Windows README.txt's "Exit codes" list, up to its first blank line: a code at the
    start of a line, its text going on over the indented lines under it."""
    section = read_doc("packaging", "README-windows.txt").split("Exit codes\n----------\n", 1)[1]
    rows = []
    for line in section.strip("\n").split("\n\n", 1)[0].split("\n"):
        m = re.match(r"^ *(\d+)  (.*)$", line)
        if m:
            rows.append([int(m.group(1)), m.group(2)])
        elif rows and line.strip():
            rows[-1][1] += " " + line.strip()
    return [(code, plain(text)) for code, text in rows]


class Fleet:
    def __init__(self, work, sim, image, name, serial, drives, extra=None):
        """drives: the drive paths of each host, hosts named <name>1, <name>2, ...; extra: more
        variables of some hosts; serial: the batch size."""
        self.work, self.sim, self.serial = work, sim, serial
        self.hosts = {}
        for i, devices in enumerate(drives, 1):
            host = "%s%d" % (name, i)
            self.hosts[host] = {
                "ansible_connection": "local",
                "ansible_python_interpreter": "/usr/bin/python3",
                "ansible_become": False,
                "quillmark_tool": sim,
                "quillmark_image": image,
                "quillmark_revision": NEW,
                "quillmark_devices": devices,
                "quillmark_environment": {"QUILLMARK_SIM_STATE": self.path(host, "state"),
                                          "QUILLMARK_SIM_DOWNLOAD_LOG": self.path(host, "downloads")},
            }
            for key, value in (extra or {}).get(host, {}).items():
                if value is None:
                    del self.hosts[host][key]
                else:
                    self.hosts[host][key] = value
        self.inventory = os.path.join(work, name + "-inventory.json")
        with open(self.inventory, "w") as f:
            json.dump({"quillmark_fleet": {"hosts": self.hosts}}, f)
        self.runs = 0

    def path(self, host, what):
        return os.path.join(self.work, "%s.%s" % (host, what))

    def state_bytes(self):
        out = {}
        for host in self.hosts:
            try:
                with open(self.path(host, "state"), "rb") as f:
                    out[host] = f.read()
            except FileNotFoundError:
                out[host] = None
        return out

    def downloads(self):
        """(time, host, serial) of every download the simulated drives saw begin, in order."""
        out = []
        for host in self.hosts:
            try:
                with open(self.path(host, "downloads")) as f:
                    out += [(float(t), host, s) for t, s in (line.split() for line in f)]
            except FileNotFoundError:
                pass
        return sorted(out)

    def tool(self, host, *args):
        env = dict(os.environ, QUILLMARK_SIM_STATE=self.path(host, "state"))
        return subprocess.run([self.sim] + list(args), env=env, capture_output=True, text=True)

    def revision(self, host, device):
        """The running revision of a drive of the host, asked of quillmark-sim directly."""
        m = re.search(r"^  FW: (.*)$", self.tool(host, device, "/i").stdout, re.MULTILINE)
        return m.group(1) if m else None

    def play(self, *extra):
        """Runs the rollout; returns (exit code, recap counts per host, records of every task
        result, standard output)."""
        self.runs += 1
        tag = "%s-%d" % (os.path.basename(self.inventory), self.runs)
        plugins = os.path.join(self.work, "callback_plugins")
        os.makedirs(plugins, exist_ok=True)
        with open(os.path.join(plugins, "qm_record.py"), "w") as f:
            f.write(RECORDER)
        record = os.path.join(self.work, tag + ".records")
        env = dict(
            os.environ,
            ANSIBLE_HOME=os.path.join(self.work, "ansible-home"),
            ANSIBLE_LOCAL_TEMP=os.path.join(self.work, "ansible-tmp"),
            ANSIBLE_CALLBACK_PLUGINS=plugins,
            ANSIBLE_CALLBACKS_ENABLED="qm_record",
            QM_RECORD=record,
            ANSIBLE_FORKS="10",
            ANSIBLE_NOCOLOR="1",
            ANSIBLE_RETRY_FILES_ENABLED="0",
            ANSIBLE_LOCALHOST_WARNING="0",
        )
        cmd = ["ansible-playbook", "-i", self.inventory, PLAYBOOK, "-e", "quillmark_serial=%d" % self.serial]
        start = time.monotonic()
        run = subprocess.run(cmd + list(extra), env=env, capture_output=True, text=True, cwd=self.work)
        self.seconds = time.monotonic() - start
        print("  (%s %s: exit %d, %.1f s)" % (tag, " ".join(extra), run.returncode, self.seconds))
        recap = {}
        for m in re.finditer(r"^(\S+)\s+: ((?:\w+=\d+\s*)+)$", run.stdout, re.MULTILINE):
            recap[m[1]] = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", m[2])}
        if not recap:
            print(run.stdout[-3000:] + run.stderr[-3000:])
        records = []
        if os.path.exists(record):
            with open(record) as f:
                records = [json.loads(line) for line in f]
        return run.returncode, recap, records, run.stdout


def firmware_results(records, host):
    """The results of the quillmark_firmware tasks that ran on the host, in order."""
    return [r["result"] for r in records
            if r["host"] == host and r["status"] != "skipped" and "exit_code" in r["result"]]


def failure(records, host):
    """The first failed result of the host: (time, result), or (None, {})."""
    for r in records:
        if r["host"] == host and r["status"] == "failed":
            return r["time"], r["result"]
    return None, {}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    sim = os.path.join(build, "quillmark-sim")
    image = os.path.join(build, "sim-firmware.bin")
    table = module_exit_table()
    meanings = {code: text.replace("`", "") for code, text in table}

    rows = [(code, plain(text)) for code, text in table]
    for name, read in (("the README's", readme_exit_rows), ("the manual page's", manpage_exit_rows),
                       ("the Windows README.txt's", windows_readme_exit_rows)):
        seen = read()
        check(rows and seen == rows, name + " exit-code table reads as the module's, row for row",
              "\n".join(["rows that differ (document, then module):"] +
                        ["  %r\n  %r" % pair for pair in zip(seen + [None] * len(rows), rows) if pair[0] != pair[1]]))

    # The README's two ansible-doc commands read the module's and the role's documentation.
    for args in (["-M", os.path.join(ROOT, "ansible/roles/quillmark_firmware/library")],
                 ["-t", "role", "-r", os.path.join(ROOT, "ansible/roles")]):
        proc = subprocess.run(["ansible-doc"] + args + ["quillmark_firmware"], capture_output=True,
                              text=True)
        check(proc.returncode == 0 and "quillmark_firmware" in proc.stdout.lower(),
              "ansible-doc " + " ".join(args[:-1]) + " shows the documentation", proc.stderr[-400:])

    with tempfile.TemporaryDirectory(prefix="qm-ansible.") as work:
        # A plain fleet: one drive per host on the old revision, which from_revisions names.
        fleet = Fleet(work, sim, image, "host", 2, [[GOOD]] * 4,
                      {"host%d" % i: {"quillmark_from_revisions": ["SIM0.90", OLD]} for i in range(1, 5)})
        hosts = sorted(fleet.hosts)
        for host in hosts:  # each host's drive on record at the old revision
            with open(fleet.path(host, "state"), "w") as f:
                f.write("quillmark-sim state 1\nport %s %s - 0\nend\n" % (GOOD, OLD))
            fleet.revision(host, GOOD)
        before = fleet.state_bytes()

        rc, stats, records, out = fleet.play("--check", "--diff")
        diff = ("--- before: %s\n+++ after: %s\n@@ -1,3 +1,3 @@\n model: %s\n serial: %s\n"
                "-revision: %s\n+revision: %s\n" % (GOOD, GOOD, MODEL, SERIAL[0], OLD, NEW))
        check(rc == 0 and all(stats.get(h, {}).get("changed") == 1 for h in hosts) and
              out.count(diff) == len(hosts),
              "check mode: every host reports the download it would do, its revision as a diff",
              str(stats) + out[-2000:])
        check(fleet.state_bytes() == before and all(before.values()) and not fleet.downloads(),
              "check mode: no state file changed, no download")

        rc, stats, records, out = fleet.play()
        results = {h: firmware_results(records, h)[-1:] for h in hosts}
        digest = hashlib.sha256(open(image, "rb").read()).hexdigest()
        check(rc == 0 and all(stats.get(h, {}).get("changed") == 1 for h in hosts) and
              all(r and r[0].get("previous_revision") == OLD and r[0].get("new_revision") == NEW
                  for r in results.values()) and
              all(fleet.revision(h, GOOD) == NEW for h in hosts),
              "first run: every host changed, its drive runs %s, previous and new revision reported" % NEW,
              str(stats) + str(results))
        check(all(r and r[0]["report"]["drive_after"]["firmware"] == NEW and
                  r[0]["report"]["image"]["sha256"] == digest and
                  r[0]["cmd"][-5:] == ["--sha256", digest, "--expect-revision", NEW, "--json"]
                  for r in results.values()),
              "first run: the results carry the run report; the image's hash and the revision "
              "went to quillmark", str(results)[:2000])
        with open(MODULE, encoding="utf-8") as f:
            tree = ast.parse(f.read())
        imported = {a.name for n in ast.walk(tree) if isinstance(n, ast.Import) for a in n.names}
        imported |= {n.module for n in ast.walk(tree) if isinstance(n, ast.ImportFrom)}
        check("re" not in imported and "json" in imported,
              "the module reads the run report only: no regular expression in it", str(imported))

        rc, stats, records, out = fleet.play()
        check(rc == 0 and all(stats.get(h, {}).get("changed") == 0 for h in hosts) and
              len(fleet.downloads()) == len(hosts),
              "second run: no host changed, no download", str(stats))

        # Check mode meets every failure a download would meet before its first command, with
        # the message of the exit code quillmark itself ends such a download with; the real run
        # fails the same way, before any host of the batch, this good one too, downloads.
        oversized = os.path.join(work, "oversized.bin")
        with open(oversized, "wb") as f:
            f.truncate(65536 * 512)
        empty = os.path.join(work, "empty.bin")
        open(empty, "wb").close()
        wrong = "0" * 64
        cases = [  # drive, image, what it is, the image's hash given
            (MISSING, image, "an unknown drive", ""),
            (LOCKED, image, "a locked drive", ""),
            (NO_SAT, image, "a path without SCSI pass-through", ""),
            (GOOD, os.path.join(work, "no-such.bin"), "a missing image", ""),
            (GOOD, work, "an image that is a directory", ""),
            (GOOD, empty, "an empty image", ""),
            (GOOD, oversized, "an image over 65,535 blocks", ""),
            (GOOD, image, "an image without the hash given", wrong),
            (UNLOCKED, image, None, ""),
        ]
        pre = Fleet(work, sim, image, "pre", len(cases), [[c[0]] for c in cases],
                    {"pre%d" % i: {"quillmark_image": c[1], "quillmark_image_sha256": c[3]}
                     for i, c in enumerate(cases, 1)})
        runs = [pre.play("--check"), pre.play()]
        for i, (device, img, what, given) in enumerate(cases, 1):
            host = "pre%d" % i
            if what is None:
                check(runs[0][1].get(host, {}).get("changed") == 1 and not failure(runs[0][2], host)[0],
                      "check mode: a drive that can take the image reports the download", runs[0][1])
                continue
            tool_rc = pre.tool(host, device, "/D:" + img, "/s",
                               *(["--sha256", given] if given else [])).returncode
            got = [failure(records, host)[1].get("msg") for _, _, records, _ in runs]
            check(tool_rc in meanings and got == [meanings[tool_rc]] * 2,
                  "check mode and the real run: %s fails with the message of exit code %d" % (what, tool_rc),
                  str(got))
        check(runs[1][0] != 0 and not pre.downloads() and pre.revision("pre9", UNLOCKED) == OLD,
              "a failed check ends the rollout before any host of the batch downloads",
              str(pre.downloads()))

        # Drive by drive: the first drives of the batch download together; the aborting one
        # fails, a deferred image not activated fails after its download, and from then on
        # nothing starts: not the healthy host's second drive, not the later batch.
        stop = Fleet(work, sim, image, "stop", 3,
                     [[GOOD, UNLOCKED], [ABORTS, GOOD], [GOOD], [GOOD]],
                     {"stop3": {"quillmark_mode": "deferred"}})
        rc, stats, records, out = stop.play()
        t_fail = min([t for t in (failure(records, h)[0] for h in stop.hosts) if t] or [0])
        starts = stop.downloads()
        check(rc != 0 and sorted((h, s) for _, h, s in starts) ==
              sorted([("stop1", SERIAL[0]), ("stop2", SERIAL[4]), ("stop3", SERIAL[0])]) and
              all(t < t_fail for t, _, _ in starts) and
              stop.revision("stop1", UNLOCKED) == OLD and stop.state_bytes()["stop4"] is None,
              "after a failure no download starts on any host, in this batch or a later one",
              "failure at %.3f; downloads %s" % (t_fail, starts))
        aborted = failure(records, "stop2")[1]
        deferred = failure(records, "stop3")[1]
        check(aborted.get("msg") == meanings[1] and deferred.get("exit_code") == 0 and
              deferred.get("new_revision") == OLD and stop.revision("stop3", GOOD) == OLD,
              "an aborted download fails with its meaning, a deferred image not activated "
              "fails though the download succeeded", str(aborted.get("msg")) + str(deferred))

        # A drive on a revision that from_revisions does not name is not downgraded.
        other = Fleet(work, sim, image, "other", 2, [[GOOD], [GOOD]],
                      {"other1": {"quillmark_from_revisions": ["SIM0.90"]},
                       "other2": {"quillmark_from_revisions": ["SIM0.90"],
                                  "quillmark_on_other_revision": "skip"}})
        rc, stats, records, out = other.play()
        skipped = [r for r in records if r["host"] == "other2" and r["status"] == "skipped" and
                   r["result"].get("msg") == "running %s, which is not in from_revisions" % OLD]
        check(rc != 0 and failure(records, "other1")[1].get("msg") ==
              "running %s, which is not in from_revisions" % OLD and skipped and
              not other.downloads() and other.revision("other2", GOOD) == OLD,
              "a drive outside from_revisions fails the host, or is skipped", out[-2000:])

        # Drives chosen by model (and serial number) among the simulator's drives, one by one.
        by_model = {"quillmark_devices": None, "quillmark_model": MODEL}
        model = Fleet(work, sim, image, "model", 2, [[], []],
                      {"model1": dict(by_model, quillmark_serial_numbers=[SERIAL[0], SERIAL[2]]),
                       "model2": dict(by_model, quillmark_model="NO SUCH MODEL", quillmark_allow_none=True)})
        rc, stats, records, out = model.play()
        revisions = [model.revision("model1", d) for d in (GOOD, LOCKED, UNLOCKED, ABORTS)]
        check(rc == 0 and [s for _, _, s in model.downloads()] == [SERIAL[0], SERIAL[2]] and
              revisions == [NEW, OLD, NEW, OLD] and model.state_bytes()["model2"] is None
              and stats.get("model2", {}).get("changed") == 0,
              "drives of a model and serial numbers are updated, one after the other; a model "
              "that matches none passes when allowed", str(revisions) + out[-2000:])

        # Variables that would leave a host without an update fail it instead of passing it.
        # Each run holds the hosts that fail in one task (the first failure ends the play).
        invalid = [
            [({"quillmark_mode": "segmentd"}, "value of quillmark_mode must be one of"),
             ({"quillmark_image": None}, "missing required arguments: quillmark_image")],
            [({"quillmark_device": [GOOD], "quillmark_devices": None},
              "unknown variable quillmark_device (did you mean quillmark_devices?)"),
             ({"quillmark_devices": None}, "no drive to update on invalid2-2: neither")],
            [({"quillmark_devices": None, "quillmark_model": "NO SUCH MODEL"},
              "no drive of model NO SUCH MODEL")],
        ]
        for n, rows in enumerate(invalid, 1):
            name = "invalid%d-" % n
            bad = Fleet(work, sim, image, name, len(rows), [[GOOD]] * len(rows),
                        {name + str(i): v for i, (v, _) in enumerate(rows, 1)})
            rc, stats, records, out = bad.play("--check")
            for i, (_, message) in enumerate(rows, 1):
                got = failure(records, name + str(i))[1].get("msg", "")
                check(rc != 0 and message in got, "invalid variables fail the host: " + message, got)

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
