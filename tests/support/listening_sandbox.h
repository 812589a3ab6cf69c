// A throw-away folder holding a privacy store that grants both permissions,
// and the environment that makes the real quorvel listen to a recording
// from it, in en-US, with the installed model and no sound server.
#ifndef QUORVEL_TESTS_SUPPORT_LISTENING_SANDBOX_H_
#define QUORVEL_TESTS_SUPPORT_LISTENING_SANDBOX_H_

#include <map>
#include <string>

namespace quorvel {

// Recordings from pocketsphinx-testdata.
// "he was not an ill disposed young man", 3 s.
extern const std::string youngManRecording;
// "and mister john dashwood had then leisure to consider how much ...", 7 s.
extern const std::string dashwoodRecording;

class ListeningSandbox {
 public:
  explicit ListeningSandbox(const std::string& recording = dashwoodRecording);
  ~ListeningSandbox();  // removes the folder
  ListeningSandbox(const ListeningSandbox&) = delete;
  ListeningSandbox& operator=(const ListeningSandbox&) = delete;

  const std::string& folder() const { return dir; }
  // A fresh copy each call, for the test to adjust.
  std::map<std::string, std::string> environment() const;

 private:
  std::string dir;
  std::string recording;
};

}  // namespace quorvel

#endif  // QUORVEL_TESTS_SUPPORT_LISTENING_SANDBOX_H_
