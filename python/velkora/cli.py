"""The `velkora` command line: json, docs, arrow and inspect over saved javabin bodies.

Run as ``velkora ...`` (the console script) or ``python -m velkora ...``. Every subcommand reads its body
from a file or, given "-" or nothing, from standard input. Exit status: 0 on success (also when the reader
of standard output stops early, as ``head`` does), 1 when the body cannot be decoded (the message names the
byte offset), is gzip-compressed, carries a failure Solr reported (an ``EXCEPTION`` tuple of /stream or
/export), or a schema does not fit it, 2 for usage errors. The EOF tuple that ends a /stream body is never
a document.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import sys
import tempfile
import warnings
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import velkora
from velkora._decoding import AnswerCheck, ArrowDecoding, DocumentDecoding, Outcome
from velkora._http_errors import SolrError
from velkora._json_text import json_text

if TYPE_CHECKING:
    import pyarrow

CHUNK = 1 << 20  # bytes read at a time by the streaming subcommands
PREFIX = 1 << 22  # the first bytes read for --infer; doubled while the sample needs more
GZIP_MAGIC = b"\x1f\x8b"


class UsageError(Exception):
    """A command line that names something unusable (exit status 2)."""


# ---------------------------------------------------------------------------------------------------------
# Input, output and progress


@contextlib.contextmanager
def open_body(path: str) -> Iterator[tuple[io.BufferedIOBase, int | None]]:
    """The body's byte stream and its size when known; "-" is standard input (left open)."""
    if path == "-":
        # A buffered reader (typeshed says BinaryIO, which lacks the read1 that chunks() uses).
        stdin = cast(io.BufferedReader, sys.stdin.buffer)
        if stdin.peek(2)[:2] == GZIP_MAGIC:
            raise ValueError("the file is gzip-compressed: standard input; decompress it first (gunzip -c FILE | "
                             "velkora ...)")
        yield stdin, None
        return
    try:
        f = open(path, "rb")
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror}") from None
    with f:
        if f.peek(2)[:2] == GZIP_MAGIC:
            raise ValueError(f"the file is gzip-compressed: {path}; decompress it first (gunzip -c {path} | "
                             "velkora ...)")
        yield f, os.fstat(f.fileno()).st_size


def read_body(path: str) -> bytes:
    with open_body(path) as (f, _):
        return f.read()


