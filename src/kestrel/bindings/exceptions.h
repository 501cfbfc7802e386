#pragma once

// Maps solver exceptions to Python exceptions by class, message unchanged:
//   invalid_argument, domain_error, length_error, range_error -> ValueError
//   out_of_range -> IndexError, overflow_error -> OverflowError,
//   bad_alloc -> MemoryError, any other std::exception -> RuntimeError.
// Shared by every function of every module of the package.

namespace kestrel {

void registerExceptionTranslation();

}  // namespace kestrel
