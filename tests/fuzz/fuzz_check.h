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

// Straight to file descriptor 2: a target may have pointed the stderr
// stream elsewhere to keep the product's diagnostics quiet.
inline void showTranscript() {
  [[maybe_unused]] auto written =
      ::write(STDERR_FILENO, fuzzTranscript.data(), fuzzTranscript.size());
}

[[noreturn]] inline void propertyBroken(std::string_view what,
                                        std::string_view detail = {}) {
  fuzzTranscript = "property broken: " + std::string(what) + "\n  " +
                   std::string(detail) + "\nafter:\n" + fuzzTranscript;
  showTranscript();
  std::abort();
}

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FUZZ_FUZZ_CHECK_H_
