#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: quillmark_firmware
short_description: Bring a SATA drive's firmware to a given revision with Quillmark
description:
  - Every quillmark run is made with C(--json), and the module reads the run report (the JSON
    document on standard output) only, never the console texts.
  - Reads the drive's firmware revision with C(quillmark <device> /i). When the drive already
    runs the wanted revision nothing else happens and the task reports no change, so a play
    can be run again without touching drives that are done.
  - Otherwise downloads the image with Quillmark, with the image's SHA-256 (C(--sha256)) and the
    wanted revision (C(--expect-revision)), and fails unless the drive runs the wanted revision
    afterwards.
  - In check mode the same command runs with C(--dry-run), and Quillmark itself goes as far as the
    first command that would change the drive (the drive answers on its path, its security
    state allows a download, the image can be read and has its hash) and sends nothing, so
    check mode fails where the download would fail for these reasons, with the same message.
  - A failed run fails the task with the meaning of Quillmark's exit code as the message (for
    example "the drive's security state forbids the download" for a locked drive); the meanings
    are those of the exit-code table in Quillmark's README.
  - With I(model) in place of I(device) the module only finds drives, updating none; it
    returns the drives of that model (and of the given serial numbers) in I(devices), so that a
    play can update them one after another.
author:
  - Tolvane
requirements:
  - the C(quillmark) package on the managed host (C(/usr/sbin/quillmark)), a version with
    C(--json), C(--sha256), C(--expect-revision) and C(--dry-run)
  - root on the managed host (C(become)), as Quillmark sends commands to the drive
attributes:
  check_mode:
    description: Runs the download with C(--dry-run); never downloads.
    support: full
  diff_mode:
    description: Shows the drive's revision before and after, with its model and serial number.
    support: full
options:
  device:
    description:
      - The drive as Quillmark's first argument, with its prefix, for example C(/dev/sda),
        C(/T:/dev/sdb) or C(\\.\PhysicalDrive0).
      - One of I(device) and I(model) is required.
    type: str
  model:
    description:
      - Find the candidate drives whose model number (C(MN:) of C(/i)) is this one, and return
        them in I(devices); nothing is downloaded.
      - Fails when no drive matches, unless I(allow_none=true).
    type: str
  serials:
    description:
      - With I(model), only the drives of these serial numbers; a serial number that is not
        found among the drives of the model fails the task.
    type: list
    elements: str
    default: []
  candidates:
    description:
      - With I(model), the drives to look at, as Quillmark's first argument; each is asked
        with C(/i), and one that does not answer is listed in I(unreadable) and left out.
      - When empty, the drives are those C(quillmark --list --json) finds (every drive the
        system presents and every CSMI drive, each named as the first argument takes it); a
        drive the list could not use, or that another run held, is listed in I(unreadable).
    type: list
    elements: str
    default: []
  allow_none:
    description: With I(model), succeed when no drive matches.
    type: bool
    default: false
  image:
    description:
      - Path of the firmware image on the managed host.
      - Required with I(device).
    type: path
  image_sha256:
    description:
      - The image's SHA-256 (64 hexadecimal digits), as its vendor publishes it; Quillmark
        sends nothing of a pass whose image does not have it.
      - When not given, the module hashes the image on the managed host once per run and
        passes that, so that an image replaced during the run is not sent.
    type: str
  revision:
    description:
      - The firmware revision the image brings, as C(/i) shows it after C(FW:).
      - Required with I(device).
    type: str
  from_revisions:
    description:
      - Revisions are vendor strings with no order that can be trusted, so a drive on an older
        or a later revision look alike. When this list is given, only a drive running one of
        these revisions is updated; a drive on any other revision but I(revision) fails the
        task with "running X, which is not in from_revisions", or is skipped with
        I(on_other_revision=skip).
      - When empty, every drive not on I(revision) is updated.
    type: list
    elements: str
    default: []
  on_other_revision:
    description: What a drive on a revision outside I(from_revisions) does to the task.
    type: str
    choices: [fail, skip]
    default: fail
  mode:
    description:
      - C(segmented) (C(/s)), C(deferred) (C(/e)) or C(immediate) (the whole image in one
        command).
      - A deferred image runs only once it is activated, so use it with I(activate=true).
    type: str
    choices: [segmented, deferred, immediate]
    default: segmented
  activate:
    description: Run the activate pass (C(/a)) after the download.
    type: bool
    default: false
  segment_size:
    description: Segment size in 512-byte blocks (C(/g)), 1 to 255.
    type: int
    default: 64
  retries:
    description: Retry a failed download up to this many times (C(/r)); 2 s pause after each pass.
    type: int
    default: 0
  tool:
    description: Path of the quillmark program.
    type: path
    default: /usr/sbin/quillmark
  verbose:
    description: Run the download with C(/v), so that the output shows every command.
    type: bool
    default: false
