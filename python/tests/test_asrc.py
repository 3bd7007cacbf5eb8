"""The module against the program asrc and against itself.

Run from CTest (python_module), or by hand:
    PYTHONPATH=build/python ASRC_PROGRAM=build/asrc /usr/bin/python3 -m pytest python/tests
"""
import math
import os
import pathlib
import subprocess
import threading

import numpy as np
import pytest

import asrc

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROGRAM = pathlib.Path(os.environ.get("ASRC_PROGRAM", ROOT / "build" / "asrc")).resolve()
SAMPLE = pathlib.Path(os.environ.get("ASRC_SAMPLE", ROOT / "samples" / "TEST24.TXT"))
BLOCK = 16  # the program converts whole blocks of this many numbers

needs_program = pytest.mark.skipif(not PROGRAM.exists(), reason=f"no program at {PROGRAM}")


def run_program(folder, offset, numbers):
    """Runs the program on `numbers` in `folder`: (exit status, stdout, outputs or None)."""
    (folder / "TEST24.TXT").write_text("".join(f"{v}\n" for v in numbers))
    out_file = folder / "TEST24_ASRC.TXT"
    out_file.unlink(missing_ok=True)
    done = subprocess.run([str(PROGRAM), offset], cwd=folder, capture_output=True, text=True)
    outputs = None
    if done.returncode == 0:
        outputs = np.array(out_file.read_text().split(), dtype=np.int64)
    return done.returncode, done.stdout, outputs


def as_the_program_does(numbers, step):
    """condition + one Converter fed whole blocks of 16, as the program feeds it."""
    samples = asrc.condition(np.asarray(numbers, dtype=np.int32))
    whole = len(samples) // BLOCK * BLOCK
    c = asrc.Converter()
    return np.concatenate([np.zeros(0, np.int16)] +
                          [c.process(samples[at:at + BLOCK], step) for at in range(0, whole, BLOCK)])


@needs_program
@pytest.mark.parametrize("offset", ["0.01", "-0.01", "0", "0.5", "-1.3", "0.99"])
def test_sample_file_bit_for_bit_with_the_program(tmp_path, offset):
    # The sample file's 96000 lines are a whole number of blocks; drop 5 so
    # that the last, partial block is left out as the program leaves it out.
    numbers = np.loadtxt(SAMPLE, dtype=np.int64)[:-5]
    status, stdout, outputs = run_program(tmp_path, offset, numbers)
    assert status == 0, stdout
    expected = as_the_program_does(numbers, asrc.step_for_offset(offset))
    assert len(expected) > 0
    np.testing.assert_array_equal(outputs, expected)


OFFSETS = ["0.01", "-0.01", "1e-2", " 0.25", "0x1p-3", "-2", "-2.0", "1.99993896484375",
           "1.9999", "2", "2.0", "-2.00006", "-2.00007", "0.01x", "", "nan", "inf", "-inf", "abc",
           "1e400", "-1e-400", "+.5", "0.5 ", "\u00e9"]


@needs_program
@pytest.mark.parametrize("offset", OFFSETS)
def test_offsets_accepted_and_refused_as_the_program_does(tmp_path, offset):
    rng = np.random.default_rng(7)
    numbers = rng.integers(-8388608, 8388608, size=4 * BLOCK)
    status, stdout, outputs = run_program(tmp_path, offset, numbers)
    if status == 0:
        np.testing.assert_array_equal(outputs, as_the_program_does(numbers, asrc.step_for_offset(offset)))
    else:
        assert status == 2
        with pytest.raises(ValueError) as refused:
            asrc.step_for_offset(offset)
        assert str(refused.value) == stdout.strip()


@pytest.mark.parametrize("offset", [0.01, -0.01, 1 / 3, -2.0, 1.9999, np.nextafter(2.0, 0.0),
                                    1e-300, -0.0, np.float64(0.7), np.float32(0.3), 1, -2])
def test_number_offsets_are_read_exactly(offset):
    assert asrc.step_for_offset(offset) == math.trunc(16384.0 * float(offset))


def stream(n, seed):
    rng = np.random.default_rng(seed)
    return rng.integers(-20000, 20001, size=n).astype(np.int16)


@pytest.mark.parametrize("step", [0, 163, -163, 3000, -2341, 16384, 20000, -16384, -32768, 32767])
def test_state_carries_across_calls_split_anywhere(step):
    x = stream(1000, step & 0xFFFF)
    whole = asrc.convert(x, step)
    reference = asrc.Converter()
    reference.process(x, step)
    cuts = [0, 1, 2, 3, 17, 18, 500, 999, 999, 1000]
    c = asrc.Converter()
    pieces = [c.process(x[a:b], step) for a, b in zip(cuts, cuts[1:])]
    np.testing.assert_array_equal(np.concatenate(pieces), whole)
    assert c.state == reference.state
    assert c.phase == reference.state["phase"]
    assert len(whole) <= asrc.max_output(len(x), step)


def test_reset_starts_again():
    x = stream(100, 1)
    c = asrc.Converter()
    c.process(x, -700)
    assert c.phase != 0
    c.reset()
    assert c.state == {"in": 0, "in_prev": 0, "out": 0, "out_prev": 0, "phase": 0}
    np.testing.assert_array_equal(c.process(x, -700), asrc.convert(x, -700))


@pytest.mark.parametrize("step", [0, -1, -163, -8192, -16384, -16385, -32768])
def test_max_output_is_reached_from_reset(step):
    # From reset the first input of a negative step inserts, then one every
    # floor(16384/|step|) + 1 inputs: the bound is met exactly.
    for n in (1, 16, 101, 1000):
        assert len(asrc.convert(np.zeros(n, np.int16), step)) == asrc.max_output(n, step)


