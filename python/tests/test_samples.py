"""The samples: the same as the tool's, the same bytes on the wire whatever
container holds them, with numpy or without."""

import array
import math
import warnings

import numpy as np
import pytest
from conftest import CSV_FOLDER, DDS, csv_cases, run_python, wave_table
from peer import LENGTH

import velmar_dds


@pytest.mark.parametrize("use_numpy", [True, False])
def test_the_samples_are_the_tools(use_numpy):
    for arguments, expected, clipped in wave_table():
        got = velmar_dds.wave_samples(*arguments, use_numpy=use_numpy, clip=True)
        assert list(got) == expected, arguments[:3]
        # Clipping is refused unless asked for, as the tool refuses it.
        if clipped:
            with pytest.raises(ValueError) as raised:
                velmar_dds.wave_samples(*arguments, use_numpy=use_numpy)
            assert str(raised.value).startswith(
                f"{clipped} of {arguments[1]} samples fall outside the DAC's range: "
            ), arguments[:3]
        else:
            assert list(velmar_dds.wave_samples(*arguments, use_numpy=use_numpy)) == expected


@pytest.mark.parametrize("use_numpy", [True, False])
def test_a_function_is_sampled_at_each_phase(use_numpy):
    got = velmar_dds.wave_samples(lambda p: 1.0 - 2.0 * p, 4, 1, bits=8, use_numpy=use_numpy)
    assert list(got) == [255, 191, 128, 64]  # 127.5 rounds away from zero


# Values without a level, as the C++ code plays them: NaN mid-scale (whatever
# the offset), infinities clipped. (wave, amplitude, offset, bits, samples)
# for the four phases 0, 0.25, 0.5 and 0.75.
NOT_FINITE = [
    ([math.inf, -math.inf, math.nan, 0.25], 1, 0, 8, [255, 0, 128, 159]),
    ([math.inf, -math.inf, math.nan, 0.25], 1, 0.5, 8, [255, 0, 128, 223]),
    ([math.inf, -math.inf, math.nan, 0.25], 0, 0, 16, [32768, 32768, 32768, 32768]),
    ([math.inf, -math.inf, math.nan, 0.25], -1, 0, 1, [0, 1, 1, 0]),
    ([math.nan, math.nan, math.nan, math.nan], 1, -3, 12, [2048, 2048, 2048, 2048]),
]


@pytest.mark.parametrize("use_numpy", [True, False])
@pytest.mark.parametrize("values,amplitude,offset,bits,expected", NOT_FINITE)
def test_values_that_are_not_finite(use_numpy, values, amplitude, offset, bits, expected):
    at = dict(zip((0.0, 0.25, 0.5, 0.75), values))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nor does numpy complain
        got = velmar_dds.wave_samples(
            at.__getitem__, 4, 1, amplitude, offset, bits, use_numpy=use_numpy, clip=True
        )
        # A table holding them is read the same way: an infinity met by
        # interpolation becomes NaN (inf * 0) or stays infinite.
        table = velmar_dds.wave_samples([0, math.inf], 4, 1, use_numpy=use_numpy, clip=True)
    assert list(got) == expected
    assert list(table) == [32768, 65535, 32768, 32768]


def sent_samples(peer):
    """The samples of every block since the last length header, as bytes."""
    messages = peer.messages(DDS)
    last_header = max(i for i, m in enumerate(messages) if m[0] == LENGTH and len(m) == 3)
    return messages[last_header], b"".join(messages[last_header + 1 :])


def test_every_container_sends_the_same_bytes(peer):
    values = [(0x1234 + 0x0101 * i) & 0xFFFF for i in range(100)]
    gen = velmar_dds.find()[0]
    sent = set()
    for samples in (
        values,
        tuple(values),
        array.array("H", values),
        np.array(values, np.uint16),
        np.array(values, np.int64),
        np.array(values, np.uint16)[::-1][::-1],
        range(0x1234, 0x1234 + 0x0101 * 100, 0x0101),
    ):
        gen.download(samples)
        sent.add(sent_samples(peer))
    padded = values + [values[-1]] * 28
    assert sent == {(bytes([LENGTH, 99, 0]), b"".join(v.to_bytes(2, "little") for v in padded))}


def test_without_numpy_the_same_wave_is_played(peer):
    """A second interpreter with numpy hidden plays to the same instrument."""
    gen = velmar_dds.find()[0]
    gen.play(1000, wave=[0, 1, 0.5, -1], amplitude=0.8)
    with_numpy = sent_samples(peer)
    result = run_python(
        "import sys\nsys.modules['numpy'] = None\nimport velmar_dds\n"
        "assert velmar_dds._wave.numpy_or_none() is None\n"
        "print(velmar_dds.find()[0].play(1000, wave=[0, 1, 0.5, -1], amplitude=0.8).length)"
    )
    assert result.stdout == "2083\n", result.stderr
    assert sent_samples(peer) == with_numpy


