// The real binary against rough parents: megabytes of random bytes on
// standard input, a reader that stops for a while, a reader that goes.
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

class HostileInputTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> launch() {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{QUORVEL_BINARY}, sandbox.environment());
  }
  static void expectOrderlyEnd(ChildProcess& child) {
    for (const auto& line : child.lines) {
      ASSERT_TRUE(nlohmann::json::accept(line)) << line.substr(0, 200);
    }
    ASSERT_FALSE(child.lines.empty());
    EXPECT_EQ(child.lines.back(), R"({"type":"stopped"})");
  }
  ListeningSandbox sandbox;
};

TEST_F(HostileInputTest, FiftyMegabytesOfRandomBytesThenEndOfInput) {
  auto quorvel = launch();
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 30));
  std::mt19937 random(7);
  std::string chunk(1 << 20, '\0');
  std::thread writer([&] {
    for (int megabyte = 0; megabyte < 50; ++megabyte) {
      for (char& byte : chunk) byte = static_cast<char>(random());
      quorvel->write(chunk);
    }
    quorvel->closeInput();
  });
  const int status = quorvel->wait(120);
  writer.join();
  EXPECT_EQ(status, 0);
  expectOrderlyEnd(*quorvel);
  EXPECT_EQ(quorvel->err.find("error"), std::string::npos) << quorvel->err;
}

// Writes block while the parent does not read; nothing is lost or torn.
TEST_F(HostileInputTest, ReaderThatPausesTenSecondsLosesNothing) {
  auto quorvel = launch();
  quorvel->setOutputPipeSize(4096);
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 30));
  std::this_thread::sleep_for(std::chrono::seconds(10));
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"final")", 30));
  quorvel->write("stop\n");
  EXPECT_EQ(quorvel->wait(30), 0);
  expectOrderlyEnd(*quorvel);
}

// One non-blocking socket as standard input and output: no input yet is
// not the end of it, so the helper listens until told to stop.
TEST_F(HostileInputTest, NonBlockingSocketForInputAndOutput) {
  ChildProcess quorvel({QUORVEL_BINARY}, sandbox.environment(),
                       ChildProcess::Stdio::NonBlockingSocket);
  ASSERT_TRUE(quorvel.waitForLine(R"("type":"partial")", 30)) << quorvel.err;
  quorvel.write("stop\n");
  EXPECT_EQ(quorvel.wait(20), 0);
  expectOrderlyEnd(quorvel);
  ASSERT_GE(quorvel.lines.size(), 2u);
  EXPECT_NE(quorvel.lines[quorvel.lines.size() - 2].find(R"("reason":"stop")"),
            std::string::npos);
}

TEST_F(HostileInputTest, ParentClosingOutputEndsTheHelper) {
  auto quorvel = launch();
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 30));
  quorvel->closeOutput();
  EXPECT_EQ(quorvel->wait(10), 128 + SIGPIPE);
}

}  // namespace
}  // namespace quorvel