def views():
    base = stream(3001, 5)
    raw = np.concatenate([np.zeros(1, np.uint8), base.view(np.uint8)])
    return {
        "reversed": base[::-1],
        "every third": base[::3],
        "odd, backwards": base[-2::-2],
        "column": np.ascontiguousarray(np.stack([base, -base], axis=1))[:, 1],
        "unaligned": np.frombuffer(raw.tobytes(), dtype=np.int16, offset=1, count=3000),
        "long strided": np.tile(base, 12)[::3],  # more than one gather piece
        "empty": base[:0],
    }


@pytest.mark.parametrize("name", list(views()))
def test_any_stride_converts_as_a_contiguous_copy(name):
    view = views()[name]
    for step in (163, -2341):
        np.testing.assert_array_equal(asrc.convert(view, step), asrc.convert(view.copy(), step))
    if len(view):
        numbers = view.astype(np.int32) * 251
        np.testing.assert_array_equal(asrc.condition(numbers[::-1]), asrc.condition(numbers.copy())[::-1])


def test_condition_takes_int64_within_the_32_bit_range():
    numbers = np.array([0, 25600, -25600, 255, -1, 8388607, -8388608, 2**31 - 1, -2**31], np.int64)
    np.testing.assert_array_equal(asrc.condition(numbers), asrc.condition(numbers.astype(np.int32)))
    # 25600 (100 at 16-bit scale) times 0.99 must give 99, not 98.
    assert asrc.condition(numbers)[1] == 99


x16 = np.zeros(8, np.int16)
ERRORS = [
    (asrc.convert, (x16.astype(np.float32), 1), TypeError, "int16, got dtype float32"),
    (asrc.convert, (x16.astype(np.int32), 1), TypeError, "dtype int32"),
    (asrc.convert, (x16.astype(">i2"), 1), TypeError, "dtype >i2"),
    (asrc.convert, (list(x16), 1), TypeError, "got list"),
    (asrc.convert, (x16.reshape(2, 4), 1), ValueError, "one-dimensional, got 2"),
    (asrc.convert, (np.array(3, np.int16), 1), ValueError, "one-dimensional, got 0"),
    (asrc.convert, (np.int16(3), 1), TypeError, "got numpy.int16"),
    (asrc.convert, (x16, 32768), ValueError, "-32768..32767, got 32768"),
    (asrc.convert, (x16, -32769), ValueError, "got -32769"),
    (asrc.convert, (x16, 2**70), ValueError, "-32768..32767"),
    (asrc.convert, (x16, 0.5), TypeError, "step must be an integer"),
    (asrc.convert, (x16, "1"), TypeError, "step must be an integer"),
    (asrc.Converter().process, (x16.astype(np.float64), 1), TypeError, "int16"),
    (asrc.Converter().process, (x16, 1e3), TypeError, "got float"),
    (asrc.condition, (x16, ), TypeError, "int32 or int64, got dtype int16"),
    (asrc.condition, (np.zeros(3, np.float64), ), TypeError, "float64"),
    (asrc.condition, (np.array([0, 2**31]), ), ValueError, "numbers[1] = 2147483648 is outside"),
    (asrc.condition, (np.array([-2**31 - 1]), ), ValueError, "numbers[0] = -2147483649"),
    (asrc.condition, (np.zeros((2, 2), np.int32), ), ValueError, "one-dimensional"),
    (asrc.step_for_offset, (b"0.01", ), TypeError, "str or a number, got bytes"),
    (asrc.step_for_offset, (True, ), TypeError, "got bool"),
    (asrc.step_for_offset, ("\ud800", ), ValueError, "surrogate"),
    (asrc.step_for_offset, ("0.01\x00", ), ValueError, 'Invalid rate offset "0.01\\x00"'),
    (asrc.step_for_offset, (float("nan"), ), ValueError, 'Invalid rate offset "nan"'),
    (asrc.step_for_offset, (2.0, ), ValueError, 'Invalid rate offset "2.0"'),
    (asrc.step_for_offset, (10**400, ), ValueError, "Invalid rate offset"),
    (asrc.max_output, (2**31, 0), ValueError, "count must lie in the 32-bit range"),
    (asrc.max_output, (-2**31 - 1, 0), ValueError, "32-bit range, got -2147483649"),
    (asrc.max_output, (10, 40000), ValueError, "-32768..32767"),
    (asrc.max_output, (1.5, 0), TypeError, "count must be an integer"),
]


@pytest.mark.parametrize("call,args,error,message", ERRORS, ids=[e[3] for e in ERRORS])
def test_bad_arguments_raise_clearly(call, args, error, message):
    with pytest.raises(error) as raised:
        call(*args)
    assert message in str(raised.value)


def test_one_converter_shared_by_threads_stays_whole():
    # The GIL is released while converting; calls on one converter must still
    # run one after another, so each thread's piece converts as a whole.
    pieces = [stream(200_000, s) for s in range(4)]
    c = asrc.Converter()
    outputs = [None] * len(pieces)

    def work(i):
        outputs[i] = c.process(pieces[i], -163)

    threads = [threading.Thread(target=work, args=(i, )) for i in range(len(pieces))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Whatever order the calls ran in, replaying the pieces in that order on
    # a fresh converter must give each piece's outputs and the final state.
    done = []
    while len(done) < len(pieces):
        for i in sorted(set(range(len(pieces))) - set(done)):
            trial = asrc.Converter()
            for j in done:
                trial.process(pieces[j], -163)
            if np.array_equal(trial.process(pieces[i], -163), outputs[i]):
                done.append(i)
                break
        else:
            pytest.fail(f"after pieces {done} no piece's output follows: the calls overlapped")
    assert trial.state == c.state
