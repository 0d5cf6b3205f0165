"""The `velkora` command line, run as a subprocess on real and built bodies."""

import contextlib
import fcntl
import gzip
import json
import os
import pty
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import javabin as jb
import velkora
from descriptions import SOLR_DATA, body
from helpers import DEPTH, documents, needs_data as needs_solr
from solr_node import export_failure
from velkora._json_text import json_value
from velkora.cli import with_child_columns

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
from arrow_expect import export, select, stream  # noqa: E402  (needs pyarrow)

COMMAND = [sys.executable, "-m", "velkora"]


def run(*args, stdin: bytes | None = None, cwd=None) -> subprocess.CompletedProcess:
    return subprocess.run([*COMMAND, *map(str, args)], input=stdin, capture_output=True, timeout=300, cwd=cwd)


def ok(*args, **kwargs) -> str:  # the standard output of a run that succeeds and says nothing on standard error
    done = run(*args, **kwargs)
    assert (done.returncode, done.stderr.decode()) == (0, "")
    return done.stdout.decode()


@needs_solr
@pytest.mark.parametrize("name, shape", [("select_small", "/select"), ("export_like", "/export"),
                                         ("stream_like", "/stream"), ("child_docs", "/select"),
                                         ("javabin_sample", "/select"), ("all_types", None)])
def test_json_docs_and_inspect_on_real_bodies(name, shape, tmp_path):
    data, path, expected = body(name), SOLR_DATA / f"{name}.bin", velkora.deserialize_json(body(name)) + "\n"
    assert ok("json", path) == ok("json", stdin=data) == expected
    assert ok("json", "-", "-o", tmp_path / "out.json", stdin=data) == "" and \
        (tmp_path / "out.json").read_text(encoding="utf-8") == expected
    text = ok("inspect", stdin=data)
    if shape is None:
        assert "no documents where the Arrow decoders look for them" in text
        return
    assert (docs := ok("docs", path)) == ok("docs", stdin=data)
    assert [json.loads(line) for line in docs.splitlines()] == list(map(json_value, documents(data)))
    survey = velkora.schema.without_eof_tuple(velkora._core._survey(data))
    assert json.loads(ok("inspect", "--json", path)) == {**survey, "bytes": len(data), "shape": shape}
    assert "EOF" not in survey["fields"] and "RESPONSE_TIME" not in survey["fields"]
    assert all(part in text for part in [f"shape: {shape} ", f"documents: {survey['documents']}",
                                         f"extern strings: {survey['extern_strings']}",
                                         *(f"\n  {field} " for field in survey["fields"])])
    if name == "select_small":
        lines = text.splitlines()
        assert [*lines[:8], lines[9].split(), lines[15].split()] == [
            "body: 2542 bytes", "shape: /select (named list of responseHeader, response, facet_counts; response: "
            "solr document list, docs: array)", "numFound: 1234", "start: 0", "maxScore: 12.345600128173828",
            "documents: 20 (declared 20)", "child documents: none", "extern strings: 56",
            ["id", "20", "100.0%", "string", "20"], ["cat", "15", "75.0%", "array", "15;", "items:", "string", "29"]]


SCHEMA_ANSWER = {"responseHeader": {"status": 0}, "schema": {
    "fieldTypes": [{"name": t, "class": f"solr.{c}"} for t, c in [("string", "StrField"), ("pfloat", "FloatPointField"),
                                                                 ("pdate", "DatePointField")]],
    "fields": [{"name": "id", "type": "string", "required": True}, {"name": "price", "type": "pfloat"}],
    "dynamicFields": [{"name": "*_dt", "type": "pdate"}]}}
ARROW_SCHEMA = pa.schema([("id", pa.utf8()), ("views", pa.int64())])