"""

EXAMPLES = r"""
- name: Drive firmware at QX42
  quillmark_firmware:
    device: /dev/sdb
    image: /var/lib/firmware/qx42.bin
    revision: QX42
    from_revisions: [QX40, QX41]
    mode: segmented
    retries: 2

- name: Drives of the model that takes QX42
  quillmark_firmware:
    model: QX SSD 960
  register: qx_drives
"""

RETURN = r"""
previous_revision:
  description: The firmware revision the drive ran before the task.
  returned: with I(device), when the revision could be read
  type: str
  sample: SIM1.00
new_revision:
  description: The firmware revision the drive runs after the task (in check mode, the one it would run).
  returned: with I(device), when the revision could be read
  type: str
  sample: SIM2.00
exit_code:
  description:
    - Exit code of the last quillmark run.
    - Not called C(rc), because Ansible takes a non-zero C(rc) as a failed task, and reading the
      revision with C(/i) always ends with 10.
  returned: when quillmark ran
  type: int
  sample: 0
exit_meaning:
  description: What that exit code means, from Quillmark's exit-code table.
  returned: when quillmark ran
  type: str
  sample: the drive reported an error (failed for device reasons), or the run was interrupted
cmd:
  description: The command line of the last quillmark run.
  returned: when quillmark ran
  type: list
  elements: str
  sample: ["/usr/sbin/quillmark", "/dev/sdb", "/D:/var/lib/firmware/qx42.bin", "/s", "/g", "64", "/r", "2"]
report:
  description:
    - The run report of the last quillmark run, as Quillmark wrote it (its form is
      quillmark-report.schema.json); null when the run wrote none.
  returned: when quillmark ran
  type: dict
stdout:
  description: Standard output of the last quillmark run (the run report).
  returned: when quillmark ran
  type: str
stderr:
  description: Error stream of the last quillmark run (the console texts).
  returned: when quillmark ran
  type: str
  sample: ""
image_problem:
  description: Why the image cannot be used, when that failed the task.
  returned: when the image cannot be used
  type: str
  sample: "Cannot use the firmware file /var/lib/firmware/qx42.bin: No such file or directory"
model:
  description: The drive's model number.
  returned: with I(device), when the revision could be read
  type: str
  sample: QUILLMARK SIM SSD 480
serial:
  description: The drive's serial number.
  returned: with I(device), when the revision could be read
  type: str
  sample: QMSIM0000000001
devices:
  description: With I(model), the matching drives, in the order they were found.
  returned: with I(model)
  type: list
  elements: str
  sample: ["/dev/sda", "/dev/sdc"]
drives:
  description: With I(model), every candidate that answered C(/i).
  returned: with I(model)
  type: list
  elements: dict
  sample: [{"device": "/dev/sda", "model": "QX SSD 960", "serial": "S1", "revision": "QX41"}]
unreadable:
  description:
    - With I(model), the candidates that did not answer C(/i), with the meaning of the exit
      code; or the drives the list could not use, with why (C(exit_code) is then null).
  returned: with I(model)
  type: list
  elements: dict
  sample: [{"device": "/dev/sdb", "exit_code": 9, "exit_meaning": "the target's interface does not support this pass-through"}]
