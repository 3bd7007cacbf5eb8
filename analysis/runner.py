"""The field's resampling libraries, and this library's converters, as the
runner program asrc-peer-run (bench/peers) gives them: which settings it was
built with, a conversion of raw 16-bit samples (or of 32-bit Q1.31 samples
for its 32-bit settings), a timing on one core.

What is installed differs from machine to machine, so nothing here is
allowed to stop the report: a runner that is not there, a library it was
built without, or a setting that fails on one ratio each becomes a note
(RunnerError carries it) and the report goes on without that setting."""

import json
import os
import subprocess

import numpy as np

PROGRAM = "asrc-peer-run"


class RunnerError(Exception):
    """A setting that cannot give its output here; str() is the note."""


def locate(given=None, build=None, module_dir=None):
    """The runner's path and, when it is not found, why: the path given
    (--runner), else BUILD/asrc-peer-run, else the build directory the
    module lies in (BUILD/python/..)."""
    if given:
        if os.path.isfile(given) and os.access(given, os.X_OK):
            return os.path.abspath(given), None
        return None, f"{given} is not an executable program"
    places = []
    if build:
        places.append(os.path.join(build, PROGRAM))
    if module_dir:
        places.append(os.path.join(os.path.dirname(os.path.abspath(module_dir)), PROGRAM))
    for p in places:
        if os.path.isfile(p) and os.access(p, os.X_OK):
            return os.path.abspath(p), None
    return None, (f"{PROGRAM} not found (looked for {', '.join(places) or 'nothing'}); it is "
                  "built beside asrc wherever the tests or benchmarks are, or give --runner")


def _first_line(text):
    lines = [ln.strip() for ln in text.strip().splitlines() if ln.strip()]
    return lines[0] if lines else "no message"


class Runner:
    """One asrc-peer-run program.  settings maps each setting it was built
    with to what --list --json says of it (name, library, package, version,
    description, exact_ratio)."""

    def __init__(self, path, timeout=600):
        self.path = path
        self.timeout = timeout
        listing = self._call(["--list", "--json"], b"")
        try:
            data = json.loads(listing.decode())
            self.settings = {s["name"]: s for s in data["settings"]}
            self.missing = list(data.get("missing", []))
        except (ValueError, KeyError, TypeError) as e:
            raise RunnerError(f"{path} --list --json gave no list of settings ({e})") from None

    def _call(self, args, stdin):
        try:
            p = subprocess.run([self.path] + args, input=stdin, capture_output=True,
                               timeout=self.timeout)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise RunnerError(f"{PROGRAM} {' '.join(args)}: {e}") from None
        if p.returncode != 0:
            raise RunnerError(f"{PROGRAM} {' '.join(args)} failed (status {p.returncode}): "
                              f"{_first_line(p.stderr.decode(errors='replace'))}")
        self.last_stderr = p.stderr.decode(errors="replace")
        return p.stdout

    def why_not(self, name):
        """Why a setting that is not listed cannot run, in the runner's own
        words (it names the library and its Debian package)."""
        try:
            self._call([name, "1", "1"], b"")
        except RunnerError as e:
            return str(e)
        return f"{name} is not listed by {PROGRAM} --list"

    def bits(self, name):
        """The sample width of a setting: 16 (int16) or 32 (int32 Q1.31)."""
        return int(self.settings.get(name, {}).get("bits", 16))

    def convert(self, name, x, in_rate, out_rate, time_runs=0, block=1024):
        """x (int16, or int32 for a 32-bit setting) from in_rate to out_rate
        (decimal text or numbers: only their ratio counts) through setting
        `name`: the aligned outputs, and with time_runs > 0 the runner's
        timing on one core (a dict with ns_per_input_sample and
        latency_input_samples), else None.  A 2-D x holds frames x channels,
        interleaved for the runner, and so does the output."""
        if name not in self.settings:
            raise RunnerError(self.why_not(name))
        x = np.asarray(x)
        channels = x.shape[1] if x.ndim == 2 else 1
        args = ["--block", str(block)] + (["--channels", str(channels)] if channels > 1 else [])
        if time_runs:
            args += ["--time", "--json", "--runs", str(time_runs)]
        args += [name, str(in_rate), str(out_rate)]
        wide = self.bits(name) == 32
        dtype = "<i4" if wide else "<i2"
        raw = np.ascontiguousarray(x, dtype=dtype).tobytes()
        out = self._call(args, raw)
        if len(out) % (4 if wide else 2):
            raise RunnerError(f"{name}: {len(out)} bytes of output, not whole samples")
        y = np.frombuffer(out, dtype=dtype).astype(np.int32 if wide else np.int16)
        if x.ndim == 2:
            y = y.reshape(-1, channels)
        timing = None
        if time_runs:
            lines = [ln for ln in self.last_stderr.splitlines() if ln.startswith("{")]
            try:
                timing = json.loads(lines[-1])
                float(timing["ns_per_input_sample"])
            except (IndexError, ValueError, KeyError, TypeError):
                raise RunnerError(f"{name}: no timing in the runner's report "
                                  f"({_first_line(self.last_stderr)})") from None
        return y, timing


def open_runner(given=None, build=None, module_dir=None):
    """A Runner, or None and the note that says why there is none."""
    path, why = locate(given, build, module_dir)
    if path is None:
        return None, why
    try:
        return Runner(path), None
    except RunnerError as e:
        return None, str(e)
