#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: quillmark_firmware
short_description: Bring a SATA drive's firmware to a given revision with Quillmark
description:
  - Reads the drive's firmware revision with C(quillmark <device> /i). When the drive already
    runs the wanted revision nothing else happens and the task reports no change, so a play
    can be run again without touching drives that are done.
  - Otherwise downloads the image with Quillmark, reads the revision again and fails unless the
    drive now runs the wanted revision.
  - In check mode only the revision is read; the task reports whether a download would run.
  - A failed run fails the task with the meaning of Quillmark's exit code as the message (for
    example "the drive's security state forbids the download" for a locked drive).
options:
  device:
    description:
      - The drive as Quillmark's first argument, with its prefix, for example C(/dev/sda),
        C(/T:/dev/sdb) or C(\\.\PhysicalDrive0).
    type: str
    required: true
  image:
    description: Path of the firmware image on the managed host.
    type: path
    required: true
  revision:
    description: The firmware revision the image brings, as C(/i) shows it after C(FW:).
    type: str
    required: true
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
    mode: segmented
    retries: 2
"""

RETURN = r"""
previous_revision:
  description: The firmware revision the drive ran before the task.
  returned: when the revision could be read
  type: str
new_revision:
  description: The firmware revision the drive runs after the task (in check mode, the one it would run).
  returned: when the revision could be read
  type: str
exit_code:
  description:
    - Exit code of the last quillmark run.
    - Not called C(rc), because Ansible takes a non-zero C(rc) as a failed task, and reading the
      revision with C(/i) always ends with 10.
  returned: when quillmark ran
  type: int
exit_meaning:
  description: What that exit code means, from Quillmark's exit-code table.
  returned: when quillmark ran
  type: str
cmd:
  description: The command line of the last quillmark run.
  returned: when quillmark ran
  type: list
stdout:
  description: Standard output of the last quillmark run.
  returned: when quillmark ran
  type: str
stderr:
  description: Error stream of the last quillmark run.
  returned: when quillmark ran
  type: str
model:
  description: The drive's model number.
  returned: when the revision could be read
  type: str
serial:
  description: The drive's serial number.
  returned: when the revision could be read
  type: str
"""

import os
import re

from ansible.module_utils.basic import AnsibleModule

# Quillmark's exit codes and what they mean (the README's table).
EXIT_MEANINGS = {
    0: "firmware update succeeded",
    1: "the drive reported an error (failed for device reasons), or the run was interrupted",
    2: "no target device found (the drive could not be opened or addressed), or another run holds the drive",
    4: "the firmware file could not be used (missing, empty, unreadable, larger than 65,535 blocks)",
    5: "the drive's ATA Error register read 0x84",
    6: "the drive's security state forbids the download",
    8: "no argument, /h, --license, or a command-line error",
    9: "the target's interface does not support this pass-through",
    10: "the run ended after /i, or any other failure (a CSMI target not resolved, a request not carried)",
}

# Exit code of a run that stopped after printing the drive information.
EXIT_INFO = 10

# Codes that end a download run before any DOWNLOAD MICROCODE reaches the drive: the drive
# cannot have been changed.
EXIT_NOTHING_SENT = (2, 4, 6, 8)

MODE_OPTIONS = {"segmented": ["/s"], "deferred": ["/e"], "immediate": []}


def meaning(rc):
    if rc in EXIT_MEANINGS:
        return EXIT_MEANINGS[rc]
    if rc < 0:
        return "quillmark was ended by signal %d" % -rc
    return "exit code %d, which quillmark does not document" % rc


def info_field(stdout, name):
    """The value of one line of the device information report ("  FW: SIM1.00")."""
    match = re.search(r"^  %s: (.*?)\s*$" % re.escape(name), stdout, re.MULTILINE)
    return match.group(1) if match else None


class Run(object):
    def __init__(self, module, args):
        self.cmd = args
        self.rc, self.stdout, self.stderr = module.run_command(args, check_rc=False)

    def report(self):
        return dict(
            cmd=self.cmd,
            exit_code=self.rc,
            exit_meaning=meaning(self.rc),
            stdout=self.stdout,
            stderr=self.stderr,
        )


def read_drive(module, result):
    """Runs /i; returns the drive's firmware revision or fails the task."""
    p = module.params
    run = Run(module, [p["tool"], p["device"], "/i"])
    result.update(run.report())
    revision = info_field(run.stdout, "FW")
    if run.rc == EXIT_INFO and revision is not None:
        result["model"] = info_field(run.stdout, "MN")
        result["serial"] = info_field(run.stdout, "SN")
        return revision
    if run.rc == EXIT_INFO:
        module.fail_json(
            msg="the drive information shows no firmware revision (%s)" % meaning(run.rc), **result
        )
    module.fail_json(msg=meaning(run.rc), **result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            device=dict(type="str", required=True),
            image=dict(type="path", required=True),
            revision=dict(type="str", required=True),
            mode=dict(type="str", default="segmented", choices=list(MODE_OPTIONS)),
            activate=dict(type="bool", default=False),
            segment_size=dict(type="int", default=64),
            retries=dict(type="int", default=0),
            tool=dict(type="path", default="/usr/sbin/quillmark"),
            verbose=dict(type="bool", default=False),
        ),
        supports_check_mode=True,
    )
    p = module.params
    wanted = p["revision"].strip()
    result = dict(changed=False)

    # The tool takes only the low 8 bits of /g and silently keeps 64 for a multiple of 256;
    # a playbook value it would not use as written is refused here instead.
    if not 1 <= p["segment_size"] <= 255:
        module.fail_json(msg="segment_size must be 1 to 255, not %d" % p["segment_size"])
    if p["retries"] < 0:
        module.fail_json(msg="retries must not be negative, not %d" % p["retries"])
    if not wanted:
        module.fail_json(msg="revision must not be empty")
    if not (os.path.isfile(p["tool"]) and os.access(p["tool"], os.X_OK)):
        module.fail_json(msg="the quillmark program %s is not there or cannot be run" % p["tool"])

    previous = read_drive(module, result)
    result["previous_revision"] = previous
    if previous == wanted:
        result["new_revision"] = previous
        module.exit_json(**result)

    result["changed"] = True
    if module.check_mode:
        result["new_revision"] = wanted
        module.exit_json(**result)

    args = [p["tool"], p["device"], "/D:" + p["image"]] + MODE_OPTIONS[p["mode"]]
    if p["activate"]:
        args.append("/a")
    args += ["/g", str(p["segment_size"]), "/r", str(p["retries"])]
    if p["verbose"]:
        args.append("/v")
    download = Run(module, args)
    result.update(download.report())
    if download.rc != 0:
        result["changed"] = download.rc not in EXIT_NOTHING_SENT
        module.fail_json(msg=meaning(download.rc), **result)

    # The exit code says the drive took the image; only the drive itself can say that it runs
    # the revision the play asked for (a different image, or a deferred one not yet active).
    after = read_drive(module, dict(result))
    result["new_revision"] = after
    if after != wanted:
        msg = "the drive runs firmware %s after the download, not %s" % (after, wanted)
        if p["mode"] == "deferred" and not p["activate"]:
            msg += " (a deferred image runs only once it is activated)"
        module.fail_json(msg=msg, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