@needs_solr
@pytest.mark.parametrize("name, args, schema, suffix", [
    # From the file, the schema inferred (and its child columns added in explode mode); quiet, or telling the
    # rows written and no more (no hint of the child documents when exploding, no progress bar off a terminal).
    *[(name, ["--children", children, "--batch-size", 7000, *quiet], None, suffix)
      for suffix, quiet in ((".parquet", ["--quiet"]), (".arrow", []))
      for name, children in [("select_small", "skip"), ("export_like", "skip"), ("stream_like", "skip"),
                             ("child_docs", "explode"), ("select_large", "skip")]],
    # From standard input. select_large is larger than the first read: a small sample needs only that.
    *[("select_large", ["--infer", n, "-q"], lambda data, n=n: velkora.schema.infer(data, sample=n), ".parquet")
      for n in (10, 50000)],
    ("select_small", ["--schema", "schema.json", "--fl", "manufacturedate_dt,id,price", "-q"],
     lambda data: velkora.schema.from_solr(SCHEMA_ANSWER, fl="manufacturedate_dt,id,price"), ".parquet"),
    ("select_small", ["--schema", "schema.arrow", "--quiet"], lambda data: ARROW_SCHEMA, ".parquet"),
])
@pytest.mark.filterwarnings("ignore")
def test_arrow_output_reads_back_as_deserialize_arrow(name, args, schema, suffix, tmp_path):
    data, out = body(name), tmp_path / f"out{suffix}"
    (tmp_path / "schema.json").write_text(json.dumps(SCHEMA_ANSWER))
    (tmp_path / "schema.arrow").write_bytes(ARROW_SCHEMA.serialize().to_pybytes())
    done = run("arrow", *[] if schema else [SOLR_DATA / f"{name}.bin"], "-o", out.name, *args,
               stdin=data if schema else None, cwd=tmp_path)
    schema = schema(data) if schema else velkora.schema.infer(data)
    if "explode" in args:  # an inferred schema gets the columns placing each row in its tree
        schema = with_child_columns(schema)
        assert schema.names[-3:] == ["_parent_id", "_depth", "_child_field"]
    expected = velkora.deserialize_arrow(data, schema, children=args[1] if args[0] == "--children" else "skip")
    expected = expected.slice(0, expected.num_rows - (name == "stream_like"))  # the EOF tuple is no row
    told = "" if {"-q", "--quiet"} & set(args) else "velkora: field 'missing' held no value but null in the sample; " \
        "typed as utf8\n" * (name == "stream_like") + f"velkora: wrote {expected.num_rows} rows to {out.name}\n"
    assert (done.returncode, done.stdout, done.stderr.decode()) == (0, b"", told)
    table = pq.read_table(out) if suffix == ".parquet" else pa.ipc.open_stream(out.read_bytes()).read_all()
    assert table.schema == expected.schema
    assert table.combine_chunks().to_batches()[0].equals(expected) if table.num_rows else not len(expected)
    os.umask(umask := os.umask(0))  # read back as it was
    assert oct(out.stat().st_mode & 0o777) == oct(0o666 & ~umask)


EXPORT_50 = export(*[[("id", str(i)), ("n", i)] for i in range(50)])
MIXED = select([("id", "a"), ("n", 1)], [("id", "b"), ("n", "two")])
FAILED = stream([("id", "a")], [("EXCEPTION", "java.io.IOException: shard down"), ("EOF", True)])
GZIPPED = gzip.compress(stream([("id", "a")]))  # saved by curl without --compressed
PARENTS = select(*[[("id", str(i))] for i in range(10)], jb.Doc([("id", "p")], [jb.Doc([("id", "c")])]))
ERROR = "velkora: error: "
RENDERED = stream([("b", jb.Bytes(b"\xff\x00")), ("x", jb.Double(float("nan"))), ("m", jb.Map([(1, "one")])),
                   ("f", jb.Double(1e-05)), ("g", jb.Double(1e16)), ("h", jb.Double(-1.5e-7)), ("s", "tab\t\"\u00e9/")])
