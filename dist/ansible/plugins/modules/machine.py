#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 The Romtide developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: machine
short_description: Update the field devices of a machine through their bootloaders
version_added: "2.4.0"
description:
  - Runs C(bootloader machine apply) on the managed host for one machine file and returns
    its report. Every bus of the machine is searched, the buses are updated at the same
    time, and every device a rule of the file names ends running the rule's version.
  - With I(state=planned), or in check mode, runs C(bootloader machine plan) instead, which
    sends nothing to the devices but the searches, and returns the plan.
  - The task is C(changed) exactly when at least one device was updated (its outcome is
    C(okay)); devices already current change nothing, so a second run is C(ok).
  - The task fails when any device ends other than C(okay) or C(current), naming the
    devices; when a bus as a whole fails; when a plan finds a device a rule names
    C(missing) or cannot search a bus (the update would fail); and when the machine file,
    the C(bootloader) program, the time limit or the program's output is not as expected,
    saying which. A device updated before such a failure still makes the task C(changed).
options:
  file:
    description:
      - Path of the machine file on the managed host.
      - Images that the file names relatively are found from the file's folder.
    type: path
    required: true
  state:
    description:
      - C(updated) updates the devices that the plan lists for an update.
      - C(planned) only plans; the result holds the plan, and the task is never C(changed).
    type: str
    choices: [updated, planned]
    default: updated
  simulate:
    description:
      - Run on simulated buses and boards with simulated devices made from the machine
        file's rules (or its C([simulate]) table) instead of the real interfaces.
      - Every run starts from fresh simulated devices, so every run updates again.
    type: bool
    default: false
  max_failures:
    description:
      - Stop starting new devices on every bus once this many devices have failed.
      - Without it the machine file's C(on-failure) policies alone decide.
      - Only with I(state=updated).
    type: int
  binary:
    description:
      - Path of the C(bootloader) program on the managed host.
      - By default it is looked up on the C(PATH) of the managed host.
      - It must have the machine commands (Romtide 2.4 or later).
    type: path
  timeout:
    description:
      - Seconds the run may take. After them it is interrupted as Ctrl-C would (the devices
        in hand are cancelled), killed if it does not end within 15 more seconds, and the
        task fails.
    type: int
    default: 3600
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Check mode runs the plan only; C(changed) then says whether a device would be updated.
  diff_mode:
    support: full
    details: The diff shows the version of every device a rule names, before and after.
  platform:
    support: full
    platforms: posix
notes:
  - Board and interface settings that the machine file does not hold come from the
    environment of the task, for example C(NUBOXLINK_DRIVER_DIR) and C(NUBOXLINK_REGISTRY)
    for Profibus boards (use the C(environment) keyword).
  - The documents returned are those of C(bootloader machine plan --json) and
    C(bootloader machine apply --json); Romtide's README describes them ("Whole machines")
    and has an example fleet of two simulated machines ("Fleets").
requirements:
  - Romtide 2.4.0 or later (C(bootloader machine)) on the managed host.
author:
  - The Romtide developers (@romtide)
'''

EXAMPLES = r'''
- name: Update every device of the press line
  romtide.fieldbus.machine:
    file: /etc/romtide/press-line-3.toml
  register: press

- name: Show what the press line would get, without touching a device
  romtide.fieldbus.machine:
    file: /etc/romtide/press-line-3.toml
    state: planned
  register: plan

- name: Update a machine whose board registry lies elsewhere, giving up after two failures
  romtide.fieldbus.machine:
    file: /srv/machines/line-2.toml
    binary: /opt/romtide/bin/bootloader
    max_failures: 2
    timeout: 900
  environment:
    NUBOXLINK_DRIVER_DIR: /run/line-2/drivers
    NUBOXLINK_REGISTRY: /run/line-2/registry.reg

- name: Keep the report on the controller
  ansible.builtin.copy:
    content: "{{ press.report | to_nice_json }}"
    dest: "reports/{{ inventory_hostname }}.json"
  delegate_to: localhost
'''

RETURN = r'''
report:
  description:
    - The report of C(bootloader machine apply --json), whole, with a bus and device entry for
      everything the run did.
    - After a time-out, the last report the run wrote, with C(end) C(running).
  returned: when I(state=updated) outside check mode and the run got as far as a report
  type: dict
  sample:
    report: romtide-machine
    report_version: 1
    machine: press-line-3
    devices:
      - {bus: can-a, address: 5, outcome: okay, version_before: S1, version_after: S2}
    summary: {devices: 1, okay: 1, current: 0, failed: 0, not_run: 0}
    end: complete
