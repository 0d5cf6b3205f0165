"""Module surface, stubs and argument binding of velkora._core."""

import ast
import inspect
from pathlib import Path

import pytest

import velkora
from velkora import _core

NAMES = ["deserialize", "deserialize_stream", "_deserialize_safe", "deserialize_json", "_bench_parse_only",
         "deserialize_arrow", "StreamDecoder", "ArrowStreamDecoder"]
# Names the stub declares that stay out of __all__.
PRIVATE = {"PanicException", "DecodeError", "_survey", "_deserialize_solr_json"}
BODY = b"\x02\xc1\x21\x61\x41"  # {"a": 1}
ENTRIES = [("deserialize", {}), ("deserialize_json", {}), ("_bench_parse_only", {}), ("_deserialize_safe", {}),
           ("deserialize_stream", {"callback": print}), ("_deserialize_solr_json", {"json_nl": "map"})]


def test_all_reexports_types_stub_and_marker():
    assert _core.__all__ == NAMES and all(getattr(velkora, n) is getattr(_core, n) for n in [*NAMES, "PanicException"])
    assert velkora.__all__ == [*(n for n in NAMES if n[0] != "_"), "PanicException", "DecodeError", "loads_solr_json"]
    assert all(hasattr(velkora, name) for name in velkora.__all__)  # what `from velkora import *` needs
    assert isinstance(velkora.__version__, str) and velkora.__version__
    assert issubclass(velkora.PanicException, BaseException) and not issubclass(velkora.PanicException, Exception)
    cls = _core.StreamDecoder
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", "StreamDecoder", "StreamDecoder")
    assert [list(inspect.signature(f).parameters) for f in (cls, cls.feed, cls.finish)] == [
        [], ["self", "chunk", "callback"], ["self"]]
    assert cls.count.__doc__ == "Total number of documents streamed so far."
    package = Path(velkora.__file__).parent
    assert (package / "py.typed").is_file()
    tree = ast.parse((package / "_core.pyi").read_text(encoding="utf-8")).body
    defined = {node.name for node in tree if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert defined - PRIVATE == set(_core.__all__) and all(hasattr(_core, name) for name in PRIVATE)
    # The stub spells __all__ out, so that type checkers see what `from ._core import *` brings into velkora.
    assert [ast.literal_eval(node.value) for node in tree if isinstance(node, ast.Assign)
            and [getattr(t, "id", None) for t in node.targets] == ["__all__"]] == [_core.__all__]


feed = _core.StreamDecoder().feed
ONE = "{}() missing 1 required positional argument: '{}'"
TWO = "{}() missing 2 required positional arguments: '{}' and '{}'"
MANY = "{}() takes {} positional arguments but {} {} given"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
TWICE = "{}() got multiple values for argument '{}'"
SCHEMA = object()  # the arguments are bound before any is converted
STREAM, FEED, NEW, ARROW = "deserialize_stream", "StreamDecoder.feed", "StreamDecoder.__new__", "deserialize_arrow"
SINGLE = ["deserialize", "deserialize_json", "_bench_parse_only", "_deserialize_safe"]
CALLS = {FEED: feed, NEW: _core.StreamDecoder, **{name: getattr(_core, name) for name in [*SINGLE, STREAM, ARROW]}}
# Each function refuses no arguments, one too many, an unknown keyword and its first argument given twice.
BOUND = [(name, ["data"], (BODY,)) for name in SINGLE] + [(STREAM, ["data", "callback"], (BODY, print)),
         (FEED, ["chunk", "callback"], (BODY, print)), (ARROW, ["data", "schema"], (BODY, SCHEMA))]


@pytest.mark.parametrize("name, args, kwargs, message, values", [
    *[case for name, params, args in BOUND for case in [
        (name, (), {}, ONE if len(params) == 1 else TWO, params),
        (name, (*args, 1), {}, MANY, [len(args), len(args) + 1, "were"]),
        (name, args, {"foo": 1}, UNEXPECTED, ["foo"]), (name, args, {params[0]: BODY}, TWICE, params[:1])]],
    (STREAM, (BODY,), {}, ONE, ["callback"]), (NEW, (1,), {}, MANY, [0, 1, "was"]),
    (STREAM, (), {"callback": print}, ONE, ["data"]), (FEED, (), {"callback": print}, ONE, ["chunk"]),
    (STREAM, (BODY, print), {"callback": print}, TWICE, ["callback"]), (NEW, (1, 2), {}, MANY, [0, 2, "were"]),
    (FEED, (BODY, print), {"self": 1}, UNEXPECTED, ["self"]), (NEW, (), {"chunk": b""}, UNEXPECTED, ["chunk"]),
    (ARROW, (BODY,), {}, ONE, ["schema"]), ("deserialize_json", (BODY, 1, 2), {}, MANY, [1, 3, "were"]),
    ("deserialize", (BODY, 1), {"foo": 1}, MANY, [1, 2, "were"]),
    ("deserialize_json", (), {"Data": BODY}, UNEXPECTED, ["Data"]),
    ("_bench_parse_only", (), {"foo": 1}, UNEXPECTED, ["foo"]),
    (ARROW, (BODY, SCHEMA, "explode", None), {}, MANY, [2, 4, "were"]),
    (ARROW, (BODY, SCHEMA), {"Children": 1}, UNEXPECTED, ["Children"]),
    (ARROW, (), {"schema": SCHEMA, "children": "skip"}, ONE, ["data"])])
def test_binding_errors(name, args, kwargs, message, values):
    exc = pytest.raises(TypeError, lambda: CALLS[name](*args, **kwargs))
    assert type(exc.value) is TypeError and str(exc.value) == message.format(name, *values)


Inner = type("Inner", (), {"__qualname__": "Box.Inner"})  # a nested class, named by its qualified name
Payload = type("Payload", (bytes,), {})
NOT_BYTES = [(bytearray(BODY), "'bytearray' object"), (memoryview(BODY), "'memoryview' object"), (None, "'None'"),
             ("\x02\x00", "'str' object"), (2, "'int' object"), (Inner(), "'Box.Inner' object")]


@pytest.mark.parametrize("name, extra", ENTRIES)
def test_signature_and_data_binding(name, extra):
    func = getattr(_core, name)
    assert list(inspect.signature(func).parameters) == ["data", *extra]
    assert func.__name__ == name and func.__module__ == _core.__name__ and func.__doc__.strip()
    # Keywords and subclasses of bytes are as good as positional bytes; nothing else is.
    expected = func(BODY, *extra.values())
    assert expected in ({"a": 1}, '{"a":1}', 3) and func(data=BODY, **extra) == expected
    assert func(Payload(BODY), *extra.values()) == func(**extra, data=Payload(BODY)) == expected
    for arg, kind in NOT_BYTES:
        exc = pytest.raises(TypeError, lambda: func(arg, *extra.values()))
        assert type(exc.value) is TypeError and (str(exc.value), exc.value.__notes__) == (
            f"{kind} is not an instance of 'bytes'", ["while processing 'data'"])