TEXT = '{"b":"/wA=","f":0.00001,"g":1e+16,"h":-1.5e-7,"m":[[1,"one"]],"s":"tab\\t\\"\u00e9/","x":"NaN"}'
INTO = [["arrow", "-o", "out.parquet", "--infer", 5], ["json"], ["docs"], ["json", "-o", "out.json"],
        ["arrow", "-o", "out.arrow", "--schema", "schema.arrow"]]
ON_FILE = {"docs": [], "json": [], "inspect": [], "arrow": ["-o", "out.parquet", "--infer", "5"]}
FAILURES = [(FAILED, "Solr reported a failure: java.io.IOException: shard down\n", '{"id":"a"}\n'),
            (export_failure("undefined field: nope"), "Solr reported a failure: undefined field: nope\n", ""),
            (GZIPPED, "the file is gzip-compressed: body.bin; decompress it first (gunzip -c body.bin | "
                      "velkora ...)\n", "")]
EXAMPLES, ONE = "examples:\n  velkora arrow export.bin -o export.parquet", select([("id", "a")])
PIPED = stream(*[[("id", f"d{i}"), ("text", "x" * 200)] for i in range(20000)])


def without_pyarrow(code):
    return (sys.executable, "-c", "import sys; sys.modules['pyarrow'] = None; from velkora.cli import main; " + code)


