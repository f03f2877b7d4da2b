"""The Python host package against the real shared library."""

import json

import pytest

import quendra

MANIFEST = {"models": {"orders": {"table": "orders", "dimensions": {"status": "status"}}}}


def test_version():
    assert quendra.version() == "0.0.1"


@pytest.mark.parametrize("doc", [MANIFEST, json.dumps(MANIFEST), json.dumps(MANIFEST).encode()])
def test_load_models_accepts_dict_str_and_bytes(doc):
    with quendra.Context() as ctx:
        ctx.load_models(doc)
        assert ctx.last_error() == ""


@pytest.mark.parametrize(
    "doc, message",
    [
        ([], "manifest must be an object with a 'models' key"),
        ('{"models": {}', "UnexpectedEndOfInput"),
        ('{"models": {}} extra', "SyntaxError"),
        ('{"models": {}, "models": {}}', "DuplicateField"),
        (b'{"models": "\xff"}', "SyntaxError"),
        ("[" * 513 + "]" * 513, "NestingTooDeep"),
    ],
)
def test_load_models_errors_carry_code_and_message(doc, message):
    with quendra.Context() as ctx:
        with pytest.raises(quendra.Error) as info:
            ctx.load_models(doc)
        err = info.value
        assert err.code == 1
        assert err.code_text == "invalid"
        assert err.message == message
        assert json.loads(ctx.last_error()) == {"code": "invalid", "message": message}


def test_error_document_survives_later_successes():
    ctx = quendra.Context()
    with pytest.raises(quendra.Error):
        ctx.load_models("nope")
    ctx.load_models(MANIFEST)
    ctx.clear_tables()
    assert json.loads(ctx.last_error())["message"] == "SyntaxError"
    ctx.close()
    ctx.close()  # closing twice is harmless
    with pytest.raises(ValueError):
        ctx.load_models(MANIFEST)


def test_explicit_library_path():
    path = quendra.find_library()
    assert quendra.find_library(path) == path
    assert quendra.find_library(path.parent) == path
    with pytest.raises(FileNotFoundError):
        quendra.find_library(path.parent / "missing.so")


def test_example_manifest_loads():
    from pathlib import Path

    root = Path(__file__).resolve().parents[2]
    with quendra.Context() as ctx:
        ctx.load_models((root / "examples" / "manifest.json").read_bytes())
