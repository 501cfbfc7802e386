"""Registration through the registrar capsule, with a stand-in registrar and
with kestrel_cpp's own in a fresh interpreter."""

import ctypes
import subprocess
import sys
import textwrap

import puzzle_reference as ref
import pytest

import kestrel_cpp
import kestrel_puzzles
from kestrel_puzzles import _native

CAPSULE_NAME = b"kestrel_cpp.environment_registrar_v1"
Register = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)


class Registrar(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("register_cpu", Register), ("register_torch", Register)]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class FakeRegistrar:
    """A registrar record that records the calls made through it."""

    def __init__(self, version=1, name=CAPSULE_NAME, with_functions=True):
        self.calls = []
        self._name = ctypes.create_string_buffer(name)  # the capsule keeps the pointer
        self._callbacks = [
            Register(lambda n, f: self.calls.append(("cpu", n.decode(), f))),
            Register(lambda n, f: self.calls.append(("torch", n.decode(), f))),
        ]
        self.record = Registrar(version, *(self._callbacks if with_functions else (Register(), Register())))
        self.capsule = _capsule_new(ctypes.addressof(self.record), self._name, None)


def test_registers_every_puzzle_for_both_solvers():
    registrar = FakeRegistrar()
    _native.register_environments(registrar.capsule)
    names = ("puzzle8", "puzzle15", "puzzle24")
    assert [(kind, name) for kind, name, _ in registrar.calls] == [
        (kind, name) for name in names for kind in ("cpu", "torch")
    ]
    factories = [factory for _, _, factory in registrar.calls]
    assert all(factories) and len(set(factories)) == 6

    # Registering again hands over the same factories.
    again = FakeRegistrar()
    _native.register_environments(again.capsule)
    assert again.calls == registrar.calls


def test_rejects_capsules_that_are_not_the_registrar():
    with pytest.raises(ValueError,
                       match=r"expected a capsule named 'kestrel_cpp\.environment_registrar_v1', got 'other'"):
        _native.register_environments(FakeRegistrar(name=b"other").capsule)
    with pytest.raises(TypeError, match=r"^register_environments\(\): incompatible function arguments"):
        _native.register_environments(object())

    newer = FakeRegistrar(version=2)
    with pytest.raises(RuntimeError, match="registrar version 2 is not supported"):
        _native.register_environments(newer.capsule)
    assert newer.calls == []

    with pytest.raises(RuntimeError, match="lacks its registration functions"):
        _native.register_environments(FakeRegistrar(with_functions=False).capsule)


def test_kestrel_cpp_registrar_capsule_is_accepted_repeatedly():
    # Registering again must leave every puzzle usable, by both the
    # environment queries and the solver.
    state = kestrel_puzzles.scramble("puzzle8", 10, 0)
    package = str(kestrel_puzzles.manhattan_package("puzzle8"))
    solutions = []
    for _ in range(3):
        _native.register_environments(kestrel_cpp.environment_registrar_capsule())
        assert kestrel_cpp._environments.describe_environment("puzzle8", state) == {
            "state_size": 9, "num_moves": 4, "input_size": 81}
        result = kestrel_cpp.run_weighted_astar(state, "puzzle8", package, 1.0, 4, "cpu")
        assert result["solved"]
        board = state
        for move in result["moves"]:
            board = ref.successor("puzzle8", board, move)
        assert list(board) == list(ref.goal("puzzle8"))
        solutions.append(result["moves"])
    assert solutions[1:] == solutions[:1] * 2


def test_import_registers_with_the_solver_in_a_fresh_interpreter(tmp_path):
    # The solver creates its environment before it reads the package, so a
    # missing package tells a registered name from an unknown one.
    missing = str(tmp_path / "missing.pt2")
    script = textwrap.dedent(
        f"""
        import importlib
        import numpy as np
        from kestrel_cpp._backend_impl import run_weighted_astar

        def solve(state, env):
            try:
                run_weighted_astar(np.asarray(state, dtype=np.uint8), env, {missing!r}, 1.0, 1, "cpu")
            except Exception as error:
                return f"{{type(error).__name__}}: {{error}}"

        goal = list(range(1, 9)) + [0]
        print(solve(goal, "puzzle8"))
        import kestrel_puzzles
        print(solve(goal, "puzzle8"))
        print(solve(goal, "PUZZLE8"))
        print(solve(list(range(1, 16)) + [0], "puzzle15"))
        print(solve(goal, "puzzle15"))
        importlib.reload(kestrel_puzzles)
        print(solve(goal, "puzzle8"))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    before, registered, upper, puzzle15, wrong_size, reloaded = result.stdout.splitlines()
    assert before.startswith("ValueError: Unknown environment 'puzzle8' for the C++ parallel weighted A* solver")
    for line in (registered, upper, puzzle15, reloaded):
        # Found: the solve got as far as the (missing) package.
        assert "Unknown environment" not in line and missing in line, line
    assert wrong_size == "ValueError: puzzle15 state must hold 16 tiles, got 9"
