"""The extension module itself: its shape, the registrar capsule, console
output from native threads and the exception translation."""

import contextlib
import ctypes
import io
import re
import subprocess
import sys
import textwrap

import pytest

import kestrel_cpp
from kestrel_cpp import _backend_impl as backend
from kestrel_cpp import _testing

CAPSULE_NAME = b"kestrel_cpp.environment_registrar_v1"


def capsule_pointer(capsule):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(capsule, CAPSULE_NAME)


def test_module_shape():
    assert backend.__doc__ == "Kestrel C++ backend bindings"
    public = [name for name in vars(backend) if not name.startswith("__")]
    assert public == ["environment_registrar_capsule", "run_weighted_astar", "run_torch_gpu_astar"]


def test_capsule_docstring_and_signature():
    doc = backend.environment_registrar_capsule.__doc__
    assert doc.startswith("environment_registrar_capsule() -> typing_extensions.CapsuleType\n")
    assert "Return the versioned environment registrar as a PyCapsule.\n\n" \
           "Environment plugin extensions extract the registrar pointer from the\n" \
           "capsule and register C++ environment factories by name. The solver\n" \
           "entry points resolve environments through that registry.\n" in doc
    assert "PyCapsule named ``kestrel_cpp.environment_registrar_v1``." in doc


def test_capsules_are_distinct_but_share_the_record():
    first, second = backend.environment_registrar_capsule(), backend.environment_registrar_capsule()
    assert first is not second
    pointer = capsule_pointer(first)
    assert pointer and pointer == capsule_pointer(second)
    record = (ctypes.c_uint64 * 3).from_address(pointer)
    assert record[0] == 1 and record[1] != 0 and record[2] != 0 and record[1] != record[2]
    assert ctypes.c_uint32.from_address(pointer).value == 1


def test_run_weighted_astar_signature_and_docstring():
    doc = backend.run_weighted_astar.__doc__
    signature = doc.splitlines()[0]
    names = re.findall(r"(?:\(|, )(\w+): ", signature)
    assert names[:6] == ["state", "env", "package_path", "weight", "batch_size", "device"]
    assert names[-1] == "memory_dtype_total_cost" and len(names) == 33
    assert "Solve a single puzzle state via weighted A* search." in doc
    assert "Dict with keys `moves`, `nodes_generated`, `solve_time`, `solved`,\n" \
           "    `search_budget_exceeded`, and optionally `operation_timings` when requested." in doc
    assert "ValueError: If `state` is empty or `batch_size <= 0`." in doc
    assert "RuntimeError: If the C++ solver cannot initialize or complete." in doc


@pytest.mark.parametrize("stream, attribute", [("stdout", "stdout"), ("line", "stdout"), ("stderr", "stderr")])
def test_console_output_from_native_threads_follows_redirection(stream, attribute):
    buffer = io.StringIO()
    redirect = contextlib.redirect_stdout if attribute == "stdout" else contextlib.redirect_stderr
    with redirect(buffer):
        _testing.write_from_threads(stream, "worker", 8)
    lines = sorted(buffer.getvalue().splitlines())
    assert lines == sorted(f"worker {t}" for t in range(8))


def test_long_console_text_is_not_truncated():
    buffer = io.StringIO()
    text = "x" * 5000
    with contextlib.redirect_stdout(buffer):
        _testing.write_from_threads("line", text, 1)
    assert buffer.getvalue() == text + " 0\n"


