"""Puzzles written in PyTorch, for the tensor solver.

A tensor environment works on batches of states held as torch tensors. Write
one as a class with the methods of :class:`TensorEnvironment`, then register
a factory for it::

    import kestrel_cpp
    from kestrel_cpp.tensor_environments import TensorEnvironment, register_tensor_environment

    class Pancakes(TensorEnvironment):
        ...

    register_tensor_environment("py_pancake5", lambda device, state_dim: Pancakes(device))
    kestrel_cpp.run_tensor_astar(state, "py_pancake5", package, 1.0, 100, device="cpu")

The solver calls these methods once per iteration each, from the solving
thread, taking the interpreter lock only for the call; everything else runs in
C++ without it. An exception raised in a method ends the solve with that
exception, and Ctrl-C interrupts it as usual. Expect a few hundred
microseconds per call on top of the tensor work: fine for batches of
hundreds or thousands of states, a real cost for tiny batches.

The CPU solver calls its environment once per node from worker threads and
takes C++ environments only (see docs/plugins.md).
"""

from __future__ import annotations

from collections.abc import Callable

import torch

from . import _environments

__all__ = ["TensorEnvironment", "register_tensor_environment"]


class TensorEnvironment:
    """The methods the tensor solver calls. For a batch of ``B`` states of
    ``state_width`` elements and ``num_moves`` moves:

    - ``encode_state(state)``: ``state`` is the caller's uint8 bytes as a CPU
      tensor; return the ``state_width`` elements of the state (any integer
      dtype and device: the solver converts them to its storage type and
      device).
    - ``is_solved(states)``: ``(B, state_width)``; return ``B`` bools.
    - ``expand(states)``: return ``(children, step_costs)``: children
      ``(B, num_moves, state_width)`` in move order, and ``B * num_moves``
      step costs (every move costs 1).
    - ``network_inputs(states)``: return a list with one float32 tensor
      ``(B, n)`` per input of the heuristic package's manifest, in order.

    ``states`` arrive on the solve's device in the solver's node-state
    storage type (``memory_dtype_node_state``, uint8 by default). Methods must
    not keep references to them between calls.
    """

    num_moves: int
    state_width: int

    def encode_state(self, state: torch.Tensor) -> torch.Tensor:
        raise NotImplementedError

    def is_solved(self, states: torch.Tensor) -> torch.Tensor:
        raise NotImplementedError

    def expand(self, states: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        raise NotImplementedError

    def network_inputs(self, states: torch.Tensor) -> list[torch.Tensor]:
        raise NotImplementedError


def register_tensor_environment(name: str, factory: Callable[[str, int], TensorEnvironment]) -> None:
    """Registers a tensor environment written in Python under ``name``.

    ``factory(device, state_dim)`` is called at the start of each tensor solve
    of ``name`` with the solve's device (for example ``"cpu"`` or ``"cuda:0"``)
    and the length of the start state, and returns the environment. Names are
    compared case-insensitively; registering a name again replaces its
    factory. At most 64 names can be registered from Python in a process.
    """
    if not callable(factory):
        raise TypeError("factory must be callable as factory(device, state_dim)")
    _environments.register_tensor_environment(name, factory)
