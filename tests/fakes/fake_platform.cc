#include "tests/fakes/fake_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace quorvel {

FakeBackgroundQueue::~FakeBackgroundQueue() { join(); }

void FakeBackgroundQueue::async(std::function<void()> block) {
  threads.emplace_back(std::move(block));
}

void FakeBackgroundQueue::join() {
  for (auto& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

std::unique_ptr<SignalSource> FakeSignalSources::watch(
    int signo, std::function<void()> handler) {
  (*handlers)[signo].push_back(std::move(handler));
  return std::make_unique<SignalSource>();
}

void FakeSignalSources::raise(int signo) {
  for (auto& handler : (*handlers)[signo]) queue.async(handler);
}

std::vector<int> FakeSignalSources::watched() const {
  std::vector<int> result;
  for (const auto& [signo, list] : *handlers) {
    for (size_t i = 0; i < list.size(); ++i) result.push_back(signo);
  }
  return result;
}

FakePlatform::FakePlatform() = default;

Platform FakePlatform::platform() {
  return Platform{queue,
                  background,
                  signals,
                  application,
                  bundle,
                  languages,
                  speech,
                  microphone,
                  wallClock,
                  [this]() -> std::unique_ptr<AudioEngine> {
                    auto engine = std::make_unique<FakeAudioEngine>();
                    engine->format = engineFormat;
                    engines.push_back(engine.get());
                    return engine;
                  },
                  commandInput};
}

namespace {

std::string makeTempFile(const char* name) {
  std::string path = std::string("/tmp/quorvel-") + name + "-XXXXXX";
  const int fd = mkstemp(path.data());
  close(fd);
  return path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void redirect(int target, const std::string& path) {
  std::fflush(nullptr);
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
  dup2(fd, target);
  close(fd);
}

}  // namespace

CapturedOutput::CapturedOutput()
    : savedOut(dup(1)),
      savedErr(dup(2)),
      outPath(makeTempFile("out")),
      errPath(makeTempFile("err")) {
  redirect(1, outPath);
  redirect(2, errPath);
}

CapturedOutput::~CapturedOutput() {
  std::fflush(nullptr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  if (::testing::Test::HasFailure()) {
    std::printf("--- captured stdout ---\n%s--- captured stderr ---\n%s---\n",
                readFile(outPath).c_str(), readFile(errPath).c_str());
  }
  unlink(outPath.c_str());
  unlink(errPath.c_str());
}

std::vector<std::string> CapturedOutput::lines() {
  std::vector<std::string> result;
  std::istringstream in(readFile(outPath));
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::vector<std::string> CapturedOutput::takeLines() {
  auto all = lines();
  std::vector<std::string> fresh(all.begin() + std::min(linesTaken, all.size()),
                                 all.end());
  linesTaken = all.size();
  return fresh;
}

std::string CapturedOutput::errText() {
  std::fflush(stderr);
  return readFile(errPath);
}

std::string CapturedOutput::takeErr() {
  auto all = errText();
  auto fresh = all.substr(std::min(errTaken, all.size()));
  errTaken = all.size();
  return fresh;
}

}  // namespace quorvel
