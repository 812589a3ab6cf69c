// Tests of the logic as scripts: steps, separated by "; ", run one after
// another on the test's thread against the fakes, with what the code
// writes checked line by line. Every script knows
//   at T      runs the main queue until T seconds after the script began
//   run       runs what is due now
//   > RECORD  the next line on standard output is RECORD (see record())
//   2> TEXT   the next line on standard error is "quorvel: TEXT"
//   exit N    the process has exited with status N ("exit -": it has not)
//   die N: S  step S ends the process with exit status N
// and the test adds verbs of its own ("partial turn left"); "\\;" is a ';'
// within a step. Before each step that acts, every line written so far
// must have been expected. (A death test's child keeps its standard error.)
#ifndef QUORVEL_TESTS_FAKES_SCRIPT_H_
#define QUORVEL_TESTS_FAKES_SCRIPT_H_

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fakes/fakes.h"

namespace quorvel {

using Steps = std::vector<std::string>;
// A verb's action, given the rest of its step after the first space.
using Verbs = std::map<std::string, std::function<void(const std::string&)>>;

// Runs steps; a failure names the step and stops the script.
void runScript(const Steps& steps, FakeMainQueue& queue, CapturedOutput& output,
               const Verbs& verbs);

// Calls step with each step in turn (the test's failure stops them).
void forEachStep(const Steps& steps,
                 const std::function<void(const std::string&)>& step);

// The event line a short form stands for: "listening", "partial|TEXT",
// "final|TEXT|REASON", "level|RMS", "ready|LOCALE", "error|MESSAGE" (not
// fatal), "fatal|MESSAGE", or "TYPE|KEY=TEXT|..." for any other; a form
// that starts with '{' is the line itself. Texts are written as escaped.
std::string record(std::string_view form);

}  // namespace quorvel

#endif  // QUORVEL_TESTS_FAKES_SCRIPT_H_
