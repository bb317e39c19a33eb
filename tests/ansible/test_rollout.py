#!/usr/bin/env python3
"""The fleet rollout end to end: real ansible-playbook runs of ansible/rollout.yml over an
inventory of local hosts, each with a simulated drive of its own (quillmark-sim with its own
QUILLMARK_SIM_STATE file), in batches.

usage: test_rollout.py <build directory holding quillmark-sim and sim-firmware.bin>

Prints one line per check and "N passed, M failed"; exits 0 only when nothing failed.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PLAYBOOK = os.path.join(ROOT, "ansible", "rollout.yml")
OLD, NEW = "SIM1.00", "SIM2.00"
GOOD_DRIVE, LOCKED_DRIVE, MISSING_DRIVE = (r"\\.\PhysicalDrive%d" % n for n in (0, 1, 9))

passed = failed = 0


def check(ok, what, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print("PASS: " + what)
    else:
        failed += 1
        print("FAIL: " + what + (": " + detail[:800] if detail else ""))


def readme_meanings():
    """Exit code -> meaning, from the README's exit-code table."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    table = text.split("## Exit codes", 1)[1].split("\n## ", 1)[0]
    rows = re.finditer(r"^\| (\d+) \| (.+?) \|$", table, re.MULTILINE)
    return {int(m[1]): m[2].replace("`", "") for m in rows}