plan:
  description: The plan of C(bootloader machine plan --json), whole.
  returned: when I(state=planned) or in check mode, once the plan was made
  type: dict
  sample:
    plan: romtide-machine-plan
    plan_version: 1
    machine: press-line-3
    devices:
      - {bus: can-a, address: 5, action: update, version_now: S1, version_wanted: S2}
    summary: {update: 1, current: 0, missing: 0, unmatched: 0}
machine:
  description: The name of the machine, as its file gives it.
  returned: when a plan or a report was read
  type: str
  sample: press-line-3
updated:
  description:
    - The devices updated (outcome C(okay)); in check mode and with I(state=planned), the
      devices that an update would update.
  returned: always
  type: list
  elements: dict
  sample: [{bus: can-a, address: 5, version_before: S1, version_after: S2}]
failed_devices:
  description: The devices that ended other than C(okay) or C(current), with their outcome.
  returned: always
  type: list
  elements: dict
  sample: [{bus: can-a, address: 9, outcome: not-found}]
summary:
  description: The C(summary) of the plan or the report.
  returned: when a plan or a report was read
  type: dict
  sample: {devices: 2, okay: 1, current: 1, failed: 0, not_run: 0}
cmd:
  description: The command line that ran.
  returned: when the command ran
  type: list
  elements: str
  sample: [bootloader, machine, apply, /etc/romtide/press-line-3.toml, --json]
rc:
  description: The exit status of the command (130 after a time-out).
  returned: when the command ran
  type: int
  sample: 0
stderr:
  description: What the command wrote to its standard error (messages).
  returned: when the command ran
  type: str
  sample: ""
