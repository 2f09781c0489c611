"""Lays out, for each ansible-test sanity test named on the command line, the
virtual environment ansible-test would make and fill from the Python package
index: one that sees this Python's own packages (Debian's voluptuous, PyYAML,
Jinja2), marked as complete so that ansible-test uses it as it stands. The
index cannot be reached from these machines and ansible-test has no switch to
use the system's packages for its single-version tests.

Usage: python3 prepare_sanity_venvs.py TEST...  (HOME is where ansible-test
looks: ~/.ansible/test/venv)
"""
import json
import os
import subprocess
import sys

from ansible_test._internal.commands.sanity import hash_pip_commands
from ansible_test._internal.host_configs import NativePythonConfig
from ansible_test._internal.python_requirements import collect_requirements


def main():
    version = '%d.%d' % sys.version_info[:2]
    python = NativePythonConfig(version=version, path=sys.executable)
    root = os.path.expanduser('~/.ansible/test/venv')
    for test in sys.argv[1:]:
        # The same computation as ansible-test's create_sanity_virtualenv().
        commands = collect_requirements(python=python, controller=True, virtualenv=False,
                                        command=None, ansible=False, cryptography=False,
                                        coverage=False, minimize=False, sanity=test)
        label = 'sanity.' + test if commands else 'sanity'
        path = os.path.join(root, label, version, hash_pip_commands(commands))
        if os.path.exists(os.path.join(path, 'marker.txt')):
            continue
        subprocess.run([sys.executable, '-m', 'venv', '--system-site-packages', '--without-pip',
                        path], check=True)
        # meta.yaml.json: whether PyYAML has libyaml, which some tests require.
        try:
            import yaml
            libyaml = bool(getattr(yaml, '__with_libyaml__', False))
        except ImportError:
            libyaml = None
        with open(os.path.join(path, 'meta.yaml.json'), 'w') as meta:
            json.dump(libyaml, meta)
        open(os.path.join(path, 'marker.txt'), 'w').close()


if __name__ == '__main__':
    main()