class Fleet:
    def __init__(self, work, sim, image, name, serial, devices, extra=None):
        """devices: one drive path per host, hosts named <name>1, <name>2, ...; extra: more
        variables of some hosts; serial: the batch size."""
        self.work, self.sim, self.serial = work, sim, serial
        self.hosts = {}
        for i, device in enumerate(devices, 1):
            host = "%s%d" % (name, i)
            self.hosts[host] = {
                "ansible_connection": "local",
                "ansible_python_interpreter": "/usr/bin/python3",
                "ansible_become": False,
                "quillmark_tool": sim,
                "quillmark_image": image,
                "quillmark_revision": NEW,
                "quillmark_devices": [device],
                "quillmark_environment": {"QUILLMARK_SIM_STATE": self.state(host)},
            }
            self.hosts[host].update((extra or {}).get(host, {}))
        self.inventory = os.path.join(work, name + "-inventory.json")
        with open(self.inventory, "w") as f:
            json.dump({"quillmark_fleet": {"hosts": self.hosts}}, f)

    def state(self, host):
        return os.path.join(self.work, host + ".state")

    def state_bytes(self):
        out = {}
        for host in self.hosts:
            try:
                with open(self.state(host), "rb") as f:
                    out[host] = f.read()
            except FileNotFoundError:
                out[host] = None
        return out

    def revision(self, host):
        """The running revision of the host's drive, asked of quillmark-sim directly."""
        env = dict(os.environ, QUILLMARK_SIM_STATE=self.state(host))
        device = self.hosts[host]["quillmark_devices"][0]
        out = subprocess.run([self.sim, device, "/i"], env=env, capture_output=True, text=True)
        m = re.search(r"^  FW: (.*)$", out.stdout, re.MULTILINE)
        return m.group(1) if m else None

    def play(self, *extra):
        """Runs the rollout; returns (exit code, per-host recap counts, per-host module results)."""
        self.runs = getattr(self, "runs", 0) + 1
        tree = os.path.join(self.work, "tree-%s-%d" % (os.path.basename(self.inventory), self.runs))
        env = dict(
            os.environ,
            ANSIBLE_HOME=os.path.join(self.work, "ansible-home"),
            ANSIBLE_LOCAL_TEMP=os.path.join(self.work, "ansible-tmp"),
            ANSIBLE_CALLBACKS_ENABLED="tree",  # each host's last result as a JSON file
            ANSIBLE_CALLBACK_TREE_DIR=tree,
            ANSIBLE_NOCOLOR="1",
            ANSIBLE_RETRY_FILES_ENABLED="0",
            ANSIBLE_LOCALHOST_WARNING="0",
        )
        cmd = ["ansible-playbook", "-i", self.inventory, PLAYBOOK, "-e", "quillmark_serial=%d" % self.serial]
        start = time.monotonic()
        run = subprocess.run(cmd + list(extra), env=env, capture_output=True, text=True, cwd=self.work)
        print("  (ansible-playbook %s: exit %d, %.1f s)" % (" ".join(extra), run.returncode,
                                                         time.monotonic() - start))
        recap = {}
        for m in re.finditer(r"^(\S+)\s+: ((?:\w+=\d+\s*)+)$", run.stdout, re.MULTILINE):
            recap[m[1]] = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", m[2])}
        if not recap:
            print(run.stdout[-3000:] + run.stderr[-3000:])
        results = {}
        for host in os.listdir(tree) if os.path.isdir(tree) else []:
            with open(os.path.join(tree, host)) as f:
                results[host] = json.load(f).get("results", [{}])[0]
        return run.returncode, recap, results


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    sim = os.path.join(build, "quillmark-sim")
    image = os.path.join(build, "sim-firmware.bin")
    meanings = readme_meanings()

    with tempfile.TemporaryDirectory(prefix="qm-ansible.") as work:
        fleet = Fleet(work, sim, image, "host", 2, [GOOD_DRIVE] * 4)
        hosts = sorted(fleet.hosts)
        for host in hosts:  # each host's drive on record at the old revision
            with open(fleet.state(host), "w") as f:
                f.write("quillmark-sim state 1\nport %s SIM1.00 - 0\nend\n" % GOOD_DRIVE)
            fleet.revision(host)
        before = fleet.state_bytes()

        rc, stats, results = fleet.play("--check")
        check(rc == 0 and all(stats.get(h, {}).get("changed") == 1 for h in hosts),
              "check mode: every host reports the download it would do", str(stats))
        check(fleet.state_bytes() == before and all(before.values()),
              "check mode: no state file changed")

        rc, stats, results = fleet.play()
        revisions = {h: fleet.revision(h) for h in hosts}
        check(rc == 0 and all(stats.get(h, {}).get("changed") == 1 for h in hosts),
              "first run: every host changed", str(stats))
        check(all(results.get(h, {}).get("previous_revision") == OLD and
                  results.get(h, {}).get("new_revision") == NEW for h in hosts),
              "first run: previous and new revision reported",
              str({h: (r.get("previous_revision"), r.get("new_revision")) for h, r in results.items()}))
        check(all(r == NEW for r in revisions.values()),
              "first run: every drive runs " + NEW, str(revisions))

        rc, stats, results = fleet.play()
        check(rc == 0 and all(stats.get(h, {}).get("changed") == 0 and
                              stats.get(h, {}).get("ok") == 1 for h in hosts),
              "second run: no host changed", str(stats))

        # Batch 1: an unknown drive, a locked one, a deferred image never activated (the tool
        # succeeds, the drive keeps its revision) and a good drive; batch 2 must never start,
        # though not every host of batch 1 failed.
        broken = Fleet(work, sim, image, "broken", 4, [MISSING_DRIVE, LOCKED_DRIVE] + [GOOD_DRIVE] * 3,
                       {"broken3": {"quillmark_mode": "deferred"}})
        rc, stats, results = broken.play()
        check(rc != 0 and results.get("broken2", {}).get("msg") == meanings[6] and
              results["broken2"].get("exit_code") == 6,
              "locked drive: fails with \"%s\"" % meanings[6], str(results.get("broken2")))
        check(results.get("broken1", {}).get("msg") == meanings[2],
              "unknown drive: fails with \"%s\"" % meanings[2], str(results.get("broken1")))
        deferred = results.get("broken3", {})
        check(deferred.get("failed") and deferred.get("exit_code") == 0 and
              deferred.get("new_revision") == OLD and broken.revision("broken3") == OLD,
              "deferred image not activated: the download succeeds, the task fails", str(deferred))
        untouched = "broken5" not in stats and "broken5" not in results
        check(stats.get("broken4", {}).get("changed") == 1 and untouched and
              broken.state_bytes()["broken5"] is None,
              "the batch finishes, the later batch is not touched", str(stats))

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
