#include "tests/fakes/script.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <deque>

namespace quorvel {

std::string record(std::string_view form) {
  if (form.starts_with('{')) return std::string(form);
  static const std::map<std::string_view, std::vector<std::string>> keys = {
      {"partial", {"text"}},  {"final", {"text", "reason"}},
      {"level", {"rms"}},     {"ready", {"locale"}},
      {"error", {"message"}}, {"fatal", {"message"}}};
  const size_t bar = form.find('|');
  const std::string_view kind = form.substr(0, bar);
  std::string line =
      R"({"type":")" + std::string(kind == "fatal" ? "error" : kind) + '"';
  size_t index = 0;
  for (size_t at = bar; at != std::string_view::npos; ++index) {
    const size_t next = form.find('|', at + 1);
    std::string field(form.substr(at + 1, next - at - 1));
    std::string key;
    if (keys.contains(kind)) {
      key = keys.at(kind).at(index);
    } else {
      key = field.substr(0, field.find('='));
      field.erase(0, key.size() + 1);
    }
    line += ",\"" + key + "\":" + (key == "rms" ? field : '"' + field + '"');
    at = next;
  }
  if (kind == "error" || kind == "fatal") {
    line += kind == "fatal" ? R"(,"fatal":true)" : R"(,"fatal":false)";
  }
  return line + "}";
}

namespace {

// GoogleTest prints failures on standard output, which a CapturedOutput may
// be holding: show them on the real one too.
class FailureEcho : public ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed() || CapturedOutput::realOut < 0) return;
    dprintf(CapturedOutput::realOut, "%s:%d: Failure\n%s\n",
            result.file_name() ? result.file_name() : "?", result.line_number(),
            result.message());
  }
};
[[maybe_unused]] const bool echoing =
    (::testing::UnitTest::GetInstance()->listeners().Append(new FailureEcho),
     true);

class ScriptRun {
 public:
  ScriptRun(FakeMainQueue& queue, CapturedOutput& output, const Verbs& verbs)
      : queue(queue), output(output), verbs(verbs), origin(queue.now()) {}

  void step(const std::string& step) {
    if (step.starts_with("> ") || step.starts_with("2> ")) {
      const bool err = step[0] == '2';
      collect();
      std::deque<std::string>& lines = err ? errLines : outLines;
      ASSERT_FALSE(lines.empty()) << "nothing was written";
      EXPECT_EQ(lines.front(),
                err ? "quorvel: " + step.substr(3) : record(step.substr(2)));
      lines.pop_front();
      return;
    }
    expectedAll();
    if (!::testing::Test::HasFailure()) act(step);
  }

  void expectedAll() {
    collect();
    for (const auto* lines : {&outLines, &errLines}) {
      for (const std::string& line : *lines) {
        ADD_FAILURE() << "unexpected line " << line;
      }
    }
  }

 private:
  void act(const std::string& step) {
    const size_t space = std::min(step.find(' '), step.size());
    const std::string verb = step.substr(0, space);
    const std::string rest = space < step.size() ? step.substr(space + 1) : "";
    if (verb == "at") {
      queue.advanceTo(origin + std::stod(rest));
    } else if (verb == "run") {
      queue.runUntilIdle();
    } else if (verb == "exit") {
      EXPECT_EQ(queue.exitStatus(),
                rest == "-" ? std::nullopt : std::optional(std::stoi(rest)));
    } else if (verb == "die") {
      EXPECT_EXIT(act(rest.substr(rest.find(": ") + 2)),
                  ::testing::ExitedWithCode(std::stoi(rest)), "");
      // The child's standard error goes to GoogleTest; what this process
      // wrote there meanwhile is GoogleTest's warning that it forked with
      // threads running (a sanitizer's own count).
      collect();
      errLines.clear();
    } else {
      ASSERT_TRUE(verbs.contains(verb)) << "no such verb";
      verbs.at(verb)(rest);
    }
  }

  void collect() {
    for (auto& line : output.take(1)) outLines.push_back(line);
    for (auto& line : output.take(2)) errLines.push_back(line);
  }

  FakeMainQueue& queue;
  CapturedOutput& output;
  const Verbs& verbs;
  const double origin;
  std::deque<std::string> outLines, errLines;
};

}  // namespace

void forEachStep(const Steps& steps,
                 const std::function<void(const std::string&)>& step) {
  for (const std::string& line : steps) {
    std::vector<std::string> split{""};
    for (size_t i = 0; i < line.size(); ++i) {
      if (line.compare(i, 2, "\\;") == 0) {
        split.back() += line[++i];
      } else if (line.compare(i, 2, "; ") == 0) {
        split.emplace_back();
        ++i;
      } else {
        split.back() += line[i];
      }
    }
    for (const std::string& each : split) {
      if (::testing::Test::HasFailure()) return;
      SCOPED_TRACE("at '" + each + "'");
      step(each);
    }
  }
}

void runScript(const Steps& steps, FakeMainQueue& queue, CapturedOutput& output,
               const Verbs& verbs) {
  if (::testing::Test::HasFailure()) return;
  ScriptRun script(queue, output, verbs);
  forEachStep(steps, [&](const std::string& step) { script.step(step); });
  if (!::testing::Test::HasFailure()) script.expectedAll();
}

}  // namespace quorvel
