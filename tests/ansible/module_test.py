#!/usr/bin/python3
"""The machine module run as Ansible runs it (its arguments in a file, its result as JSON on
stdout) against fake_bootloader: what it passes to the machine commands, and that every
failure of the file, the program, the time limit or the output fails the task, saying which,
and that "changed" follows the devices that were updated.
   module_test.py [COLLECTION_DIR] [unittest arguments]"""
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.join(HERE, '..', '..', 'dist', 'ansible')
if len(sys.argv) > 1 and os.path.isdir(sys.argv[1]):
    COLLECTION = os.path.abspath(sys.argv.pop(1))
MODULE = os.path.join(COLLECTION, 'plugins', 'modules', 'machine.py')
FAKE = os.path.join(HERE, 'fake_bootloader')


class MachineModule(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.dir = self.work.name
        self.machine_file = os.path.join(self.dir, 'machine.toml')
        with open(self.machine_file, 'w') as f:
            f.write('name = "line-1"\n')
        self.log = os.path.join(self.dir, 'calls.log')

    def tearDown(self):
        self.work.cleanup()

    def run_module(self, mode='update', check=False, diff=False, path=None, **params):
        params.setdefault('file', self.machine_file)
        params.setdefault('binary', FAKE)
        args = dict(params, _ansible_check_mode=check, _ansible_diff=diff,
                    _ansible_tmpdir=self.dir, _ansible_remote_tmp=self.dir)
        args_file = os.path.join(self.dir, 'args.json')
        with open(args_file, 'w') as f:
            json.dump({'ANSIBLE_MODULE_ARGS': args}, f)
        if os.path.exists(self.log):
            os.remove(self.log)
        env = dict(os.environ, FAKE_BOOTLOADER=mode, FAKE_BOOTLOADER_LOG=self.log)
        if path is not None:
            env['PATH'] = path
        done = subprocess.run([sys.executable, MODULE, args_file], env=env, cwd=self.dir,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
                              check=False)
        try:
            return json.loads(done.stdout)
        except ValueError:
            self.fail('the module printed no result: %s %s' % (done.stdout, done.stderr))

    def calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [json.loads(line) for line in f]

    def test_outcomes_decide_changed_and_failed(self):
        # mode, check mode, changed, failed, words the message must hold
        table = [
            ('update', False, True, False, []),
            ('current', False, False, False, []),
            ('update', True, True, False, []),
            ('current', True, False, False, []),
            ('device-failed', False, True, True,
             ['2 device(s)', 'can-a 7 (erase-failed)', 'can-a 8 (not-run)', 'can-a stopped']),
            ('device-failed-status-0', False, False, True, ['can-a 5 (unverified)']),
            ('missing', False, False, True, ['can-a 9 (not-found)']),
            ('missing', True, False, True, ['did not find', 'can-a 9']),
            ('bus-failed', False, False, True, ['can-a failed (worker ended by signal 9)']),
            ('bus-failed', True, False, True, ['not searched', 'worker ended by signal 9']),
            ('bus-failed-status-0', False, False, True, ['can-a failed']),
        ]
        for mode, check, changed, failed, words in table:
            with self.subTest(mode=mode, check=check):
                result = self.run_module(mode, check=check)
                self.assertEqual(result['changed'], changed, result)
                self.assertEqual(bool(result.get('failed')), failed, result)
                for word in words:
                    self.assertIn(word, result.get('msg', ''))
                self.assertIn('plan' if check else 'report', result)
                commands = [c[1] for c in self.calls() if c[1] != '--help']
                self.assertEqual(commands, ['plan' if check else 'apply'])

    def test_bad_input_fails_saying_which_and_changes_nothing(self):
        missing_file = os.path.join(self.dir, 'no-such-machine.toml')
        # mode, parameters, PATH, words the message must hold, whether a machine command ran
        table = [
            ('update', {'file': missing_file}, None, ['no-such-machine.toml', 'does not exist'],
             False),
            ('update', {'file': self.dir}, None, ['is not a file'], False),
            ('update', {'binary': os.path.join(self.dir, 'bootloader')}, None,
             ['does not exist'], False),
            ('update', {'binary': self.machine_file}, None, ['not executable'], False),
            ('update', {'binary': None}, self.dir, ['not found on the PATH'], False),
            ('old', {}, None, ['too old', 'machine commands', 'Usage: bootloader [OPTIONS]'],
             False),
            ('old-refusing', {}, None, ['too old', 'not expected: machine --help'], False),
            ('help-broken', {}, None, ['machine --help ended with status 5',
                                       'cannot read its modules'], False),
            ('update', {'max_failures': 0}, None, ['max_failures'], False),
            ('update', {'timeout': 0}, None, ['timeout'], False),
            ('file-error', {}, None, ['refused', "machine.toml:3: unknown key 'kbitt'"], True),
            ('image-missing', {}, None, ['missing or cannot be read', 'fw.mhx'], True),
            ('status-5', {}, None, ['status 5', 'no JSON document', 'something else'], True),
            ('text', {}, None, ['not JSON', 'Searching can-a'], True),
            ('other-json', {}, None, ['not a romtide-machine document'], True),
            ('version-2', {}, None, ['report_version 2'], True),
            ('device-without-address', {}, None, ['without bus, address and outcome'], True),
        ]
        for mode, params, path, words, ran in table:
            with self.subTest(mode=mode, params=params):
                result = self.run_module(mode, path=path, **params)
                self.assertTrue(result.get('failed'), result)
                self.assertFalse(result['changed'], result)
                for word in words:
                    self.assertIn(word, result['msg'])
                ran_machine = any(c[1] in ('plan', 'apply') for c in self.calls())
                self.assertEqual(ran_machine, ran, self.calls())
        # The same output faults in the plan of check mode.
        for mode, word in [('text', 'not JSON'), ('version-2', 'plan_version 2'),
                           ('other-json', 'not a romtide-machine-plan document')]:
            with self.subTest(mode=mode, check=True):
                result = self.run_module(mode, check=True)
                self.assertTrue(result.get('failed'), result)
                self.assertFalse(result['changed'], result)
                self.assertIn(word, result['msg'])

    def test_a_run_stopped_early_still_tells_what_it_changed(self):
        # Past the time limit: interrupted, failed, and changed for the device done.
        started = time.monotonic()
        result = self.run_module('hang', timeout=1)
        self.assertLess(time.monotonic() - started, 10)
        self.assertTrue(result.get('failed'), result)
        self.assertIn('timeout of 1 s', result['msg'])
        self.assertIn('can-a 6 (cancelled)', result['msg'])
        self.assertTrue(result['changed'])
        self.assertEqual(result['report']['end'], 'interrupted')
        # Ended without printing its report: broken output, but the report file it wrote
        # says a device was updated.
        result = self.run_module('report-file-only')
        self.assertTrue(result.get('failed'), result)
        self.assertIn('printed no JSON document', result['msg'])
        self.assertTrue(result['changed'])

    def test_command_lines(self):
        table = [
            ({}, False, ['apply', '--json', '--report', '--progress']),
            ({'simulate': True, 'max_failures': 2}, False,
             ['apply', '--json', '--simulate', '--max-failures', '2']),
            ({'state': 'planned', 'max_failures': 2}, False, ['plan', '--json']),
            ({'simulate': True}, True, ['plan', '--json', '--simulate']),
        ]
        for params, check, words in table:
            with self.subTest(params=params, check=check):
                result = self.run_module('update', check=check, **params)
                self.assertFalse(result.get('failed'), result)
                calls = self.calls()
                self.assertEqual(calls[0], ['machine', '--help'])
                self.assertEqual(len(calls), 2)
                argv = calls[1]
                self.assertEqual(argv[:3], ['machine', words[0], self.machine_file])
                for word in words[1:]:
                    self.assertIn(word, argv)
                if words[0] == 'plan':
                    self.assertNotIn('--max-failures', argv)
                    self.assertNotIn('--report', argv)
        # Planning outside check mode changes nothing, whatever the plan holds.
        result = self.run_module('update', state='planned')
        self.assertFalse(result['changed'])
        self.assertEqual([(d['address'], d['version_after']) for d in result['updated']],
                         [(5, 'S2')])
        # The binary from PATH, and a relative machine file from the task's folder.
        os.symlink(FAKE, os.path.join(self.dir, 'bootloader'))
        result = self.run_module('update', binary=None, path=self.dir + ':/usr/bin:/bin',
                                 file='machine.toml')
        self.assertFalse(result.get('failed'), result)
        self.assertEqual(result['cmd'][0], os.path.join(self.dir, 'bootloader'))
        self.assertEqual(result['cmd'][3], self.machine_file)

    def test_diff_shows_versions_before_and_after(self):
        # A device without an application has no version before.
        table = [
            ('update', False, 'can-a 5: S1\ncan-a 6: S2\n', 'can-a 5: S2\ncan-a 6: S2\n'),
            ('update', True, 'can-a 5: S1\ncan-a 6: S2\n', 'can-a 5: S2\ncan-a 6: S2\n'),
            ('device-failed', False, 'can-a 5: S1\ncan-a 7: S1\ncan-a 8: S1\n',
             'can-a 5: S2\ncan-a 7: S1 (erase-failed)\ncan-a 8: S1 (not-run)\n'),
            ('missing', True, 'can-a 9: (none)\n', 'can-a 9: (none) (missing)\n'),
        ]
        for mode, check, before, after in table:
            with self.subTest(mode=mode, check=check):
                diff = self.run_module(mode, check=check, diff=True)['diff']
                self.assertEqual((diff['before'], diff['after']), (before, after))
        self.assertNotIn('diff', self.run_module('update'))


class ThroughAnsible(unittest.TestCase):
    """The collection as Ansible finds and runs it: check mode and the diff reach the
    module, and a failed device fails the host."""

    def test_ad_hoc_runs(self):
        with tempfile.TemporaryDirectory() as work:
            os.makedirs(os.path.join(work, 'ansible_collections', 'romtide'))
            os.symlink(COLLECTION, os.path.join(work, 'ansible_collections', 'romtide',
                                                'fieldbus'))
            machine_file = os.path.join(work, 'machine.toml')
            open(machine_file, 'w').close()
            log = os.path.join(work, 'calls.log')
            env = dict(os.environ, HOME=work, ANSIBLE_COLLECTIONS_PATH=work,
                       ANSIBLE_NOCOLOR='1', FAKE_BOOTLOADER_LOG=log,
                       ANSIBLE_LOCAL_TEMP=os.path.join(work, 'tmp'))
            table = [
                ('update', ['--check', '--diff'], 0, ['CHANGED', '+can-a 5: S2'], 'plan'),
                ('current', [], 0, ['SUCCESS'], 'apply'),
                ('device-failed', [], 2, ['FAILED', 'can-a 7 (erase-failed)'], 'apply'),
            ]
            for mode, flags, status, words, command in table:
                with self.subTest(mode=mode, flags=flags):
                    if os.path.exists(log):
                        os.remove(log)
                    done = subprocess.run(
                        ['ansible', 'localhost', '-m', 'romtide.fieldbus.machine', '-a',
                         'file=%s binary=%s' % (machine_file, FAKE)] + flags,
                        env=dict(env, FAKE_BOOTLOADER=mode), stdout=subprocess.PIPE,
                        stderr=subprocess.STDOUT, timeout=120, check=False)
                    out = done.stdout.decode()
                    self.assertEqual(done.returncode, status, out)
                    for word in words:
                        self.assertIn(word, out)
                    with open(log) as f:
                        commands = [json.loads(line)[1] for line in f]
                    self.assertEqual(commands, ['--help', command])


class RunKillsWhatOutlastsItsGrace(unittest.TestCase):
    def test_killed_with_its_children(self):
        found = importlib.util.spec_from_file_location('machine', MODULE)
        machine = importlib.util.module_from_spec(found)
        found.loader.exec_module(machine)
        machine.KILL_GRACE_SECONDS = 0.5
        # Ignores SIGTERM and leaves a child holding its output open.
        script = 'trap "" TERM; sleep 300 & echo $!; wait'
        rc, out, _, timed_out = machine.run(['sh', '-c', script], 0.5)
        self.assertTrue(timed_out)
        self.assertEqual(rc, -9)
        child = int(out.split()[0])
        # The child's output closes before the kernel has finished its exit, so its state
        # is looked at until it is a zombie or gone; one still running after 10 s outlived
        # the kill.
        state = None
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with open('/proc/%d/stat' % child) as f:
                    state = f.read().rsplit(')', 1)[1].split()[0]
            except FileNotFoundError:
                state = None
            if state in (None, 'Z', 'X'):
                break
            time.sleep(0.01)
        self.assertIn(state, (None, 'Z', 'X'), 'the child outlived the kill')


if __name__ == '__main__':
    unittest.main(verbosity=2)
