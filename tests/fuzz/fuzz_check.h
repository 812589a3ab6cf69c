// How a fuzz target reports a broken property: it says which on standard
// error and aborts, so that libFuzzer keeps the input as a crash.
#ifndef QUORVEL_TESTS_FUZZ_FUZZ_CHECK_H_
#define QUORVEL_TESTS_FUZZ_FUZZ_CHECK_H_

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace quorvel {

// What led up to the failure, shown with it; a target that drives a
// sequence of steps keeps it up to date.
inline std::string fuzzTranscript;

// Writes straight to file descriptor 2: a target may have pointed the
// stderr stream elsewhere to keep the product's diagnostics quiet.
[[noreturn]] inline void propertyBroken(std::string_view what,
                                        std::string_view detail = {}) {
  std::string message = "property broken: " + std::string(what);
  if (!detail.empty()) message += "\n  " + std::string(detail);
  message += '\n';
  if (!fuzzTranscript.empty()) message += "after:\n" + fuzzTranscript;
  [[maybe_unused]] const ssize_t ignored =
      ::write(STDERR_FILENO, message.data(), message.size());
  std::abort();
}

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FUZZ_FUZZ_CHECK_H_
