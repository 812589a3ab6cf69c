#include "tests/support/listening_sandbox.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace quorvel {

const std::string youngManRecording =
    "/usr/share/pocketsphinx/test/data/librivox/"
    "sense_and_sensibility_01_austen_64kb-0880.wav";
const std::string dashwoodRecording =
    "/usr/share/pocketsphinx/test/data/librivox/"
    "sense_and_sensibility_01_austen_64kb-0870.wav";

ListeningSandbox::ListeningSandbox(const std::string& recording)
    : recording(recording) {
  std::string pattern = "/tmp/quorvel-sandbox-XXXXXX";
  dir = mkdtemp(pattern.data());
  std::ofstream(dir + "/privacy")
      << "speech=authorized\nmicrophone=authorized\n";
}

ListeningSandbox::~ListeningSandbox() { std::filesystem::remove_all(dir); }

std::map<std::string, std::string> ListeningSandbox::environment() const {
  // An empty value removes the variable (see ChildProcess).
  return {{"QUORVEL_PRIVACY_FILE", dir + "/privacy"},
          {"QUORVEL_AUDIO_INPUT", recording},
          {"LANGUAGE", "en_US"},
          {"LC_ALL", ""},
          {"LANG", "C.UTF-8"},
          {"QUORVEL_MODEL_DIR", ""},
          {"PULSE_SERVER", "unix:" + dir + "/no-server"}};
}

}  // namespace quorvel
