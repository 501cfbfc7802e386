"""The package exporter and the package cache."""

import json
import os
import threading
from pathlib import Path

import pytest
import torch

from kestrel_cpp import export


@pytest.fixture
def private_cache(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return tmp_path / "cache" / "kestrel_cpp" / f"torch-{torch.__version__}"


# ------------------------------------------------------------ round trip


@pytest.mark.parametrize("batch", [1, 7, 1000])
def test_package_matches_eager_module(heuristic_packages, batch):
    package = torch._inductor.aoti_load_package(str(heuristic_packages.package_dir() / "multi_input.pt2"))
    module = heuristic_packages.MultiInput().eval()
    generator = torch.Generator().manual_seed(batch)
    args = [torch.randn(batch, *shape, generator=generator) for _, shape in heuristic_packages.MULTI_INPUT_SHAPES]

    expected = module(*args)
    actual = package(*args)
    assert len(actual) == len(expected) == 2
    for got, want in zip(actual, expected):
        assert got.shape == want.shape
        torch.testing.assert_close(got, want.detach())


def test_manifest_describes_the_package(heuristic_packages):
    package = heuristic_packages.package_dir() / "multi_input.pt2"
    manifest = json.loads(Path(f"{package}.json").read_text())
    assert manifest == {
        "env": "heuristic_tests",
        "inputs": [
            {"name": "x", "numel_per_example": 3, "dtype": "float32", "shape": ["batch", 3]},
            {"name": "y", "numel_per_example": 4, "dtype": "float32", "shape": ["batch", 2, 2]},
        ],
        "output_elements_per_example": 1,
    }


# ------------------------------------------------- manifest without compiling


class Head(torch.nn.Module):
    def __init__(self, make_output):
        super().__init__()
        self.make_output = make_output

    def forward(self, *args):
        return self.make_output(*args)


@pytest.fixture
def no_compile(monkeypatch):
    """Replaces the compiler with a recorder, so the manifest logic runs alone."""
    calls = []

    def fake_compile(module, example_args, dynamic_shapes, path):
        calls.append((module, [tuple(a.shape) for a in example_args], dynamic_shapes))
        Path(path).write_bytes(b"package")
        return os.fspath(path)

    monkeypatch.setattr(export, "compile_package", fake_compile)
    return calls


def test_manifest_counts_output_elements_per_example(tmp_path, no_compile):
    module = Head(lambda a, b: (a.reshape(a.shape[0], 2, 3) * b.sum(), a))
    path = tmp_path / "not" / "yet" / "wide.pt2"  # missing folders are created
    assert export.export_package(module, [("a", [6]), ("b", (1, 2))], path) == str(path)

    manifest = json.loads(Path(f"{path}.json").read_text())
    assert "env" not in manifest
    assert manifest["output_elements_per_example"] == 6
    assert [i["shape"] for i in manifest["inputs"]] == [["batch", 6], ["batch", 1, 2]]
    assert [i["numel_per_example"] for i in manifest["inputs"]] == [6, 2]

    [(_, example_shapes, dynamic_shapes)] = no_compile
    assert [s[1:] for s in example_shapes] == [(6,), (1, 2)]
    assert example_shapes[0][0] > 1  # a traced batch of 1 would be specialised
    assert all(list(d) == [0] for d in dynamic_shapes)
    batch = dynamic_shapes[0][0]
    assert batch.min == 1 and batch.max >= 1 << 16
    assert dynamic_shapes[1][0] is batch


@pytest.mark.parametrize(
    "make_output",
    [lambda x: x.sum(), lambda x: x.sum(dim=0, keepdim=True), lambda x: [x.shape[0]], lambda x: x.flatten()],
    ids=["scalar", "one-row", "not-a-tensor", "rows-per-element"],
)
def test_modules_without_one_row_per_example_are_rejected(tmp_path, no_compile, make_output):
    with pytest.raises(ValueError, match="one output row per example"):
        export.export_package(Head(make_output), [("x", (3,))], tmp_path / "bad.pt2")
    assert no_compile == []
    assert not (tmp_path / "bad.pt2.json").exists()


@pytest.mark.parametrize(
    "inputs, name, message",
    [
        ([], "p.pt2", r"^export_package needs at least one input$"),
        ([("x", (0,))], "p.pt2", r"^input 'x': every per-example dimension must be positive, got \(0,\)$"),
        ([("x", (3,))], "p.onnx", r"^package path must end in \.pt2: .*p\.onnx$"),
        ([("x", (3,))], "p", r"^package path must end in \.pt2: .*/p$"),
    ],
)
def test_bad_arguments_are_rejected_before_compiling(tmp_path, no_compile, inputs, name, message):
    with pytest.raises(ValueError, match=message):
        export.export_package(Head(lambda x: x), inputs, tmp_path / name)
    assert no_compile == []


# ------------------------------------------------------------ cache


def test_cache_directory_follows_xdg(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    assert export.cache_dir() == tmp_path / "kestrel_cpp" / f"torch-{torch.__version__}"
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    for unusable in ("", "relative/cache"):
        monkeypatch.setenv("XDG_CACHE_HOME", unusable)
        assert export.cache_dir() == tmp_path / "home" / ".cache" / "kestrel_cpp" / f"torch-{torch.__version__}"


def test_cached_package_builds_once_with_its_manifest(private_cache):
    builds = []

    def build(path):
        builds.append(path)
        assert path.suffix == ".pt2" and path.parent == private_cache / "group"
        path.write_bytes(b"package")
        Path(f"{path}.json").write_text('{"inputs": []}')

    first = export.cached_package("group/net-v1", build)
    assert first == private_cache / "group" / "net-v1.pt2"
    assert first.read_bytes() == b"package"
    assert Path(f"{first}.json").read_text() == '{"inputs": []}'
    assert export.cached_package("group/net-v1", build) == first
    assert len(builds) == 1
    # Nothing but the package, its manifest and the lock file is left behind.
    assert sorted(p.name for p in first.parent.iterdir()) == [".net-v1.pt2.lock", "net-v1.pt2", "net-v1.pt2.json"]


def test_failed_build_leaves_nothing_and_is_retried(private_cache):
    def failing(path):
        path.write_bytes(b"half a pack")
        Path(f"{path}.json").write_text("{")
        raise KeyboardInterrupt("stopped while building")

    with pytest.raises(KeyboardInterrupt, match=r"^stopped while building$"):
        export.cached_package("net", failing)
    assert sorted(p.name for p in private_cache.iterdir()) == [".net.pt2.lock"]

    with pytest.raises(RuntimeError, match="wrote nothing"):
        export.cached_package("net", lambda path: None)
    assert not (private_cache / "net.pt2").exists()

    # A rebuild without a manifest does not keep a stale one.
    Path(private_cache / "net.pt2.json").write_text("stale")
    package = export.cached_package("net", lambda path: path.write_bytes(b"ok"))
    assert package.read_bytes() == b"ok"
    assert not Path(f"{package}.json").exists()


def test_concurrent_requests_build_once(private_cache):
    builds = []

    def slow_build(path):
        builds.append(path)
        threading.Event().wait(0.3)
        path.write_bytes(b"package")

    results = []
    threads = [threading.Thread(target=lambda: results.append(export.cached_package("k", slow_build)))
               for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(builds) == 1
    assert results == [private_cache / "k.pt2"] * 3


@pytest.mark.parametrize("key", ["", "/abs", "../escape", "a/../b", "a//b", "a/", "."])
def test_cache_keys_stay_inside_the_cache(private_cache, key):
    with pytest.raises(ValueError, match="invalid package cache key"):
        export.cached_package(key, lambda path: path.write_bytes(b"x"))


def test_the_input_spec_comes_from_the_environment():
    import kestrel_puzzles
    from kestrel_cpp.export import environment_inputs

    assert environment_inputs("puzzle15", kestrel_puzzles.goal("puzzle15")) == [("x", (256,))]
    assert environment_inputs("PUZZLE8", kestrel_puzzles.goal("puzzle8"), name="tiles") == [("tiles", (81,))]