"""

import hashlib
import json
import os

from ansible.module_utils.basic import AnsibleModule

# Quillmark's exit codes and what they mean. This is the one home of the wording: the README's
# exit-code table must read the same, row for row (the rollout test holds them together), and
# it travels to the managed hosts inside this file, with nothing else to install there.
EXIT_TABLE = (
    (0, "firmware update succeeded; after `--scan` and `--list`, unless it was interrupted; after "
        "`--dry-run`, the download would start"),
    (1, "the drive reported an error (failed for device reasons), or the run was interrupted"),
    (2, "no target device found (the drive could not be opened or addressed), or another run "
        "holds the drive"),
    (4, "the firmware file could not be used (missing, not a regular file, empty, unreadable, "
        "larger than 65,535 blocks)"),
    (5, "the drive's ATA Error register read 0x84"),
    (6, "the drive's security state forbids the download"),
    (8, "no argument, `/h`, `--license`, or a command-line error"),
    (9, "the target's interface does not support this pass-through"),
    (10, "the run ended after `/i`, `--list` found no drive at all, or any other failure (a CSMI "
         "target not resolved, a request not carried)"),
)

EXIT_MEANINGS = dict((code, text.replace("`", "")) for code, text in EXIT_TABLE)

EXIT_FILE = 4

# Exit code of a run that stopped after printing the drive information.
EXIT_INFO = 10

# Codes that end a download run before any DOWNLOAD MICROCODE reaches the drive: the drive
# cannot have been changed.
EXIT_NOTHING_SENT = (2, 4, 6, 8)

MODE_OPTIONS = {"segmented": ["/s"], "deferred": ["/e"], "immediate": []}

# Exit codes of "--list": drives found, and none found at all.
EXIT_LISTED = (0, 10)


def meaning(rc):
    if rc in EXIT_MEANINGS:
        return EXIT_MEANINGS[rc]
    if rc < 0:
        return "quillmark was ended by signal %d" % -rc
    return "exit code %d, which quillmark does not document" % rc


class Run(object):
    """One quillmark run with --json: its exit code and the run report it wrote."""

    def __init__(self, module, args):
        self.cmd = args + ["--json"]
        self.rc, self.stdout, self.stderr = module.run_command(self.cmd, check_rc=False)
        try:
            self.doc = json.loads(self.stdout)
        except ValueError:
            self.doc = None
        if not isinstance(self.doc, dict):
            self.doc = None

    def fact(self, *path):
        """A fact of the report (None where the run did not reach it)."""
        value = self.doc
        for key in path:
            if not isinstance(value, dict):
                return None
            value = value.get(key)
        return value

    def report(self):
        return dict(
            cmd=self.cmd,
            exit_code=self.rc,
            exit_meaning=meaning(self.rc),
            report=self.doc,
            stdout=self.stdout,
            stderr=self.stderr,
        )


def identify(module, device):
    """Runs /i; returns (run, the drive's fields) with the fields None unless it answered."""
    run = Run(module, [module.params["tool"], device, "/i"])
    before = run.fact("drive_before")
    if run.rc != EXIT_INFO or not before or not before.get("firmware"):
        return run, None
    return run, dict(
        device=device,
        model=before.get("model"),
        serial=before.get("serial"),
        revision=before["firmware"],
    )


def read_drive(module, result):
    """Runs /i on the task's drive; returns its fields or fails the task."""
    run, drive = identify(module, module.params["device"])
    result.update(run.report())
    if drive is not None:
        result["model"] = drive["model"]
        result["serial"] = drive["serial"]
        return drive
    if run.rc == EXIT_INFO:
        module.fail_json(
            msg="the drive information shows no firmware revision (%s)" % meaning(run.rc), **result
        )
    module.fail_json(msg=meaning(run.rc), **result)


def image_digest(path):
    """The image's SHA-256 as the managed host reads it, or None when it cannot be read (the
    quillmark run then names the reason)."""
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(1 << 20), b""):
                digest.update(chunk)
    except (IOError, OSError):
        return None
    return digest.hexdigest()