'''

import json
import os
import signal
import subprocess
import tempfile

from ansible.module_utils.basic import AnsibleModule

# The documents this module understands, as the machine commands name them.
PLAN_KIND = 'romtide-machine-plan'
REPORT_KIND = 'romtide-machine'
DOCUMENT_VERSION = 1

# Device outcomes that end a device well: the only one that changes it, and the one that
# finds it already running the wanted version.
OUTCOME_CHANGED = 'okay'
OUTCOME_CURRENT = 'current'
ACTION_UPDATE = 'update'
ACTION_MISSING = 'missing'
ACTION_UNMATCHED = 'unmatched'
BUS_OKAY = 'okay'
END_COMPLETE = 'complete'

# Exit statuses of the machine commands.
EXIT_OKAY = 0
EXIT_DEVICE_FAILED = 1
EXIT_USAGE = 2
EXIT_IMAGE_MISSING = 3
EXIT_IMAGE_REFUSED = 4
EXIT_REPORT_UNWRITABLE = 7
EXIT_BUS_FAILED = 8
EXIT_INTERRUPTED = 130

EXIT_MEANING = {
    EXIT_USAGE: 'the machine file or the command line was refused',
    EXIT_IMAGE_MISSING: 'an image of the machine file is missing or cannot be read',
    EXIT_IMAGE_REFUSED: 'an image of the machine file was refused by the image checks',
    EXIT_REPORT_UNWRITABLE: 'the report file could not be written',
    EXIT_BUS_FAILED: 'a bus failed as a whole',
    EXIT_INTERRUPTED: 'the run was interrupted',
}

# A run that outlasts its time limit is first interrupted as Ctrl-C would, so that every
# worker cancels its device in hand and the report says so; only a run that does not end
# after that is killed, with its workers.
KILL_GRACE_SECONDS = 15
HELP_TIMEOUT_SECONDS = 30
# How much of an output that is not the expected document goes into the message.
EXCERPT_CHARS = 300


def excerpt(text):
    text = text.strip()
    if len(text) > EXCERPT_CHARS:
        return text[:EXCERPT_CHARS] + '...'
    return text


def run(argv, timeout, cwd=None):
    """Runs argv in a session of its own; returns (rc, stdout, stderr, timed_out)."""
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=cwd, start_new_session=True)
    timed_out = False
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        proc.send_signal(signal.SIGTERM)
        try:
            out, err = proc.communicate(timeout=KILL_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except OSError:
                pass
            out, err = proc.communicate()
    return (proc.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace'),
            timed_out)


def find_binary(module):
    binary = module.params['binary']
    if binary is None:
        found = module.get_bin_path('bootloader')
        if found is None:
            module.fail_json(msg='bootloader was not found on the PATH of the managed host '
                                 '(install Romtide there or give its path as binary)',
                             changed=False, updated=[], failed_devices=[])
        return found
    if not os.path.isfile(binary):
        module.fail_json(msg='bootloader %s does not exist on the managed host' % binary,
                         changed=False, updated=[], failed_devices=[])
    if not os.access(binary, os.X_OK):
        module.fail_json(msg='bootloader %s is not executable' % binary,
                         changed=False, updated=[], failed_devices=[])
    return binary


def check_machine_commands(module, binary):
    """An older bootloader refuses the word 'machine' with a usage error (status 2), as it
    would refuse a machine file it cannot read, and answers 'machine --help' with its
    general help (status 0); only a bootloader with the machine commands shows their
    usage. Asking for it first tells the three apart."""
    try:
        rc, out, err, timed_out = run([binary, 'machine', '--help'], HELP_TIMEOUT_SECONDS)
    except OSError as e:
        module.fail_json(msg='bootloader %s cannot be started: %s' % (binary, e),
                         changed=False, updated=[], failed_devices=[])
    if timed_out:
        module.fail_json(msg='%s machine --help did not end within %d s' %
                             (binary, HELP_TIMEOUT_SECONDS),
                         changed=False, updated=[], failed_devices=[])
    usage = [line for line in out.splitlines() if line.startswith('Usage:')]
    if rc == EXIT_OKAY and any('machine' in line.split() for line in usage):
        return
    if rc in (EXIT_OKAY, EXIT_USAGE):
        said = excerpt(err) or (usage[0] if usage else excerpt(out))
        module.fail_json(msg='bootloader %s is too old: it has no machine commands '
                             '(Romtide 2.4.0 or later is needed); "machine --help" says: %s' %
                             (binary, said),
                         changed=False, updated=[], failed_devices=[], rc=rc)
    module.fail_json(msg='%s machine --help ended with status %d: %s' %
                         (binary, rc, excerpt(err or out)),
                     changed=False, updated=[], failed_devices=[], rc=rc)


def parse_document(text, kind_key, kind):
    """Returns (document, None) for the expected document, else (None, why)."""
    text = text.strip()
    if not text:
        return None, 'it printed no JSON document'
    try:
        doc = json.loads(text)
    except ValueError as e:
        return None, 'its output is not JSON (%s): %s' % (e, excerpt(text))
    if not isinstance(doc, dict) or doc.get(kind_key) != kind:
        return None, 'its output is JSON but not a %s document: %s' % (kind, excerpt(text))
    version = doc.get(kind_key + '_version')
    if version != DOCUMENT_VERSION:
        return None, ('its %s document has %s_version %r; this module reads version %d' %
                      (kind, kind_key, version, DOCUMENT_VERSION))
    devices = doc.get('devices')
    buses = doc.get('buses')
    if not isinstance(devices, list) or not isinstance(buses, list):
        return None, 'its %s document has no devices or buses list' % kind
    word = 'action' if kind_key == 'plan' else 'outcome'
    for device in devices:
        if not (isinstance(device, dict) and isinstance(device.get('bus'), str) and
                isinstance(device.get('address'), int) and
                isinstance(device.get(word), str)):
            return None, ('its %s document has a device without bus, address and %s: %s' %
                          (kind, word, excerpt(json.dumps(device))))
    for bus in buses:
        if not (isinstance(bus, dict) and isinstance(bus.get('name'), str)):
            return None, 'its %s document has a bus without a name' % kind
    return doc, None


def device_name(device):
    return '%s %s' % (device['bus'], device['address'])


def shown_version(version):
    # A device in its bootloader has no application and so no version.
    return version if isinstance(version, str) and version else '(none)'


def make_diff(module, rows):
    """rows: (device, before, after) for every device a rule names."""
    before = ''.join('%s: %s\n' % (device_name(d), shown_version(b)) for d, b, a in rows)
    after = ''.join('%s: %s\n' % (device_name(d), shown_version(a)) for d, b, a in rows)
    path = module.params['file']
    return {'before': before, 'after': after,
            'before_header': '%s (versions before)' % path,
            'after_header': '%s (versions after)' % path}


def sorted_devices(devices):
    return sorted(devices, key=lambda d: (d['bus'], d['address']))


def finish_plan(module, result, doc, rc, timed_out):
    devices = sorted_devices(doc['devices'])
    would_update = [d for d in devices if d['action'] == ACTION_UPDATE]
    missing = [d for d in devices if d['action'] == ACTION_MISSING]
    unsearched = [b for b in doc['buses'] if b.get('searched') is not True]
    result.update(plan=doc, machine=doc.get('machine'), summary=doc.get('summary'))
    result['updated'] = [{'bus': d['bus'], 'address': d['address'],
                          'version_before': d.get('version_now'),
                          'version_after': d.get('version_wanted')} for d in would_update]
    result['failed_devices'] = [{'bus': d['bus'], 'address': d['address'],
                                 'outcome': 'not-found'} for d in missing]
    # Planning changes nothing; in check mode "changed" predicts the update.
    result['changed'] = (module.check_mode and module.params['state'] == 'updated' and
                         bool(would_update))
    if module._diff:
        rows = []
        for d in devices:
            after = d.get('version_now')
            if d['action'] == ACTION_UPDATE:
                after = d.get('version_wanted')
            elif d['action'] == ACTION_MISSING:
                after = '%s (%s)' % (shown_version(after), ACTION_MISSING)
            if d['action'] != ACTION_UNMATCHED:
                rows.append((d, d.get('version_now'), after))
        result['diff'] = make_diff(module, rows)
    problems = []
    if timed_out:
        problems.append('the plan did not end within the timeout of %d s and was interrupted' %
                        module.params['timeout'])
    if unsearched:
        problems.append('bus(es) not searched: %s' % ', '.join(
            '%s (%s)' % (b['name'], b.get('message') or 'no reason given') for b in unsearched))
    if missing:
        problems.append('device(s) a rule names but the search did not find: %s' %
                        ', '.join(device_name(d) for d in missing))
    if not problems and rc != EXIT_OKAY:
        problems.append('bootloader machine plan ended with status %d (%s)' %
                        (rc, EXIT_MEANING.get(rc, 'not a status of the machine commands')))
    if problems:
        module.fail_json(msg='Machine %s: %s' % (doc.get('machine'), '; '.join(problems)),
                         **result)
    module.exit_json(**result)


def finish_report(module, result, doc, rc, timed_out):
    devices = sorted_devices(doc['devices'])
    changed = [d for d in devices if d['outcome'] == OUTCOME_CHANGED]
    failed = [d for d in devices if d['outcome'] not in (OUTCOME_CHANGED, OUTCOME_CURRENT)]
    failed_buses = [b for b in doc['buses'] if b.get('outcome') != BUS_OKAY]
    result.update(report=doc, machine=doc.get('machine'), summary=doc.get('summary'))
    result['updated'] = [{'bus': d['bus'], 'address': d['address'],
                          'version_before': d.get('version_before'),
                          'version_after': d.get('version_after')} for d in changed]
    result['failed_devices'] = [{'bus': d['bus'], 'address': d['address'],
                                 'outcome': d['outcome']} for d in failed]
    result['changed'] = bool(changed)
    if module._diff:
        rows = []
        for d in devices:
            after = d.get('version_before')
            if d['outcome'] == OUTCOME_CHANGED:
                after = d.get('version_after')
            elif d['outcome'] != OUTCOME_CURRENT:
                after = '%s (%s)' % (shown_version(d.get('version_after') or after),
                                     d['outcome'])
            rows.append((d, d.get('version_before'), after))
        result['diff'] = make_diff(module, rows)
    problems = []
    if timed_out:
        problems.append('the run did not end within the timeout of %d s and was interrupted' %
                        module.params['timeout'])
    if failed:
        problems.append('%d device(s) did not end okay or current: %s' % (
            len(failed), ', '.join('%s (%s)' % (device_name(d), d['outcome']) for d in failed)))
    if failed_buses:
        problems.append('bus(es) not okay: %s' % ', '.join(
            '%s %s%s' % (b['name'], b.get('outcome'),
                         ' (%s)' % b['message'] if b.get('message') else '')
            for b in failed_buses))
    if doc.get('end') != END_COMPLETE and not timed_out:
        problems.append('the report ends %r, not complete' % doc.get('end'))
    if not problems and rc != EXIT_OKAY:
        problems.append('bootloader machine apply ended with status %d (%s)' %
                        (rc, EXIT_MEANING.get(rc, 'not a status of the machine commands')))
    if problems:
        module.fail_json(msg='Machine %s: %s' % (doc.get('machine'), '; '.join(problems)),
                         **result)
    module.exit_json(**result)


def read_report_file(path):
    try:
        with open(path, 'rb') as f:
            return f.read().decode('utf-8', 'replace')
    except (IOError, OSError):
        return ''


def main():
    module = AnsibleModule(
        argument_spec=dict(
            file=dict(type='path', required=True),
            state=dict(type='str', choices=['updated', 'planned'], default='updated'),
            simulate=dict(type='bool', default=False),
            max_failures=dict(type='int'),
            binary=dict(type='path'),
            timeout=dict(type='int', default=3600),
        ),
        supports_check_mode=True,
    )
    params = module.params
    result = dict(changed=False, updated=[], failed_devices=[])
    if params['timeout'] <= 0:
        module.fail_json(msg='timeout must be a positive number of seconds, not %d' %
                             params['timeout'], **result)
    if params['max_failures'] is not None and params['max_failures'] < 1:
        module.fail_json(msg='max_failures must be 1 or more, not %d' % params['max_failures'],
                         **result)
    path = os.path.abspath(params['file'])
    if not os.path.exists(path):
        module.fail_json(msg='The machine file %s does not exist on the managed host' % path,
                         **result)
    if not os.path.isfile(path):
        module.fail_json(msg='The machine file %s is not a file' % path, **result)
    if not os.access(path, os.R_OK):
        module.fail_json(msg='The machine file %s cannot be read' % path, **result)

    binary = find_binary(module)
    check_machine_commands(module, binary)

    planning = module.check_mode or params['state'] == 'planned'
    argv = [binary, 'machine', 'plan' if planning else 'apply', path, '--json']
    if params['simulate']:
        argv.append('--simulate')
    report_path = None
    if not planning:
        # The report file is rewritten after every outcome and always parsable, so a run
        # that has to be stopped still tells which devices it changed.
        handle, report_path = tempfile.mkstemp(prefix='machine-report-', suffix='.json',
                                               dir=module.tmpdir)
        os.close(handle)
        argv += ['--report', report_path, '--report-format', 'json', '--progress', 'none']
        if params['max_failures'] is not None:
            argv += ['--max-failures', str(params['max_failures'])]

    try:
        rc, out, err, timed_out = run(argv, params['timeout'], cwd=os.path.dirname(path))
    except OSError as e:
        module.fail_json(msg='bootloader %s cannot be started: %s' % (binary, e), **result)
    result.update(cmd=argv, rc=rc, stderr=err)

    command = 'bootloader machine %s' % ('plan' if planning else 'apply')
    if planning:
        doc, why = parse_document(out, 'plan', PLAN_KIND)
    else:
        doc, why = parse_document(out, 'report', REPORT_KIND)
        if doc is None:
            # Stopped before it printed its report: the last report file it wrote is the
            # record of what it changed.
            doc, _ = parse_document(read_report_file(report_path), 'report', REPORT_KIND)
            if doc is not None and not timed_out:
                # A run that ended by itself prints its report; one that did not has broken
                # output, whatever the file says.
                result['report'] = doc
                result['changed'] = any(d['outcome'] == OUTCOME_CHANGED
                                        for d in doc['devices'])
                module.fail_json(msg='%s ended with status %d but %s' % (command, rc, why),
                                 **result)
    if doc is not None:
        if planning:
            finish_plan(module, result, doc, rc, timed_out)
        finish_report(module, result, doc, rc, timed_out)

    said = excerpt(err)
    if timed_out:
        module.fail_json(msg='%s did not end within the timeout of %d s and was stopped; %s' %
                             (command, params['timeout'], said or 'it said nothing'),
                         **result)
    if rc in EXIT_MEANING:
        module.fail_json(msg='%s: %s (status %d): %s' %
                             (command, EXIT_MEANING[rc], rc, said or 'no message'),
                         **result)
    module.fail_json(msg='%s ended with status %d and %s%s' %
                         (command, rc, why, '; it says: %s' % said if said else ''),
                     **result)


if __name__ == '__main__':
    main()
