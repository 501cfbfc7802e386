"""Kestrel C++ backend bindings"""

from typing import Any, Literal

import numpy.typing
import typing_extensions

def environment_registrar_capsule() -> typing_extensions.CapsuleType:
    """Return the versioned environment registrar as a PyCapsule."""

def run_weighted_astar(
    state: numpy.typing.ArrayLike,
    env: str,
    package_path: str,
    weight: float,
    batch_size: int,
    device: str,
    print_internals: bool = False,
    solution_move_source: Literal["infer", "stored"] = "infer",
    duplicate_update_mode: Literal["in_place", "new_slot"] = "in_place",
    hashtable_algorithm: Literal["linear_probing", "python_dict"] = "python_dict",
    goal_stop_mode: Literal["stop_before_goal", "expand_popped_batch"] = "stop_before_goal",
    search_budget: int = 0,
    hash_capacity_factor: float = 4.0,
    capacity_mode: Literal["adaptive", "fixed"] = "adaptive",
    initial_open_size: int = 0,
    initial_closed_size: int = 0,
    initial_node_store_size: int = 0,
    profile_dir: str = "",
    profile_trace: bool = False,
    profile_summary: bool = False,
    profile_run_id: str = "",
    operation_breakdown: bool = False,
    cuda_sync_timing: bool = False,
    memory_dtype_node_state: str = "int64",
    memory_dtype_open_index: str = "int64",
    memory_dtype_open_cost: str = "float32",
    memory_dtype_closed_key: str = "int64",
    memory_dtype_closed_cost: str = "float32",
    memory_dtype_parent_index: str = "int64",
    memory_dtype_parent_move: str = "int64",
    memory_dtype_path_cost: str = "float32",
    memory_dtype_heuristic: str = "float32",
    memory_dtype_total_cost: str = "float32",
) -> dict[str, Any]:
    """Solve a single puzzle state via weighted A* search."""

def run_torch_gpu_astar(
    state: numpy.typing.ArrayLike,
    env: str,
    package_path: str,
    weight: float,
    batch_size: int,
    nnet_batch_size: int = 0,
    device: str = "cuda:0",
    print_internals: bool = False,
    solution_move_source: Literal["infer", "stored"] = "infer",
    duplicate_update_mode: Literal["in_place", "new_slot"] = "in_place",
    hashtable_algorithm: Literal["linear_probing", "python_dict"] = "python_dict",
    goal_stop_mode: Literal["stop_before_goal", "expand_popped_batch"] = "stop_before_goal",
    search_budget: int = 0,
    hash_capacity_factor: float = 4.0,
    capacity_mode: Literal["adaptive", "fixed"] = "adaptive",
    initial_open_size: int = 0,
    initial_closed_size: int = 0,
    initial_node_store_size: int = 0,
    profile_dir: str = "",
    profile_trace: bool = False,
    profile_summary: bool = False,
    profile_run_id: str = "",
    operation_breakdown: bool = False,
    cuda_sync_timing: bool = False,
    memory_dtype_node_state: str = "uint8",
    memory_dtype_open_index: str = "int64",
    memory_dtype_open_cost: str = "float32",
    memory_dtype_closed_key: str = "uint8",
    memory_dtype_closed_cost: str = "float32",
    memory_dtype_parent_index: str = "int64",
    memory_dtype_parent_move: str = "int8",
    memory_dtype_path_cost: str = "float32",
    memory_dtype_heuristic: str = "float32",
    memory_dtype_total_cost: str = "float32",
) -> dict[str, Any]:
    """Solve a single puzzle state using the LibTorch GPU-only A* searcher."""
