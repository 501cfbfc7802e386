"""The Manhattan heuristic package against an independent computation."""

import json

import numpy as np
import puzzle_reference as ref
import pytest
import torch

import kestrel_puzzles
from kestrel_puzzles import _native


@pytest.mark.parametrize("name", kestrel_puzzles.ENVIRONMENTS)
def test_package_computes_the_manhattan_distance(name):
    path = kestrel_puzzles.manhattan_package(name)
    assert kestrel_puzzles.manhattan_package(name.upper()) == path  # cached, case-blind

    cells = ref.SIDES[name] ** 2
    with open(path + ".json") as file:
        manifest = json.loads(file.read())
    assert manifest["env"] == name
    assert [entry["numel_per_example"] for entry in manifest["inputs"]] == [cells**2]

    model = torch._inductor.aoti_load_package(path)
    states = np.concatenate([ref.random_states(name, 31, seed=8), ref.goal(name)[None]])
    (inputs,) = _native.torch_network_inputs(name, states)
    output = model(torch.from_numpy(inputs))
    values = output[0] if isinstance(output, (list, tuple)) else output
    expected = [ref.manhattan(name, state) for state in states]
    assert values.reshape(-1).tolist() == expected
    assert expected[-1] == 0 and min(expected[:-1]) > 0


def test_unknown_puzzle_is_rejected_before_compiling():
    with pytest.raises(ValueError, match="Unknown puzzle 'puzzle99'"):
        kestrel_puzzles.manhattan_package("puzzle99")
