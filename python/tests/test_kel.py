# The Python package on a copy of the sample archive: what each call gives,
# changes and refuses, as a script would see it.
import os
import shutil
import subprocess

import pytest

import kel

SAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "sample.kel")


@pytest.fixture
def archive(tmp_path):
    path = tmp_path / "a.kel"
    shutil.copy(SAMPLE, path)
    return path


def test_walk_read_and_extract_give_the_stored_bytes(archive, tmp_path):
    with kel.open(archive) as a:
        entries = list(a)
        assert [e.path for e in entries][:3] == ["readme.txt", "empty.dat", "bgm\\opening.bin"]
        assert "シナリオ\\表紙.txt" in [e.path for e in entries]
        assert all(e.path.encode("cp932", "surrogateescape") == e.raw_path for e in entries)
        readme = entries[0]
        assert a.read(readme).startswith(b"kel sample archive")
        a.extract(tmp_path / "out", patterns=["*.txt"], threads=2)
    written = sorted(os.path.relpath(os.path.join(d, f), tmp_path / "out")
                     for d, _, files in os.walk(tmp_path / "out") for f in files)
    assert written == sorted(["readme.txt", os.path.join("シナリオ", "第一章.txt").encode("cp932").decode(
        "utf-8", "surrogateescape"), os.path.join("シナリオ", "表紙.txt").encode("cp932").decode(
        "utf-8", "surrogateescape")])
    assert (tmp_path / "out" / "readme.txt").read_bytes() == readme_bytes(archive)


def readme_bytes(archive):
    with kel.open(archive) as a:
        return a.read(next(iter(a)))


def test_changes_put_back_and_compact(archive, tmp_path):
    with kel.open(archive, write=True) as a:
        a.replace("readme.txt", b"new text")
        assert a.read(next(iter(a))) == b"new text"
        a.extract(tmp_path / "w")
        (tmp_path / "w" / "readme.txt").write_bytes(b"put back")
        assert a.update(tmp_path / "w", dry_run=True)["changed"] == 1
        assert a.update(tmp_path / "w") == {"changed": 1, "unchanged": 7, "not_found": 0, "skipped": 0}
        assert a.read(next(iter(a))) == b"put back"
        assert a.test()[0] == []
        length = a.compact(tmp_path / "c.kel")
    assert length == os.path.getsize(tmp_path / "c.kel") < os.path.getsize(archive)
    listing = subprocess.run([os.environ.get("KEL_BINARY", "kel"), "-t", str(tmp_path / "c.kel")],
                             capture_output=True)
    assert listing.returncode == 0


@pytest.mark.parametrize("call, code", [
    (lambda a, t: kel.open(t / "none.kel"), "OPEN"),
    (lambda a, t: kel.open(a).replace("readme.txt", b"x"), "ARGUMENT"),
    (lambda a, t: kel.open(a, write=True).replace("nothing.txt", b"x"), "NOT_FOUND"),
    (lambda a, t: kel.open(a).extract(t, patterns=["*.none"]), "NOT_WHOLE"),
    (lambda a, t: kel.open(a).read(0x300, 1 << 30), "RANGE_PAST_END"),
])
def test_failures_raise_with_their_status(archive, tmp_path, call, code):
    codes = {"OPEN": 2, "ARGUMENT": 1, "NOT_FOUND": 18, "NOT_WHOLE": 42, "RANGE_PAST_END": 12}
    with pytest.raises(kel.Error) as raised:
        call(archive, tmp_path)
    assert raised.value.code == codes[code]
    if code == "OPEN":
        assert raised.value.path.endswith("none.kel") and raised.value.system_error != 0
    if code == "NOT_WHOLE":
        assert raised.value.problems == [(18, "*.none", "")]