class Progress:
    """A byte-count progress bar on standard error: tqdm when it is installed, standard error is a
    terminal and --quiet was not given; otherwise nothing. It appears only once a run takes a while."""

    def __init__(self, total: int | None, quiet: bool, label: str) -> None:
        self.bar: Any = None  # a tqdm bar
        if quiet or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self.bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, desc=label, delay=0.5,
                        file=sys.stderr, leave=False)

    def update(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def chunks(f: io.BufferedIOBase, progress: Progress, first: bytes = b"") -> Iterator[bytes]:
    if first:
        progress.update(len(first))
        yield first
    # read1: whatever has arrived, up to a chunk, so documents piped from a slow download go out as they come
    while chunk := f.read1(CHUNK):
        progress.update(len(chunk))
        yield chunk


def check_output_directory(path: str) -> None:
    """A usage error, before any input is read, when the output file's directory does not exist."""
    directory = Path(path).parent
    if not directory.is_dir():
        raise UsageError(f"cannot write {path}: no directory {directory}")


class AtomicOutput:
    """An output file written under a temporary name beside it and renamed into place only on success, so
    a failed run leaves no partial file."""

    def __init__(self, path: str) -> None:
        self.path = Path(path)
        directory = self.path.parent if str(self.path.parent) else Path(".")
        fd, self.temporary = tempfile.mkstemp(prefix=f".{self.path.name}.", suffix=".partial", dir=directory)
        os.close(fd)

    def commit(self) -> None:
        umask = os.umask(0)  # mkstemp made the file private; give it the mode a new file would have
        os.umask(umask)
        os.chmod(self.temporary, 0o666 & ~umask)
        os.replace(self.temporary, self.path)

    def discard(self) -> None:
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass


# ---------------------------------------------------------------------------------------------------------
# json and docs


def command_json(args: argparse.Namespace) -> int:
    if args.output:
        check_output_directory(args.output)
    text = velkora.deserialize_json(read_body(args.body))
    if args.output:
        out = AtomicOutput(args.output)
        try:
            Path(out.temporary).write_text(text + "\n", encoding="utf-8")
            out.commit()
        except BaseException:
            out.discard()
            raise
    else:
        sys.stdout.write(text)
        sys.stdout.write("\n")
    return 0


def command_docs(args: argparse.Namespace) -> int:
    out = sys.stdout

    def write(doc: Any) -> None:
        out.write(json_text(doc))
        out.write("\n")

    decoding = DocumentDecoding(saved_body_check(args.body))
    with open_body(args.body) as (f, size):
        progress = Progress(size, args.quiet, "docs")
        try:
            for chunk in chunks(f, progress):
                delivered(decoding.feed(chunk), write)
            delivered(decoding.finish(), write)
        finally:
            progress.close()
    return 0


def saved_body_check(path: str) -> AnswerCheck:
    """The checks of the HTTP routes that apply to a saved body: Solr's in-band failures and the EOF tuple
    (a saved body's request is unknown, so its count is not compared with numFound)."""
    check = AnswerCheck(path, "application/octet-stream", 200, [], max_value_bytes=1 << 62, allow_partial=True)
    check.counting = False
    return check


def delivered(outcome: Outcome, write: Callable[[Any], None]) -> None:
    """Hands on the documents or batches of one decoding step, then raises its error, if any."""
    for item in outcome.items:
        write(item)
    if outcome.error is not None:
        raise outcome.error


# ---------------------------------------------------------------------------------------------------------
# arrow


def load_schema(path: str, fl: str | None, field_types: str | None) -> pyarrow.Schema:
    """A schema file: a Schema API answer in JSON (/schema, or /schema/fields with --field-types), or an
    Arrow schema (a serialized schema message, or an IPC stream or file whose schema is taken)."""
    import pyarrow as pa

    try:
        data = Path(path).read_bytes()
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror}") from None
    if data.lstrip()[:1] in (b"{", b"["):
        try:
            answer = json.loads(data)
            types = json.loads(Path(field_types).read_bytes()) if field_types else None
        except (OSError, ValueError) as e:
            raise UsageError(f"cannot read the Schema API answer: {e}") from None
        return velkora.schema.from_solr(answer, types, fl=fl)
    if fl or field_types:
        raise UsageError("--fl and --field-types apply to a Schema API answer, not to an Arrow schema file")
    buffer = pa.py_buffer(data)
    for reader in (pa.ipc.read_schema, lambda b: pa.ipc.open_stream(b).schema, lambda b: pa.ipc.open_file(b).schema):
        try:
            return reader(buffer)
        except (pa.ArrowInvalid, pa.ArrowException, OSError):
            continue
    raise UsageError(f"{path} is neither a Schema API answer (JSON) nor an Arrow schema or IPC file")


def infer_from_prefix(f: io.BufferedIOBase, sample: int) -> tuple[pyarrow.Schema, bytes]:
    """Infers a schema from the first `sample` documents, reading only as much of the body as they take.
    Returns the schema and the bytes read, which the decoder is then fed first."""
    prefix, want = b"", PREFIX
    while True:
        prefix += f.read(want - len(prefix))  # a short read: the body has ended
        at_end = len(prefix) < want
        try:
            return velkora.schema.infer(prefix, sample=sample), prefix
        except velkora.DecodeError as e:
            if at_end or e.kind != "UnexpectedEof":
                raise
        want *= 2  # the sample reaches past the bytes read so far


