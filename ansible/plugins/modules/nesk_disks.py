#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright the neskutils developers
# Licensed under the Apache License, Version 2.0 (see LICENSE in the repository)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: nesk_disks
short_description: Report which disks of a node are new, with nesk-disks
version_added: "1.0.0"
description:
  - Runs C(nesk-disks --json) on the managed node and returns its document as the fact
    C(nesk_disks) and as C(report).
  - A disk is new when the node's block device manager finds it unused; see nesk-disks(8).
  - The module never changes anything on the node, also outside check mode. To look for the
    appliance's stamp, C(nesk-disks) itself mounts each unused disk on a directory of its own
    for a moment and unmounts it.
  - When an in-use enumeration (LVM, mounts, software RAID) failed, the report is incomplete and a
    disk shown as new may be in use. The task still succeeds, with C(incomplete) true and the
    failed enumerations in C(failed_enumerations), so that a playbook can refuse to act on it.
  - Fails with the tool's own message when it cannot run or refuses its arguments, when a probe
    mount was left behind, and when it was stopped by a signal.
author:
  - neskutils developers (!UNKNOWN)
options:
  min_size:
    description:
      - Disks smaller than this are not new.
      - A size as C(nesk-disks --min-size) takes it, for example C(500G), C(1.5T), C(960GB) or
        a number of bytes.
    type: str
  strict:
    description:
      - Any caution (a partition table, a signature, a holder, swap, an unreadable disk) counts
        as a reason not to call a disk new.
    type: bool
    default: false
  all:
    description:
      - List every discovered disk with the reasons it is not new, and the disks discovery
        skipped, instead of the new disks alone.
    type: bool
    default: false
  nvme:
    description:
      - Look at NVMe namespaces too. C(false) passes C(--no-nvme).
    type: bool
    default: true
  timeout:
    description:
      - Passed to C(nesk-disks) as C(--timeout) only when set, in seconds; C(0) waits without
        a limit. When unset the tool's own default applies; see nesk-disks(8).
    type: int
  binary:
    description:
      - Path of the C(nesk-disks) program, or a name looked up on the node's C(PATH) and in
        C(/usr/sbin) and C(/usr/local/bin).
    type: str
    default: nesk-disks
notes:
  - Needs root on the node (use C(become) or connect as root).
  - Supports check mode; the report is the same in it.
  - The document's C(format) must be 1; later versions of the tool only add keys to it.
  - The manual page nesk-disks(8) describes the tool and its document.
'''

EXAMPLES = r'''
- name: Find the new disks of every node
  neskutils.disks.nesk_disks:
    min_size: 500G
  become: true

- name: Refuse to provision from an incomplete report
  ansible.builtin.assert:
    that: nesk_disks.complete
    fail_msg: "could not enumerate {{ nesk_disks.incomplete | join(', ') }}: a new disk may be in use"

- name: Hand the new disks to storage
  ansible.builtin.debug:
    msg: "{{ nesk_disks.disks | map(attribute='device') | list }}"

- name: Every disk with the reasons it is not new, cautions counting as reasons
  neskutils.disks.nesk_disks:
    all: true
    strict: true
    timeout: 120
  register: every_disk
'''

RETURN = r'''
report:
  description:
    - The document C(nesk-disks --json) printed, also set as the fact C(nesk_disks).
    - Keys may be added by later versions of the tool; the ones below are always there.
  returned: success, and when a probe mount was left
  type: dict
  contains:
    format:
      description: Version of the document's layout, 1.
      type: int
      sample: 1
    version:
      description: Version of nesk-disks.
      type: str
      sample: 1.0.0
    complete:
      description: Whether every in-use enumeration succeeded.
      type: bool
      sample: true
    incomplete:
      description: The enumerations that failed, among C(lvm), C(mount) and C(raid).
      type: list
      elements: str
      sample: []
    all:
      description: Whether every discovered disk is listed.
      type: bool
    strict:
      description: Whether cautions counted as reasons.
      type: bool
    nvme:
      description: Whether NVMe namespaces were looked at.
      type: bool
    min_size_bytes:
      description: The minimum size of a new disk, in bytes.
      type: int
      sample: 0
    disks:
      description:
        - The new disks, smallest first; with C(all), every disk.
        - Of a disk discovery skipped, size and identity are null.
      type: list
      elements: dict
      contains:
        device:
          description: Device path.
          type: str
          sample: /dev/sdh
        size_bytes:
          description: Size in bytes.
          type: int
          sample: 2147483648
        blocks:
          description: Size in logical blocks.
          type: int
        block_size:
          description: Logical block size in bytes.
          type: int
        vendor:
          description: Vendor text of the disk.
          type: str
        model:
          description: Model text of the disk.
          type: str
        serial:
          description: Serial number of the disk.
          type: str
        state:
          description: C(new), C(not-new) or C(skipped).
          type: str
          sample: new
        reasons:
          description: Why the disk is not new; empty for a new disk.
          type: list
          elements: str
        cautions:
          description: What to check before wiping the disk.
          type: list
          elements: str
