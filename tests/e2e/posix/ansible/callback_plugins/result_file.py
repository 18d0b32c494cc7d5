# Writes every task result and the per-host totals of a playbook run as JSON
# to the file named by RESULT_FILE, in the shape
# {"plays": [{"tasks": [{"task": {"name"}, "hosts": {host: result}}]}], "stats": {...}}.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = '''
name: result_file
type: aggregate
short_description: task results as JSON in the file RESULT_FILE (tests only)
description: Task results as JSON in the file RESULT_FILE.
'''


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'result_file'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.plays = []

    def v2_playbook_on_play_start(self, play):
        self.plays.append({'play': {'name': play.get_name()}, 'tasks': []})

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.plays[-1]['tasks'].append({'task': {'name': task.get_name()}, 'hosts': {}})

    def _record(self, result, **flags):
        values = dict(result._result)
        values.update(flags)
        self.plays[-1]['tasks'][-1]['hosts'][result._host.get_name()] = values

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        totals = dict((host, stats.summarize(host)) for host in sorted(stats.processed))
        with open(os.environ['RESULT_FILE'], 'w') as out:
            json.dump({'plays': self.plays, 'stats': totals}, out, indent=2, default=str)