def with_child_columns(schema: pyarrow.Schema) -> pyarrow.Schema:
    """An inferred schema with the columns that place each exploded row in its tree: ``_parent_id`` (of the
    ``id`` column's type, when there is one), ``_depth`` and ``_child_field``."""
    import pyarrow as pa

    extra = [pa.field("_parent_id", schema.field("id").type)] if "id" in schema.names else []
    extra += [pa.field("_depth", pa.int32()), pa.field("_child_field", pa.utf8())]
    for field in extra:
        if field.name not in schema.names:
            schema = schema.append(field)
    return schema


def output_format(args: argparse.Namespace) -> str:
    if args.format:
        fmt: str = args.format
        return fmt
    suffix = Path(args.output).suffix.lower()
    if suffix in (".parquet", ".pq"):
        return "parquet"
    if suffix in (".arrow", ".arrows", ".ipc"):
        return "ipc"
    raise UsageError(f"cannot tell the format of {args.output} from its suffix: use .parquet or .arrow, or --format")


class BatchWriter:
    """Parquet through pyarrow.parquet.ParquetWriter, or an Arrow IPC stream."""

    def __init__(self, path: str, schema: pyarrow.Schema, fmt: str) -> None:
        import pyarrow as pa

        if fmt == "parquet":
            import pyarrow.parquet as pq

            self.writer = pq.ParquetWriter(path, schema)
        else:
            self.sink = pa.OSFile(path, "wb")
            self.writer = pa.ipc.new_stream(self.sink, schema)
        self.fmt = fmt

    def write(self, batch: pyarrow.RecordBatch) -> None:
        self.writer.write_batch(batch)

    def close(self) -> None:
        self.writer.close()
        if self.fmt == "ipc":
            self.sink.close()


def command_arrow(args: argparse.Namespace) -> int:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise UsageError("velkora arrow needs pyarrow: pip install 'velkora[cli]'") from None
    fmt = output_format(args)
    check_output_directory(args.output)
    if args.schema and args.infer is not None:
        raise UsageError("give either --schema or --infer, not both")
    with open_body(args.body) as (f, size):
        rows = write_arrow(args, fmt, f, size)
    if not args.quiet:
        print(f"velkora: wrote {rows} rows to {args.output}", file=sys.stderr)
    return 0


def write_arrow(args: argparse.Namespace, fmt: str, f: io.BufferedIOBase, size: int | None) -> int:
    """Decodes the body into the output file; returns the number of rows written."""
    first = b""
    if args.schema:
        schema = load_schema(args.schema, args.fl, args.field_types)
    else:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            schema, first = infer_from_prefix(f, args.infer or 1000)
        for warning in caught:
            exploding = args.children == "explode" and "child documents" in str(warning.message)
            if not args.quiet and not exploding:  # the child-document hint is moot when exploding already
                print(f"velkora: {warning.message}", file=sys.stderr)
        if args.children == "explode":
            schema = with_child_columns(schema)
    out_schema = velkora.ArrowStreamDecoder(schema, 1, children=args.children).schema()
    decoding = ArrowDecoding(saved_body_check(args.body), schema, args.batch_size, args.children)
    out = AtomicOutput(args.output)
    progress = Progress(size, args.quiet, "arrow")
    rows = 0
    try:
        writer = BatchWriter(out.temporary, out_schema, fmt)

        def write(batch: pyarrow.RecordBatch) -> None:
            nonlocal rows
            writer.write(batch)
            rows += batch.num_rows
        try:
            for chunk in chunks(f, progress, first):
                delivered(decoding.feed(chunk), write)
            delivered(decoding.finish(), write)
        finally:
            writer.close()
        out.commit()
    except BaseException:
        out.discard()
        raise
    finally:
        progress.close()
    return rows


# ---------------------------------------------------------------------------------------------------------
# inspect


