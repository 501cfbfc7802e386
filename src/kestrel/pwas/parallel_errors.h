#pragma once

// An exception thrown inside an OpenMP region cannot leave it: it would
// terminate the process. Workers hand it to this collector instead, and the
// solving thread rethrows the first one after the region.

#include <atomic>
#include <exception>

namespace kestrel {

class ParallelErrors {
 public:
  void capture() noexcept {
    bool expected = false;
    if (captured_.compare_exchange_strong(expected, true)) error_ = std::current_exception();
  }

  void rethrowFirst() const {
    if (captured_.load() && error_) std::rethrow_exception(error_);
  }

 private:
  std::atomic<bool> captured_{false};
  std::exception_ptr error_;
};

}  // namespace kestrel