def download_args(module, digest):
    p = module.params
    args = [p["tool"], p["device"], "/D:" + p["image"]] + MODE_OPTIONS[p["mode"]]
    if p["activate"]:
        args.append("/a")
    args += ["/g", str(p["segment_size"]), "/r", str(p["retries"])]
    if digest:
        args += ["--sha256", digest]
    # A deferred image without the activate pass is not active after the run: quillmark takes
    # no revision to expect of it, and the module says why the drive still runs the old one.
    if p["mode"] != "deferred" or p["activate"]:
        args += ["--expect-revision", p["revision"].strip()]
    if p["verbose"]:
        args.append("/v")
    return args


def failed_run(module, run, result):
    """Fails the task for a quillmark run that did not end with 0."""
    if run.rc == EXIT_FILE and run.fact("cause"):
        result["image_problem"] = run.fact("cause")
    after = run.fact("drive_after", "firmware")
    passes = run.fact("passes") or []
    took = bool(passes) and passes[-1].get("result") == "success"
    wanted = module.params["revision"].strip()
    if run.rc == 1 and took and after is not None and after != wanted:
        result["new_revision"] = after
        module.fail_json(
            msg="the drive runs firmware %s after the download, not %s" % (after, wanted), **result
        )
    module.fail_json(msg=meaning(run.rc), **result)


def diff_of(drive, before, after):
    context = "model: %s\nserial: %s\n" % (drive["model"], drive["serial"])
    return dict(
        before_header=drive["device"],
        after_header=drive["device"],
        before=context + "revision: %s\n" % before,
        after=context + "revision: %s\n" % after,
    )


def listed_drives(module, result):
    """The drives "--list --json" finds: (device, its fields), the others in unreadable."""
    run = Run(module, [module.params["tool"], "--list"])
    rows = run.fact("list", "drives")
    if not isinstance(rows, list):
        rows = None
    if run.rc not in EXIT_LISTED or rows is None:
        result.update(run.report())
        module.fail_json(msg="the drive list cannot be read: %s" % meaning(run.rc), **result)
    found = []
    for row in rows:
        device = row["path"]["text"]
        drive = row["drive"]
        if drive is None:
            why = row["why_unusable"]
            if row["held_by_another_run"]:
                why = "held by another run" + (
                    " (process %d)" % row["holder_pid"] if row["holder_pid"] else "")
            result["unreadable"].append(dict(device=device, exit_code=None, exit_meaning=why))
            continue
        found.append(dict(device=device, model=drive["model"], serial=drive["serial"],
                          revision=drive["firmware"]))
    return found


def candidate_drives(module, result):
    """The named candidates that answer /i; the others in unreadable."""
    found = []
    for device in module.params["candidates"]:
        run, drive = identify(module, device)
        if drive is None:
            result["unreadable"].append(
                dict(device=device, exit_code=run.rc, exit_meaning=meaning(run.rc))
            )
            continue
        found.append(drive)
    return found


def find_drives(module):
    p = module.params
    result = dict(changed=False, devices=[], drives=[], unreadable=[])
    drives = candidate_drives(module, result) if p["candidates"] else listed_drives(module, result)
    for drive in drives:
        result["drives"].append(drive)
        if drive["model"] == p["model"].strip() and (
            not p["serials"] or drive["serial"] in p["serials"]
        ):
            result["devices"].append(drive["device"])

    found = set(d["serial"] for d in result["drives"] if d["device"] in result["devices"])
    missing = [s for s in p["serials"] if s not in found]
    if missing:
        module.fail_json(
            msg="no drive of model %s with serial number %s" % (p["model"], ", ".join(missing)),
            **result
        )
    if not result["devices"] and not p["allow_none"]:
        module.fail_json(
            msg="no drive of model %s among the %d drives that answered" % (
                p["model"], len(result["drives"])),
            **result
        )
    module.exit_json(**result)


