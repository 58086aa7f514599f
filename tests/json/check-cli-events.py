#!/usr/bin/python3
"""kelvo-fwupd-cli --json on the simulated bench: every line of each run is one object that the
events schema accepts, the log objects are the log lines of the same run without --json, stderr
keeps its summary and shows no progress, and the devices and targets go through the stages and
ends each run is expected to give them.

usage: check-cli-events.py KELVO_FWUPD_CLI SCHEMA_FILE
"""
import json
import re
import signal
import subprocess
import sys
import tempfile
import unittest

import jsonschema

PROGRAM, SCHEMA_FILE = sys.argv[1], sys.argv[2]
SERIAL = "1-2-3-4-5-6-7-8"
FULL_USB_UPDATE = ["enter-bootloader", "erase", "write", "validate", "leave-bootloader", "parameters-restored"]
FULL_TARGET_UPDATE = ["enter-bootloader", "erase", "write", "validate", "leave-bootloader"]
EIGHT_TARGETS = "wireless-controller," + ",".join(f"t{i}=12:3:11" for i in range(1, 9))


def sensor(faults=""):
    return "optical-sensor,serial=" + SERIAL + faults


# Each run: its --simulate devices; the summary; when given, the kinds of the devices found in order
# and, for each subject (serial, target index or None), its end objects as (outcome, reason, step)
# and its stages in order.
RUNS = [
    {"name": "a whole update", "devices": [sensor()], "summary": (1, 0, 0),
     "ends": {(SERIAL, None): [("updated", None, None)]}, "stages": {(SERIAL, None): FULL_USB_UPDATE}},
    {"name": "cut off mid-write and finished on its return",
     "devices": [sensor(",unplug-at-block=100,replug-after-ms=30")], "summary": (1, 0, 0),
     "ends": {(SERIAL, None): [("unfinished", "gone", "flash-erased"), ("updated", None, None)]},
     "stages": {(SERIAL, None): ["enter-bootloader", "erase", "write", "erase", "write", "validate",
                                 "leave-bootloader", "parameters-restored"]}},
    {"name": "gone after the switch", "devices": [sensor(",unplug-after=switch")], "summary": (0, 0, 1),
     "ends": {(SERIAL, None): [("unfinished", None, "switch-requested")]},
     "stages": {(SERIAL, None): ["enter-bootloader"]}},
    {"name": "gone after the validation", "devices": [sensor(",unplug-after=validate")], "summary": (0, 0, 1),
     "ends": {(SERIAL, None): [("unfinished", None, "flash-validated")]}},
    {"name": "a refused erase", "devices": [sensor(",fail=erase")], "summary": (0, 0, 1),
     "ends": {(SERIAL, None): [("unfinished", "erase", "bootloader-arrived")]},
     "stages": {(SERIAL, None): ["enter-bootloader", "erase"]}},
    {"name": "a refused validation", "devices": [sensor(",fail=validate")], "summary": (0, 0, 1),
     "ends": {(SERIAL, None): [("unfinished", "validate", "flash-written")]}},
    {"name": "an unreadable bootloader serial number", "devices": [sensor(",fail=serial")], "summary": (0, 1, 1),
     "ends": {(None, None): [("failed", "bootloader-info", None)],
              (SERIAL, None): [("unfinished", None, "switch-requested")]}},
    # Flashed, and back with no parameters saved to restore.
    {"name": "a bootloader left by an earlier update",
     "devices": ["bootloader,pid=32,hw=2,flash=valid,serial=" + SERIAL], "summary": (0, 1, 0),
     "kinds": ["bootloader", "optical-sensor"], "ends": {(SERIAL, None): [("failed", "restore-parameters", None)]},
     "stages": {(SERIAL, None): ["erase", "write", "validate", "leave-bootloader"]}},
    {"name": "a camera sensor", "devices": ["camera-sensor"], "summary": (1, 0, 0),
     "kinds": ["camera-sensor", "bootloader", "camera-sensor"]},
    {"name": "a pulse sensor", "devices": ["pulse-sensor"], "summary": (1, 0, 0),
     "kinds": ["pulse-sensor", "bootloader", "pulse-sensor"]},
    {"name": "a trigger", "devices": ["trigger"], "summary": (1, 0, 0), "kinds": ["trigger", "bootloader", "trigger"]},
    {"name": "a target controller's target cut off and flashed again",
     "devices": ["target-controller,target-unplug-at-block=4843,replug-after-ms=21"], "summary": (1, 0, 0),
     "ends": {("6-1-2-3-4-5-6-7", 1): [("unfinished", "gone", None), ("updated", None, None),
                                       ("current", None, None)]},
     "stages": {("6-1-2-3-4-5-6-7", 1): ["enter-bootloader", "erase", "write", "erase", "write", "validate",
                                         "leave-bootloader"]}},
    {"name": "a wireless target out of reach and the next one updated",
     "devices": ["wireless-controller,t1=12:3:11:silent-at-block=100,t2=12:3:11"], "summary": (1, 0, 1),
     "ends": {("12-3-0-0-0-0-0-1", 1): [("unfinished", "gone", None)],
              ("12-3-0-0-0-0-0-2", 2): [("updated", None, None), ("current", None, None)]},
     "stages": {("12-3-0-0-0-0-0-1", 1): ["enter-bootloader", "erase", "write"],
                ("12-3-0-0-0-0-0-2", 2): FULL_TARGET_UPDATE}},
    {"name": "eight wireless targets", "devices": [EIGHT_TARGETS], "summary": (8, 0, 0),
     "stages": {(f"12-3-0-0-0-0-0-{i}", i): FULL_TARGET_UPDATE for i in range(1, 9)}},
]