@pytest.mark.parametrize(
    "text,values",
    [
        ("# one period\n0; 0.25 ;0.5\r\n", [0, 0.25, 0.5]),
        ("1e-1\n\t-2E-1\n\n+.5\n3.\n", [0.1, -0.2, 0.5, 3]),
        ('"0.5","-0.5"\n', [0.5, -0.5]),
        # Rows of different widths: no one knows which value belongs where.
        (
            "# one period\n0; 0.25 ;0.5\r\n1e-1\t-2E-1\n\n",
            "wave.csv: line 2: 3 columns: a wave file holds one value a line, one row of values, "
            "or two columns (time, value)",
        ),
        ("0.5\n", "wave.csv: a wave table needs at least two values, found 1"),
        ("0,1\nvalue,2\n", "wave.csv: line 2: 'value' is not a number"),
        ("0,1_0\n", "wave.csv: line 1: '1_0' is not a number"),
        ("0,1e400\n", "wave.csv: line 1: '1e400' is not a number"),
        ("0, nan\n", "wave.csv: line 1: 'nan' is not a number"),
        ("0,\u0661\n", "wave.csv: line 1: '\u0661' is not a number"),  # float() takes it
    ],
)
def test_a_wave_from_csv(tmp_path, monkeypatch, text, values):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "wave.csv").write_text(text, encoding="utf-8")
    if isinstance(values, str):
        with pytest.raises(ValueError) as raised:
            velmar_dds.load_wave("wave.csv")
        assert str(raised.value) == values
    else:
        assert velmar_dds.load_wave("wave.csv") == values


@pytest.mark.parametrize("name,raw,bits,expected", csv_cases())
def test_the_shared_wave_files_read_as_the_tool_reads_them(name, raw, bits, expected):
    path = CSV_FOLDER / name
    if isinstance(expected, str):
        with pytest.raises(ValueError) as raised:
            velmar_dds.load_wave(path, raw=raw, bits=bits)
        assert str(raised.value) == f"{path}: {expected}"
        return
    values = velmar_dds.load_wave(path, raw=raw, bits=bits)
    assert values == expected
    if raw:
        # Played as they are: each code comes back from the full scale.
        codes = velmar_dds.wave_samples(values, len(values), 1, bits=bits)
        assert [2.0 * c / (2**bits - 1) - 1.0 for c in codes] == expected


# A wave beyond the DAC's range: refused unless clipping is asked for, with
# the hint of raw=True where the values look like DAC codes.
CLIPPING = [
    ("square", 1.0, 0.5, 16, "2 of 4 samples fall outside the DAC's range", False),
    ("sine", 0.6, 0.6, 16, "1 of 4 samples fall outside", False),
    ([0.0, 1.25, 0.0, -1.25], 1.0, 0.0, 16, "2 of 4 samples fall outside", False),
    ([0, 1000, 4095, 2000], 1.0, 0.0, 12, "3 of 4 samples fall outside", True),
    (lambda p: math.inf if p else 0.0, 1.0, 0.0, 16, "3 of 4 samples fall outside", False),
]


@pytest.mark.parametrize("use_numpy", [True, False])
@pytest.mark.parametrize("wave,amplitude,offset,bits,message,hint", CLIPPING)
def test_clipping_is_refused_unless_asked_for(
    use_numpy, wave, amplitude, offset, bits, message, hint
):
    with pytest.raises(ValueError) as raised:
        velmar_dds.wave_samples(wave, 4, 1, amplitude, offset, bits, use_numpy=use_numpy)
    assert message in str(raised.value)
    assert "(clip=True clips them" in str(raised.value)
    assert ("load_wave(path, raw=True)" in str(raised.value)) == hint
    clipped = velmar_dds.wave_samples(
        wave, 4, 1, amplitude, offset, bits, use_numpy=use_numpy, clip=True
    )
    assert min(clipped) >= 0 and max(clipped) == 2**bits - 1


def test_a_clipped_wave_sends_nothing_and_clip_sends_it(peer):
    gen = velmar_dds.find()[0]
    with pytest.raises(ValueError, match="fall outside the DAC's range"):
        gen.play(1000, wave="square", offset=0.5)
    with pytest.raises(ValueError, match="fall outside the DAC's range"):
        gen.sweep(1000, 2000, steps=2, wave="square", offset=0.5)
    assert peer.messages(DDS) == []
    gen.play(1000, wave="square", offset=0.5, clip=True)
    header, samples = sent_samples(peer)
    words = [int.from_bytes(samples[i : i + 2], "little") for i in range(0, len(samples), 2)]
    assert set(words) == {65535, 16384}