def test_plugin_registers_in_a_fresh_interpreter():
    code = ("import numpy as np, kestrel_puzzles\n"
            "from kestrel_cpp import _backend_impl as b\n"
            "for env in ('nope', 'PUZZLE8'):\n"
            "    try:\n"
            "        b.run_weighted_astar(np.zeros(3, np.uint8), env, 'x.pt2', 1.0, 1, 'cpu')\n"
            "    except Exception as e:\n"
            "        print(f'{env}: {type(e).__name__}: {e}')\n"
            "    else:\n"
            "        print(f'{env}: no error')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    unknown, registered = out.splitlines()
    assert unknown.startswith("nope: ValueError: Unknown environment 'nope'"), unknown
    # The plugin's factory ran and rejected the all-zero state: the name was registered.
    assert registered == "PUZZLE8: ValueError: puzzle8 state must hold 9 tiles, got 3", registered


@pytest.mark.parametrize("kwargs, exception, message", [
    # std::out_of_range from the index parse, worded by the standard library
    ({"device": "cuda:99999999999"}, IndexError, None),
    ({"device": "gpu"}, ValueError, r"^Unsupported device spec: gpu$"),  # std::invalid_argument
    ({"device": "cuda"}, RuntimeError,  # std::runtime_error: no CUDA in this build
     r"^CUDA device requested but CUDA is unavailable in this build$"),
])
def test_exception_translation(kwargs, exception, message):
    import kestrel_puzzles
    package = str(kestrel_puzzles.manhattan_package("puzzle8"))
    args = dict(device="cpu")
    args.update(kwargs)
    with pytest.raises(exception, match=message):
        backend.run_weighted_astar(kestrel_puzzles.scramble("puzzle8", 3, 0), "puzzle8", package, 1.0, 1, **args)


@pytest.mark.parametrize("kind, exception, message", [
    ("bad_alloc", MemoryError, "std::bad_alloc"),
    ("not_utf8", RuntimeError, r"manifest names \xff\xfe here"),   # undecodable bytes escaped, message kept
    ("libtorch", RuntimeError, "a LibTorch failure"),                 # without LibTorch's C++ stack trace
    ("not_std", RuntimeError, "A C++ exception of an unknown type was thrown during the solve"),
])
def test_exceptions_of_every_kind_become_readable_python_errors(kind, exception, message):
    with pytest.raises(exception) as raised:
        _testing.throw_exception(kind)
    assert str(raised.value) == message


def test_type_stubs_match_the_module():
    import ast
    from pathlib import Path

    stub = ast.parse((Path(backend.__file__).parent / "_backend_impl.pyi").read_text())
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert list(functions) == ["environment_registrar_capsule", "run_weighted_astar", "run_torch_gpu_astar"]
    for name in ("run_weighted_astar", "run_torch_gpu_astar"):
        signature = getattr(backend, name).__doc__.splitlines()[0]
        assert [arg.arg for arg in functions[name].args.args] == re.findall(r"(?:\(|, )(\w+): ", signature)
        defaults = dict(re.findall(r"(\w+): \w+ = ([^,)]+)", signature))
        stub_args = functions[name].args
        stub_defaults = zip(stub_args.args[len(stub_args.args) - len(stub_args.defaults):], stub_args.defaults)
        assert {arg.arg: ast.literal_eval(value) for arg, value in stub_defaults} == \
            {key: ast.literal_eval(value) for key, value in defaults.items()}


def test_installed_plugins_load_on_demand_and_unknown_names_get_a_hint():
    # A fresh interpreter that never imports the plugin: the solve imports the
    # installed plugins itself, once, and names where it looked otherwise.
    code = textwrap.dedent("""
        import sys, kestrel_cpp
        assert "kestrel_puzzles" not in sys.modules
        import numpy as np
        from importlib import import_module
        state = np.array([1, 2, 3, 4, 5, 6, 7, 0, 8], np.uint8)
        package = sys.argv[1]
        print(kestrel_cpp.run_weighted_astar(state, "puzzle8", package, 1.0, 4, "cpu")["moves"])
        try:
            kestrel_cpp.run_weighted_astar(state, "nope", package, 1.0, 4, "cpu")
        except ValueError as error:
            print(error)
        else:
            print("no error")
    """)
    import kestrel_puzzles

    run = subprocess.run([sys.executable, "-c", code, str(kestrel_puzzles.manhattan_package("puzzle8"))],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    moves, error = run.stdout.splitlines()
    assert moves == "[3]"
    assert error.startswith("Unknown environment 'nope' for the C++ parallel weighted A* solver.")
    hint = re.search(r" Installed plugins \(entry-point group 'kestrel_cpp.plugins'\) were imported: (.*)\. "
                     r"A plugin that does not declare itself there must be imported before the solve\.$", error)
    assert hint and "kestrel_puzzles" in hint.group(1).split(", ")


def test_the_module_reports_its_version_and_setup():
    from importlib.metadata import version

    def run(*args):
        done = subprocess.run([sys.executable, "-m", "kestrel_cpp", *args], capture_output=True, text=True,
                              timeout=120, check=True)
        return done.stdout

    assert kestrel_cpp.__version__ == version("kestrel_cpp") == run("--version").strip()
    report = run()
    assert report.startswith(f"kestrel_cpp {kestrel_cpp.__version__}\ntorch ")
    assert "  kestrel_puzzles: puzzle8, puzzle15, puzzle24" in report
    import torch

    assert ("CUDA: available" in report) == torch.cuda.is_available()


def test_the_public_functions_show_their_signatures():
    import inspect
    from typing import Literal

    cpu = inspect.signature(kestrel_cpp.run_weighted_astar).parameters
    assert list(cpu)[:6] == ["state", "env", "package_path", "weight", "batch_size", "device"]
    assert cpu["goal_stop_mode"].annotation == Literal["stop_before_goal", "expand_popped_batch"]
    assert cpu["search_budget"].default == 0 and cpu["device"].default is inspect.Parameter.empty
    tensor = inspect.signature(kestrel_cpp.run_tensor_astar).parameters
    assert tensor["device"].default == "cpu" and tensor["nnet_batch_size"].default == 0
    assert kestrel_cpp.run_tensor_astar.__name__ == "run_tensor_astar"
    assert inspect.signature(kestrel_cpp.run_weighted_astar).return_annotation is kestrel_cpp.SolveResult


@pytest.mark.parametrize("env, side", [("puzzle8", 3), ("PUZZLE15", 4), ("puzzle24", 5)])
def test_environments_describe_their_sizes(env, side):
    import kestrel_puzzles

    state = kestrel_puzzles.goal(env.lower())
    assert kestrel_cpp.describe_environment(env, state) == {
        "state_size": side * side, "num_moves": 4, "input_size": side**4}