def run(devices, json_lines):
    args = [PROGRAM, "--yes", "--latency-ms", "0", "--firmware-server", "http://127.0.0.1:1/downloads/fw/"]
    for device in devices:
        args += ["--simulate", device]
    if json_lines:
        args.append("--json")
    with tempfile.TemporaryDirectory() as data:
        done = subprocess.run(args, capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL,
                              env={"XDG_DATA_HOME": data, "PATH": "/usr/bin:/bin"})
    return done.returncode, done.stdout, done.stderr


def subject(event):
    return event.get("serial"), event.get("target")


class CliJsonEvents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(SCHEMA_FILE, encoding="utf-8") as file:
            schema = json.load(file)
        jsonschema.Draft202012Validator.check_schema(schema)
        cls.validator = jsonschema.Draft202012Validator(schema)

    def parse(self, out):
        events = []
        for number, line in enumerate(out.splitlines(), 1):
            event = json.loads(line)
            errors = [e.message for e in self.validator.iter_errors(event)]
            self.assertEqual(errors, [], f"line {number}: {line}")
            events.append(event)
        return events

    def test_a_close_signal_during_the_flash(self):
        # The flash stops with the signal; the device's update ends once, unfinished and interrupted.
        args = [PROGRAM, "--json", "--yes", "--latency-ms", "1", "--firmware-server",
                "http://127.0.0.1:1/downloads/fw/", "--simulate", sensor()]
        with tempfile.TemporaryDirectory() as data:
            with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                  stdin=subprocess.DEVNULL, env={"XDG_DATA_HOME": data}) as program:
                out = ""
                for line in program.stdout:
                    out += line
                    if '"event":"progress"' in line:
                        program.send_signal(signal.SIGTERM)
                        break
                out += program.stdout.read()
                self.assertEqual(program.wait(timeout=60), 1)
        events = self.parse(out)
        self.assertEqual([(e["outcome"], e.get("reason"), e.get("step")) for e in events if e["event"] == "end"],
                         [("unfinished", "interrupted", "flash-erased")])
        self.assertEqual(events[-1], {"event": "summary", "updated": 0, "failed": 0, "unfinished": 1})

    def check_run(self, case):
        status, out, err = run(case["devices"], True)
        events = self.parse(out)

        # The summary is the last object and says what the stderr line says.
        self.assertEqual([e["event"] for e in events].count("summary"), 1)
        summary = events[-1]
        self.assertEqual(summary["event"], "summary")
        counts = (summary["updated"], summary["failed"], summary["unfinished"])
        self.assertEqual(counts, case["summary"])
        line = re.search(r"^kelvo-fwupd-cli: (\d+) updated, (\d+) failed, (\d+) unfinished", err, re.M)
        self.assertIsNotNone(line, err)
        self.assertEqual(tuple(int(n) for n in line.groups()), counts)
        self.assertEqual(status, 0 if counts[1:] == (0, 0) else 1)
        # The progress is in the events, not drawn on stderr.
        self.assertNotRegex(err, r"(?m)^\d+%$|\[#")

        # Per device or target, its last end other than current, and each failure that names no
        # device, give the summary.
        last = {}
        unnamed_failures = 0
        for e in events:
            if e["event"] == "end" and e["outcome"] != "current":
                if e["serial"] is None:
                    unnamed_failures += 1
                else:
                    last[subject(e)] = e["outcome"]
        outcomes = list(last.values())
        self.assertEqual((outcomes.count("updated"), outcomes.count("failed") + unnamed_failures,
                          outcomes.count("unfinished")), counts)

        # The log objects are the log lines of the same run without --json.
        _, plain, _ = run(case["devices"], False)
        self.assertEqual([e["text"] for e in events if e["event"] == "log"], plain.splitlines())

        if "kinds" in case:
            self.assertEqual([e["kind"] for e in events if e["event"] == "device"], case["kinds"])
        for key, expected in case.get("ends", {}).items():
            ends = [(e["outcome"], e.get("reason"), e.get("step")) for e in events
                    if e["event"] == "end" and subject(e) == key]
            self.assertEqual(ends, expected, key)
        for key, expected in case.get("stages", {}).items():
            stages = [e["stage"] for e in events if e["event"] == "stage" and subject(e) == key]
            self.assertEqual(stages, expected, key)
        self.check_progress(events)

    def check_progress(self, events):
        # Within one flash (from a write stage to the subject's next stage or end) the blocks done
        # grow, a whole percent at least each time, and a flash that reaches its validation shows
        # every block written.
        flashes = {}
        for e in events:
            key = subject(e)
            if e["event"] == "stage" and e["stage"] == "write":
                flashes[key] = []
            elif e["event"] == "progress":
                self.assertIn(key, flashes, e)
                flashes[key].append(e)
            elif e["event"] in ("stage", "end") and key in flashes:
                shown = flashes.pop(key)
                self.assertLessEqual(len(shown), 101)
                percents = [p["done"] * 100 // p["total"] for p in shown]
                self.assertEqual(percents, sorted(set(percents)), key)
                if e["event"] == "stage" and e["stage"] == "validate":
                    self.assertTrue(shown and shown[-1]["done"] == shown[-1]["total"], key)


def add_case(case):
    def test(self):
        self.check_run(case)
    name = "test_" + re.sub(r"\W+", "_", case["name"])
    setattr(CliJsonEvents, name, test)


for run_case in RUNS:
    add_case(run_case)

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
