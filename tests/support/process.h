// The real programs, for the process suite: a child whose standard input,
// output and error the test holds, with a hard timeout on every wait; a
// sandbox in which quorvel listens to a recording, driven by scripts; a
// private PulseAudio daemon. Every line quorvel writes during a test
// program is checked against the event schema when the program ends.
#ifndef QUORVEL_TESTS_SUPPORT_PROCESS_H_
#define QUORVEL_TESTS_SUPPORT_PROCESS_H_

#include <map>
#include <memory>

#include "tests/fakes/script.h"

namespace quorvel {

using Environment = std::map<std::string, std::string>;

// Recordings from pocketsphinx-testdata: "he was not an ill disposed young
// man" (3 s) and "and mister john dashwood had then leisure to consider
// how much ..." (7 s).
extern const std::string youngMan, dashwood;

class ChildProcess {
 public:
  // argv[0] with the test's environment and env (an empty value unsets),
  // in a process group of its own that dies with the test. With socket,
  // standard input and output are one non-blocking socket, as some parents
  // hand over.
  ChildProcess(const std::vector<std::string>& argv, const Environment& env,
               bool socket = false);
  ~ChildProcess();  // kills the group
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of standard output holding text, or nothing when the
  // output ends or timeoutSeconds pass first.
  std::optional<std::string> waitForLine(const std::string& text,
                                         double timeoutSeconds = 30);
  void write(const std::string& bytes);
  void closeInput();
  // The exit status, 128 + n after signal n, -1 after the timeout (the
  // group is then killed); both outputs read to their end.
  int wait(double timeoutSeconds = 30);

  const bool events;  // quorvel's: its lines go to the schema check
  pid_t pid;
  int in, out, errFd;
  std::vector<std::string> lines;  // standard output so far
  std::vector<double> arrivals;    // when each line came, on a monotonic
                                   // clock, in seconds
  std::string err;                 // standard error so far

 private:
  bool pump(double timeoutSeconds);  // false once both outputs ended

  std::string partialOut;
  size_t scanned = 0;
  std::optional<int> status;
};

// A throw-away folder holding a privacy store that grants both permissions,
// and env, in which quorvel listens to a recording in en-US with the
// project's models and no sound server.
struct Sandbox {
  explicit Sandbox(const std::string& recording = dashwood);
  ~Sandbox();
  // Runs quorvel as a script of steps (see script.h; "{dir}" stands for
  // the folder). Beside the common ones:
  //   store TEXT     the privacy store holds TEXT
  //   env NAME=TEXT  for the launches to come
  //   fifo NAME      made in the folder
  //   launch ARGS    starts quorvel ARGS, through one non-blocking socket
  //                  when the first is "socket"
  //   wait TEXT      a line holding TEXT comes within 30 s ("heard": the
  //                  next "final" does)
  //   send TEXT, close, closeout, sleep S, signal N: what a parent does
  //   exit N [S]     it exits with status N within S seconds (30; S is
  //                  tripled in the sanitizer builds)
  //   last TEXT      the last line ends with TEXT, where '*' stands for
  //                  any text ("before": the line before it holds TEXT;
  //                  "err": standard error holds TEXT, no '*')
  //   run ARGS       another program, which exits 0
  void run(const Steps& steps);

  std::string dir;
  Environment env;
  std::unique_ptr<ChildProcess> quorvel;  // the last one launched
};

// Its own socket, home and runtime folders, and the modules given as
// server.pa lines ("load-module module-null-sink sink_name=speech").
struct PulseDaemon {
  explicit PulseDaemon(const std::string& modules);
  ~PulseDaemon();
  bool start();  // true once it takes connections, within ten seconds
  // PULSE_SERVER and PULSE_COOKIE for its clients.
  Environment clientEnv() const;

  std::string dir;  // holds daemon.log
  std::unique_ptr<ChildProcess> daemon;
};

}  // namespace quorvel

#endif  // QUORVEL_TESTS_SUPPORT_PROCESS_H_