def handler_shape(survey: dict[str, Any]) -> str:
    """The handler whose response the envelope looks like."""
    key, response = survey["response_key"], survey["response"]
    if key == "result-set":
        return "/stream"
    if key == "response" and response == "solr document list":
        return "/select"
    if key == "response" and response in ("map", "named list"):
        return "/export"
    return "unknown"


def summary(body: bytes) -> dict[str, Any]:
    """What `inspect` reports: the survey of every document (a /stream's EOF tuple left out), and the handler
    shape."""
    try:
        survey = velkora.schema.without_eof_tuple(velkora._core._survey(body))
    except velkora.DecodeError as e:
        velkora._bench_parse_only(body)  # a body no decoder can read raises here
        return {"bytes": len(body), "shape": "unknown", "documents_error": str(e)}
    if survey["rest_error"]:
        velkora._bench_parse_only(body)  # the Arrow decoders' skipper refuses more than the body's grammar
    survey["bytes"] = len(body)
    survey["shape"] = handler_shape(survey)
    return survey


def kinds_text(kinds: dict[str, int]) -> str:
    return ", ".join(f"{kind} {count}" for kind, count in sorted(kinds.items(), key=lambda kv: -kv[1]))


def command_inspect(args: argparse.Namespace) -> int:
    info = summary(read_body(args.body))
    if args.json:
        print(json.dumps(info, indent=2))
        return 0
    print(f"body: {info['bytes']} bytes")
    if "documents_error" in info:
        print("shape: no documents where the Arrow decoders look for them")
        print(f"  ({info['documents_error']})")
        return 0
    keys = ", ".join(info["keys"]) or "-"
    print(f"shape: {info['shape']} ({info['top']} of {keys}; "
          f"{info['response_key'] or 'no response'}: {info['response'] or '-'}, docs: {info['docs'] or 'none'})")
    for label, key in (("numFound", "numFound"), ("start", "start"), ("maxScore", "maxScore")):
        if info[key] is not None:
            print(f"{label}: {info[key]}")
    declared = f" (declared {info['declared']})" if info["declared"] is not None else ""
    print(f"documents: {info['documents']}{declared}")
    nested = info["children"] + info["nested_documents"]
    print(f"child documents: {nested} ({info['children']} anonymous, {info['nested_documents']} under field names)"
          if nested else "child documents: none")
    print(f"extern strings: {info['extern_strings']}")
    if info["untallied"]:
        print(f"field names past the first {len(info['fields'])}: {info['untallied']} values not tallied")
    if info["rest_error"]:
        print(f"after the documents: {info['rest_error']}")
    rows = info["rows"]
    print(f"fields ({len(info['fields'])}, over {rows} rows):")
    width = max((len(name) for name in info["fields"]), default=0)
    for name, tally in info["fields"].items():
        share = 100.0 * tally["rows"] / rows if rows else 0.0
        line = f"  {name:<{width}}  {tally['rows']:>9} {share:6.1f}%  {kinds_text(tally['values'])}"
        if tally["items"]:
            line += f"; items: {kinds_text(tally['items'])}"
        print(line)
    return 0


# ---------------------------------------------------------------------------------------------------------
# Command line


def parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    top = argparse.ArgumentParser(
        prog="velkora", formatter_class=formatter,
        description="Decode saved Apache Solr javabin responses (wt=javabin): JSON, NDJSON documents, "
                    "Parquet or Arrow files, and a summary of what a response holds.",
        epilog="examples:\n"
               "  velkora inspect select.bin\n"
               "  velkora json select.bin > select.json\n"
               "  curl -s 'http://solr:8983/solr/c/export?q=*:*&fl=id,price&sort=id+asc&wt=javabin' \\\n"
               "      | velkora docs > docs.ndjson\n"
               "  velkora arrow export.bin -o export.parquet\n\n"
               "exit status: 0 success, 1 the body cannot be decoded (the message gives the byte offset),\n"
               "2 usage errors.")
    top.add_argument("--version", action="version", version=f"velkora {velkora.__version__}")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name: str, help: str, description: str, examples: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, description=description, formatter_class=formatter,
                           epilog="examples:\n" + examples)
        p.add_argument("body", nargs="?", default="-", metavar="BODY",
                       help="the javabin body: a file, or - (the default) for standard input")
        return p

    p = add("json", "write the whole response as JSON text",
            "Write the response as compact JSON text, keys sorted, the way velkora.deserialize_json renders it.",
            "  velkora json select.bin\n  velkora json select.bin -o select.json\n  velkora json < select.bin")
    p.add_argument("-o", "--output", help="write to this file instead of standard output")
    p.set_defaults(run=command_json)

    p = add("docs", "write the documents as NDJSON, streaming",
            "Write each result document as one line of JSON (NDJSON), streaming: memory stays about one "
            "document, whatever the size of the response.",
            "  velkora docs export.bin > docs.ndjson\n  cat stream.bin | velkora docs | head")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    p.set_defaults(run=command_docs)

    p = add("arrow", "write the documents as Parquet or an Arrow IPC stream",
            "Stream the documents through ArrowStreamDecoder into a Parquet file (pyarrow.parquet.ParquetWriter) "
            "or an Arrow IPC stream, one batch at a time. The schema comes from --schema, or is inferred from "
            "the first documents (--infer, 1000 by default). The file appears only when the run succeeds.",
            "  velkora arrow export.bin -o export.parquet\n"
            "  velkora arrow select.bin -o select.arrow --schema schema.json --fl id,title,price\n"
            "  velkora arrow select.bin -o select.parquet --schema fields.json --field-types fieldtypes.json\n"
            "  velkora arrow nested.bin -o rows.parquet --children explode --infer 5000\n"
            "  velkora arrow big.bin -o big.parquet --batch-size 16384 --quiet")
    p.add_argument("-o", "--output", required=True, help="the output file: .parquet or .arrow (see --format)")
    p.add_argument("--format", choices=["parquet", "ipc"], help="the output format, when the suffix does not say")
    p.add_argument("--schema", metavar="FILE",
                   help="a Schema API answer in JSON (/schema, or /schema/fields), or an Arrow schema file "
                        "(a serialized schema, or an IPC stream or file)")
    p.add_argument("--field-types", metavar="FILE", help="the /schema/fieldtypes answer in JSON, with --schema")
    p.add_argument("--fl", help="with a Schema API answer: the field list picking and ordering the columns")
    p.add_argument("--infer", type=positive, metavar="N", help="infer the schema from the first N documents")
    p.add_argument("--children", choices=["skip", "explode"], default="skip",
                   help="explode: every child document becomes a row of its own (default: skip)")
    p.add_argument("--batch-size", type=positive, default=65536, metavar="N", help="rows per batch (65536)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar, warnings or summary")
    p.set_defaults(run=command_arrow)

    p = add("inspect", "summarise a response",
            "Summarise a response: its handler shape (/select, /export, /stream), numFound, the number of "
            "documents, each field with its wire types and how often it occurs, child documents, and the "
            "size of the extern-string table. The documents are walked natively, without building values.",
            "  velkora inspect select.bin\n  velkora inspect --json export.bin")
    p.add_argument("--json", action="store_true", help="print the summary as JSON")
    p.set_defaults(run=command_inspect)
    return top


def positive(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {n}")
    return n


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run  # the subcommand's set_defaults
    try:
        return run(args)
    except UsageError as e:
        print(f"velkora: error: {e}", file=sys.stderr)
        return 2
    except ValueError as e:  # DecodeError among them: the message names the byte offset
        print(f"velkora: error: {e}", file=sys.stderr)
        return 1
    except SolrError as e:
        print(f"velkora: error: Solr reported a failure: {e.msg}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of standard output went away (velkora docs | head): it has what it wanted, no error.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
