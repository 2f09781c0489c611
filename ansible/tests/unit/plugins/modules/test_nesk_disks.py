# -*- coding: utf-8 -*-
# Copyright the neskutils developers
# Licensed under the Apache License, Version 2.0 (see LICENSE in the repository)
"""The nesk_disks module run as Ansible runs it on a node (its file, its
arguments in a file, its result on standard output), with a stand-in for
nesk-disks that prints what a case gives it and records its arguments.

python3 -m unittest discover -s tests/unit/plugins/modules (or ansible-test units)
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

MODULE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', '..', '..',
                      'plugins', 'modules', 'nesk_disks.py')


def document(complete=True, incomplete=(), disks=()):
    return dict(format=1, version='1.0.0', complete=complete, incomplete=list(incomplete),
                all=False, strict=False, nvme=True, min_size_bytes=0, disks=list(disks))


def disk(device, size, state='new', reasons=()):
    return dict(device=device, size_bytes=size, blocks=size // 512, block_size=512, vendor='ATA',
                model='M', serial='S', state=state, reasons=list(reasons), cautions=[])


COMPLETE = document(disks=[disk('/dev/sdi', 1 << 30), disk('/dev/sdh', 2 << 30)])
INCOMPLETE = document(complete=False, incomplete=['lvm'], disks=[disk('/dev/sdh', 2 << 30)])
INCOMPLETE_SAID = ('nesk-disks: incomplete: could not enumerate lvm (LVM physical volumes), so a '
                   'disk shown as new may be in use; see /var/log/nesk/NESKUtils.log\n')


def setUpModule():
    try:
        import ansible.module_utils.basic  # noqa: F401 pylint: disable=unused-import
    except ImportError:
        raise unittest.SkipTest('no ansible-core for %s' % sys.executable)


class NeskDisksModule(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='nesk-module-')
        self.addCleanup(shutil.rmtree, self.dir)

    def tool(self, code, out='', err='', signal=None):
        """A stand-in for nesk-disks: prints `out` and `err`, then exits `code` or kills itself."""
        for name, text in (('out', out), ('err', err)):
            with open(os.path.join(self.dir, name), 'w') as f:
                f.write(text if isinstance(text, str) else json.dumps(text))
        path = os.path.join(self.dir, 'nesk-disks')
        with open(path, 'w') as f:
            f.write('#!/bin/sh\n'
                    'd=%s\n'
                    'printf "%%s\\n" "$@" > "$d/args"\n'
                    'cat "$d/out"; cat "$d/err" >&2\n' % self.dir +
                    ('kill -%d $$\n' % signal if signal else 'exit %d\n' % code))
        os.chmod(path, 0o755)
        return path

    def run_module(self, check_mode=False, **params):
        args = os.path.join(self.dir, 'args.json')
        with open(args, 'w') as f:
            json.dump(dict(ANSIBLE_MODULE_ARGS=dict(params, _ansible_check_mode=check_mode)), f)
        done = subprocess.run([sys.executable, MODULE, args], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, check=False)
        return json.loads(done.stdout)

    def tool_args(self):
        with open(os.path.join(self.dir, 'args')) as f:
            return f.read().splitlines()

    def test_report_becomes_the_fact_in_and_out_of_check_mode(self):
        for check_mode in (False, True):
            with self.subTest(check_mode=check_mode):
                result = self.run_module(check_mode=check_mode, binary=self.tool(0, COMPLETE))
                self.assertFalse(result['failed'])
                self.assertFalse(result['changed'])
                self.assertNotIn('skipped', result)
                self.assertEqual(result['report'], COMPLETE)
                self.assertEqual(result['ansible_facts'], dict(nesk_disks=COMPLETE))
                self.assertEqual(result['new_disks'], ['/dev/sdi', '/dev/sdh'])
                self.assertFalse(result['incomplete'])
                self.assertEqual(result['failed_enumerations'], [])
                self.assertNotIn('warnings', result)

    def test_incomplete_report_is_marked_not_failed(self):
        result = self.run_module(binary=self.tool(3, INCOMPLETE, INCOMPLETE_SAID))
        self.assertFalse(result['failed'])
        self.assertEqual(result['rc'], 3)
        self.assertTrue(result['incomplete'])
        self.assertEqual(result['failed_enumerations'], ['lvm'])
        self.assertEqual(result['ansible_facts'], dict(nesk_disks=INCOMPLETE))
        self.assertEqual(result['warnings'], [INCOMPLETE_SAID.strip()])

    def test_failures_carry_the_tools_message(self):
        cases = [
            (dict(code=1, err='nesk-disks: must run as root: probing a disk mounts it\n'),
             1, 'nesk-disks: must run as root: probing a disk mounts it', False),
            (dict(code=2, err="nesk-disks: bad SIZE 'x'\nUsage: nesk-disks ...\n"),
             2, "nesk-disks: bad SIZE 'x'\nUsage: nesk-disks ...", False),
            (dict(code=4, out=COMPLETE, err='nesk-disks: probe mount left: /dev/sda is still '
                  'mounted on /tmp/hamntAbCdEf\n'),
             4, 'nesk-disks: probe mount left: /dev/sda is still mounted on /tmp/hamntAbCdEf', True),
            (dict(code=130, err='nesk-disks: stopped by SIGINT after the probe under way had '
                  'finished\n'),
             130, 'nesk-disks: stopped by SIGINT after the probe under way had finished', False),
            (dict(code=0, signal=9), -9, 'nesk-disks was killed by signal 9', False),
            (dict(code=5), 5, 'nesk-disks exited 5 without a message', False),
            (dict(code=0, out='not json'), 0, 'nesk-disks printed no report of format 1', False),
            (dict(code=0, out=dict(COMPLETE, format=2)), 0,
             'nesk-disks printed no report of format 1', False),
        ]
        for tool, rc, msg, has_report in cases:
            with self.subTest(rc=rc, msg=msg):
                result = self.run_module(binary=self.tool(**tool))
                self.assertTrue(result['failed'])
                self.assertFalse(result['changed'])
                self.assertEqual(result['rc'], rc)
                self.assertEqual(result['msg'], msg)
                self.assertEqual('report' in result, has_report)
                self.assertNotIn('ansible_facts', result)

    def test_options_reach_the_tool(self):
        cases = [
            (dict(), ['--json']),
            (dict(all=True, strict=True, nvme=False, min_size='1.5T', timeout=0),
             ['--json', '--all', '--strict', '--no-nvme', '--min-size', '1.5T', '--timeout', '0']),
            (dict(timeout=90), ['--json', '--timeout', '90']),
        ]
        for params, args in cases:
            with self.subTest(params=params):
                result = self.run_module(binary=self.tool(0, COMPLETE), **params)
                self.assertFalse(result['failed'])
                self.assertEqual(self.tool_args(), args)
                self.assertEqual(result['cmd'][1:], args)

    def test_binary_is_looked_up_on_path(self):
        self.tool(0, COMPLETE)
        os.environ['PATH'] = self.dir + os.pathsep + os.environ.get('PATH', '')
        try:
            result = self.run_module()
        finally:
            os.environ['PATH'] = os.environ['PATH'].split(os.pathsep, 1)[1]
        self.assertEqual(result['cmd'][0], os.path.join(self.dir, 'nesk-disks'))
        self.assertEqual(result['report'], COMPLETE)
        missing = self.run_module(binary='nesk-disks-nowhere')
        self.assertTrue(missing['failed'])
        self.assertIn('nesk-disks-nowhere', missing['msg'])


if __name__ == '__main__':
    unittest.main()
