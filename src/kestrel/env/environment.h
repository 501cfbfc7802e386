#pragma once

// The CPU solver's view of a puzzle domain. One object stands for one puzzle
// state. Plugins subclass it and register a factory (kestrel/env/registrar.h).
//
// The order of the virtual functions is a binary interface shared with
// separately built plugins: never reorder, insert or remove one.
//
// Contracts the solver relies on:
//  - expand() returns every successor, position = move number; no null entries.
//  - expand() and is_solved() run concurrently on worker threads, even twice at
//    once on one object, so they must not modify the object.
//  - apply_move(m) reproduces the state of expand()[m]; num_moves() covers every
//    move number expand() can produce.
//  - write_inputs() writes exactly input_size() floats.
//  - Every move costs 1.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class Environment {
 public:
  virtual ~Environment() = default;

  virtual std::unique_ptr<Environment> apply_move(int move) const = 0;
  virtual std::vector<std::unique_ptr<Environment>> expand() const = 0;
  virtual const std::vector<std::uint8_t>& state() const = 0;
  virtual bool is_solved() const = 0;
  virtual int num_moves() const = 0;
  virtual std::size_t input_size() const = 0;
  virtual void write_inputs(float* out) const = 0;
};
