#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace quorvel {
namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

class QuorvelPrivacyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvel-privacy-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    store = directory + "/config/privacy";
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // Runs quorvel-privacy with args on the test's store, killed after 30 s.
  Outcome run(const std::string& args) {
    const std::string command = "QUORVEL_PRIVACY_FILE='" + store +
                                "' timeout 30 '" QUORVEL_PRIVACY_BINARY "' " +
                                args + " 2>/dev/null";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return outcome;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) outcome.out += buffer;
    const int status = pclose(pipe);
    if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    return outcome;
  }

  std::string directory;
  std::string store;
};

TEST_F(QuorvelPrivacyTest, GrantAndDenyShowAsLabels) {
  EXPECT_EQ(run("grant speech").status, 0);
  EXPECT_EQ(run("deny microphone").status, 0);
  const Outcome shown = run("show");
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out,
            "speech=authorized\nmicrophone=denied\nfile=" + store + "\n");
  EXPECT_EQ(run("reset all").status, 0);
  EXPECT_EQ(
      run("").out,
      "speech=notDetermined\nmicrophone=notDetermined\nfile=" + store + "\n");
}

TEST_F(QuorvelPrivacyTest, BadUsageExitsWithTwo) {
  EXPECT_EQ(run("grant").status, 2);
  EXPECT_EQ(run("grant camera").status, 2);
  EXPECT_EQ(run("allow speech").status, 2);
  EXPECT_EQ(run("show speech").status, 2);
  EXPECT_EQ(run("--help").status, 0);
}

}  // namespace
}  // namespace quorvel