# The arguments of velkora (a tuple: the whole command line), run in a folder holding schema.arrow and
# body.bin, the body also on standard input; the body, the exit status, standard error and standard output,
# each whole when it ends a line or is empty, else its start when it is velkora's error, else a part of it
# (None: unchecked). No output file is left behind, nor its temporary file.
RUNS = [
    ((str(Path(sys.executable).with_name("velkora")), "arrow", "--help"), ONE, 0, "", EXAMPLES),
    (["arrow", "--help"], ONE, 0, "", EXAMPLES), (["--help"], ONE, 0, "", "exit status"),
    # docs into a pipe its reader closes early
    (("/bin/bash", "-c", f"set -o pipefail; {' '.join(COMMAND)} docs | head -n 2"), PIPED, 0, "",
     "".join(f'{{"id":"d{i}","text":"{"x" * 200}"}}\n' for i in range(2))),
    # Without pyarrow: velkora.schema refuses to be used, inspect works, arrow refuses to start
    (without_pyarrow("import velkora.schema; velkora.schema.infer(b'')"), ONE, 1,
     "ImportError: velkora.schema needs pyarrow: pip install 'velkora[arrow]'", ""),
    (without_pyarrow("sys.exit(main(['inspect']))"), ONE, 0, "", "documents: 1 (declared 1)"),
    (without_pyarrow("sys.exit(main(['arrow', '-o', 'out.parquet']))"), ONE, 2,
     "velkora: error: velkora arrow needs pyarrow: pip install 'velkora[cli]'\n", ""),
    # Values JSON has no text for, rendered alike by docs and json, as velkora.deserialize_json renders them.
    (["docs"], RENDERED, 0, "", TEXT + "\n"), (["json"], RENDERED, 0, "", '{"result-set":{"docs":[' + TEXT + ']}}\n'),
    # Top-level values that are no envelope: read through, and refused when broken, whatever the command.
    *[(args, data, 1, ERROR + message, None) for data, message in [
        (EXPORT_50[:len(EXPORT_50) // 2], "unexpected end of input at byte offset "),
        (b"\x02\x1c\x00\x00", "unknown javabin tag byte 0x1c at byte offset 1\n"),
        (b"\x02\x83\x01\x02", "unexpected end of input at byte offset 4\n"),
        (b"\x02" + b"\x81" * 128 + b"\x80", DEPTH.format(129) + "\n")] for args in INTO],
    (["inspect"], b"\x02\x14", 1, ERROR + "unknown javabin tag byte 0x14 at byte offset 1\n", None),
    # The warning of inference, then the refusal, and no progress bar off a terminal.
    (["arrow", "-o", "out.parquet"], PARENTS, 1, 'velkora: the documents hold 1 child documents; decode with '
     'children="explode" to give each its own row\n' + ERROR + "document has child documents (_childDocuments_), "
     "which cannot be represented in a flat Arrow table\n", None),
    *[(args, MIXED, 1, ERROR + message + "\n", None) for args, message in [
        (INTO[-1], "javabin value does not fit the Arrow column type (expected int64)"),
        (INTO[-1][:-2], "cannot infer a column type for field 'n': it holds int, string")]],
    # A failure Solr reported in the body: docs (after what came before it) and arrow refuse it, json and
    # inspect show the body as it is, tuples and all. A gzipped body every command refuses.
    *[([command, "body.bin", *ON_FILE[command]], data, 1, ERROR + message, out if command == "docs" else "")
      for data, message, out in FAILURES for command in ON_FILE if command in ("docs", "arrow") or data is GZIPPED],
    *[([command, "body.bin"], data, 0, "", None) for data, _, _ in FAILURES[:2] for command in ("json", "inspect")],
    *[(args, b"", 2, message, None) for args, message in [
        (["arrow", "-o", "no-such-dir/out.parquet", "--infer", "5"],
         "cannot write no-such-dir/out.parquet: no directory no-such-dir"),
        ([], "the following arguments are required: COMMAND"), (["yaml"], "invalid choice: 'yaml'"),
        (["arrow"], "the following arguments are required: -o/--output"),
        (["arrow", "-o", "out.csv"], "cannot tell the format of out.csv"),
        (["arrow", "-o", "out.parquet", "--batch-size", "0"], "must be at least 1: 0"),
        (["arrow", "-o", "out.parquet", "--children", "all"], "invalid choice: 'all'"),
        (["arrow", "-o", "out.parquet", "--schema", "none.json", "--infer", "5"], "either --schema or --infer"),
        (["json", "no-such-body.bin"], "cannot read no-such-body.bin: No such file or directory"),
        (["arrow", "-o", "out.parquet", "--schema", "no-such.json"], "cannot read no-such.json")]],
]


@pytest.mark.parametrize("args, data, status, error, out", RUNS)
def test_runs_give_their_exit_status_and_output_and_leave_no_file(args, data, status, error, out, tmp_path):
    argv = list(args) if type(args) is tuple else [*COMMAND, *map(str, args)]
    if not Path(argv[0]).exists():
        pytest.skip("the console script is not installed next to this interpreter")
    (tmp_path / "schema.arrow").write_bytes(pa.schema([("id", pa.utf8()), ("n", pa.int64())]).serialize())
    (tmp_path / "body.bin").write_bytes(data)
    done = subprocess.run(argv, input=data, capture_output=True, timeout=300, cwd=tmp_path)
    assert done.returncode == status, done.stderr
    for got, expected in [(done.stderr.decode(), error), (done.stdout.decode(), out)]:
        assert expected is None or (got == expected if expected.endswith("\n") or not expected else
                                    got.startswith(expected) if expected.startswith(ERROR) else expected in got)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["body.bin", "schema.arrow"]


@needs_solr
@pytest.mark.parametrize("quiet", [False, True])
def test_progress_bar_on_a_terminal(quiet):
    pytest.importorskip("tqdm")
    data, shown = body("select_large"), bytearray()
    master, slave = pty.openpty()  # standard error on a pseudo-terminal, the body fed slowly
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a new pty has no width
    process = subprocess.Popen([*COMMAND, "docs", *["--quiet"] * quiet], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    process.stdin.write(data[:1 << 18])
    process.stdin.flush()
    time.sleep(1)  # the bar appears once a run takes half a second
    process.communicate(data[1 << 18:], timeout=120)
    assert process.returncode == 0
    with contextlib.suppress(OSError):  # what the terminal holds, until its end closed
        while piece := os.read(master, 4096):
            shown.extend(piece)
    os.close(master)
    assert shown == b"" if quiet else b"docs: " in shown and b"B/s" in shown