def update_drive(module):
    p = module.params
    wanted = p["revision"].strip()
    result = dict(changed=False)
    if not wanted:
        module.fail_json(msg="revision must not be empty")

    drive = read_drive(module, result)
    previous = drive["revision"]
    result["previous_revision"] = previous
    if previous == wanted:
        result["new_revision"] = previous
        module.exit_json(**result)
    if p["from_revisions"] and previous not in p["from_revisions"]:
        result["new_revision"] = previous
        msg = "running %s, which is not in from_revisions" % previous
        if p["on_other_revision"] == "skip":
            module.exit_json(skipped=True, msg=msg, **result)
        module.fail_json(msg=msg, **result)

    digest = p["image_sha256"] or image_digest(p["image"])
    args = download_args(module, digest)
    if module.check_mode:
        # Quillmark rehearses the download itself: everything up to the first command that
        # would change the drive, with the exit code the download would end with there.
        rehearsal = Run(module, args + ["--dry-run"])
        result.update(rehearsal.report())
        for warning in rehearsal.fact("warnings") or []:
            module.warn(warning)
        if rehearsal.rc != 0:
            failed_run(module, rehearsal, result)
        result["changed"] = True
        result["new_revision"] = wanted
        if module._diff:
            result["diff"] = diff_of(drive, previous, wanted)
        module.exit_json(**result)

    result["changed"] = True
    download = Run(module, args)
    result.update(download.report())
    if download.rc != 0:
        result["changed"] = download.rc not in EXIT_NOTHING_SENT
        failed_run(module, download, result)

    # The exit code says the drive took the image and, unless the image was deferred and not
    # activated, that it runs the revision asked for; the report says what it runs.
    after = download.fact("drive_after", "firmware")
    result["new_revision"] = after
    if module._diff:
        result["diff"] = diff_of(drive, previous, after)
    if after != wanted:
        msg = "the drive runs firmware %s after the download, not %s" % (after, wanted)
        if p["mode"] == "deferred" and not p["activate"]:
            msg += " (a deferred image runs only once it is activated)"
        module.fail_json(msg=msg, **result)
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            device=dict(type="str"),
            model=dict(type="str"),
            serials=dict(type="list", elements="str", default=[]),
            candidates=dict(type="list", elements="str", default=[]),
            allow_none=dict(type="bool", default=False),
            image=dict(type="path"),
            image_sha256=dict(type="str"),
            revision=dict(type="str"),
            from_revisions=dict(type="list", elements="str", default=[]),
            on_other_revision=dict(type="str", default="fail", choices=["fail", "skip"]),
            mode=dict(type="str", default="segmented", choices=list(MODE_OPTIONS)),
            activate=dict(type="bool", default=False),
            segment_size=dict(type="int", default=64),
            retries=dict(type="int", default=0),
            tool=dict(type="path", default="/usr/sbin/quillmark"),
            verbose=dict(type="bool", default=False),
        ),
        required_one_of=[("device", "model")],
        mutually_exclusive=[("device", "model")],
        required_by=dict(device=("image", "revision")),
        supports_check_mode=True,
    )
    p = module.params

    # The tool takes only the low 8 bits of /g and silently keeps 64 for a multiple of 256;
    # a playbook value it would not use as written is refused here instead.
    if not 1 <= p["segment_size"] <= 255:
        module.fail_json(msg="segment_size must be 1 to 255, not %d" % p["segment_size"])
    if p["retries"] < 0:
        module.fail_json(msg="retries must not be negative, not %d" % p["retries"])
    if not (os.path.isfile(p["tool"]) and os.access(p["tool"], os.X_OK)):
        module.fail_json(msg="the quillmark program %s is not there or cannot be run" % p["tool"])

    if p["model"] is not None:
        find_drives(module)
    update_drive(module)


if __name__ == "__main__":
    main()