incomplete:
  description: Whether the report is incomplete (the tool exited 3), so a disk shown as new may be in use.
  returned: success
  type: bool
  sample: false
failed_enumerations:
  description: The in-use enumerations that failed (C(lvm), C(mount), C(raid)); empty when complete.
  returned: success
  type: list
  elements: str
  sample: [raid]
new_disks:
  description: Device paths of the disks whose state is C(new), in the report's order.
  returned: success
  type: list
  elements: str
  sample: [/dev/sdi, /dev/sdh]
cmd:
  description: The command line that was run.
  returned: always
  type: list
  elements: str
  sample: [/usr/bin/nesk-disks, --json, --min-size, 500G]
rc:
  description: Exit code of nesk-disks; a negative number -N when signal N killed it.
  returned: when the tool ran
  type: int
  sample: 0
stderr:
  description: What nesk-disks wrote on standard error.
  returned: when the tool ran
  type: str
  sample: ""
'''

import json

from ansible.module_utils.basic import AnsibleModule

# Exit codes of nesk-disks.
EXIT_COMPLETE = 0
EXIT_INCOMPLETE = 3
EXIT_PROBE_MOUNT_LEFT = 4
EXIT_SIGNAL_BASE = 128

DOCUMENT_FORMAT = 1


def command_line(module, binary):
    params = module.params
    cmd = [binary, '--json']
    if params['all']:
        cmd.append('--all')
    if params['strict']:
        cmd.append('--strict')
    if not params['nvme']:
        cmd.append('--no-nvme')
    if params['min_size'] is not None:
        cmd.extend(['--min-size', params['min_size']])
    if params['timeout'] is not None:
        cmd.extend(['--timeout', str(params['timeout'])])
    return cmd


def parse_document(text):
    """The tool's document, or None when `text` is not one of a format this module reads."""
    try:
        doc = json.loads(text)
    except ValueError:
        return None
    if not isinstance(doc, dict) or doc.get('format') != DOCUMENT_FORMAT:
        return None
    if not isinstance(doc.get('disks'), list) or not isinstance(doc.get('incomplete'), list):
        return None
    return doc


def tool_message(stderr, rc):
    message = stderr.strip()
    if message:
        return message
    if rc < 0:
        return 'nesk-disks was killed by signal %d' % -rc
    return 'nesk-disks exited %d without a message' % rc


def main():
    module = AnsibleModule(
        argument_spec=dict(
            min_size=dict(type='str'),
            strict=dict(type='bool', default=False),
            all=dict(type='bool', default=False),
            nvme=dict(type='bool', default=True),
            timeout=dict(type='int'),
            binary=dict(type='str', default='nesk-disks'),
        ),
        supports_check_mode=True,
    )
    if module.params['timeout'] is not None and module.params['timeout'] < 0:
        module.fail_json(msg='timeout must be 0 or more seconds', cmd=[])

    binary = module.params['binary']
    if '/' not in binary:
        binary = module.get_bin_path(binary, required=True, opt_dirs=['/usr/sbin', '/usr/local/bin'])
    cmd = command_line(module, binary)

    # The tool's messages are read by people; numbers and JSON do not depend on the locale.
    rc, out, err = module.run_command(cmd, environ_update=dict(LC_ALL='C'))
    result = dict(changed=False, cmd=cmd, rc=rc, stderr=err)

    if rc not in (EXIT_COMPLETE, EXIT_INCOMPLETE, EXIT_PROBE_MOUNT_LEFT):
        # 1: cannot run, 2: bad arguments, 128 + N: stopped by signal N after the probe under
        # way had finished, negative: killed by a signal.
        module.fail_json(msg=tool_message(err, rc), stdout=out, **result)

    doc = parse_document(out)
    if doc is None:
        module.fail_json(msg='nesk-disks printed no report of format %d' % DOCUMENT_FORMAT,
                         stdout=out, **result)
    result['report'] = doc
    if rc == EXIT_PROBE_MOUNT_LEFT:
        # A disk stays mounted read-write on a probe directory: someone must look at it.
        module.fail_json(msg=tool_message(err, rc), **result)

    result['incomplete'] = rc == EXIT_INCOMPLETE or not doc.get('complete', False)
    result['failed_enumerations'] = doc['incomplete']
    result['new_disks'] = [d.get('device') for d in doc['disks'] if d.get('state') == 'new']
    result['ansible_facts'] = dict(nesk_disks=doc)
    # Ansible takes a result with a non-zero rc for a failure unless told otherwise.
    result['failed'] = False
    if result['incomplete']:
        module.warn(tool_message(err, rc))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
