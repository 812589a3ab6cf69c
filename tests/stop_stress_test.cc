// Many launches of the real binary, each stopped at a random moment after
// "listening" by one of the ways a parent can stop it: every one must end
// with "stopped" as its last line and exit 0. QUORVEL_STRESS_LAUNCHES sets
// the count (default 100).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/listening_sandbox.h"

namespace quorvel {
namespace {

TEST(StopStressTest, EveryStopEndsWithStoppedAndExitZero) {
  const char* configured = getenv("QUORVEL_STRESS_LAUNCHES");
  const int launches = configured ? atoi(configured) : 100;
  const ListeningSandbox sandbox;
  const std::map<std::string, std::string> env = sandbox.environment();
  std::mt19937 random(20261206);
  const char* ways[] = {"stop word", "end of input", "SIGTERM", "SIGINT",
                        "two signals"};
  int failures = 0;
  for (int i = 0; i < launches && failures < 3; ++i) {
    const int way = random() % 5;
    const int delayMs = random() % 3000;
    ChildProcess quorvel({QUORVEL_BINARY}, env);
    ASSERT_TRUE(quorvel.waitForLine(R"("type":"listening")", 30))
        << quorvel.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    switch (way) {
      case 0:
        quorvel.write("stop\n");
        break;
      case 1:
        quorvel.closeInput();
        break;
      case 2:
        quorvel.signal(SIGTERM);
        break;
      case 3:
        quorvel.signal(SIGINT);
        break;
      case 4:
        quorvel.signal(SIGINT);
        quorvel.signal(SIGTERM);
        break;
    }
    const int status = quorvel.wait(20);
    bool parsed = true;
    for (const auto& line : quorvel.lines) {
      parsed = parsed && nlohmann::json::accept(line);
    }
    const bool ok = status == 0 && parsed && !quorvel.lines.empty() &&
                    quorvel.lines.back() == R"({"type":"stopped"})";
    EXPECT_TRUE(ok) << "launch " << i << " stopped by " << ways[way]
                    << " after " << delayMs << " ms: status " << status
                    << ", last line "
                    << (quorvel.lines.empty() ? "(none)" : quorvel.lines.back())
                    << "\n"
                    << quorvel.err;
    failures += !ok;
  }
}

}  // namespace
}  // namespace quorvel
