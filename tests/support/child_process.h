// Runs a real program for a process-level test: its standard input, output
// and error are pipes the test reads and writes; every wait has a hard
// timeout, and a child still running at the end is killed. What the helper
// writes to standard output is also checked against the event schema.
#ifndef QUORVEL_TESTS_SUPPORT_CHILD_PROCESS_H_
#define QUORVEL_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class ChildProcess {
 public:
  enum class Stdio {
    Pipes,  // a pipe each for standard input, output and error
    // One socket as both standard input and output, its file description
    // non-blocking, as some parents hand it over; standard error a pipe.
    NonBlockingSocket,
  };
  // Starts argv[0] with the test's environment plus env (an empty value
  // removes the variable).
  ChildProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env,
               Stdio stdio = Stdio::Pipes);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads standard output until a line contains text; returns that line,
  // or nothing when the output ends or timeoutSeconds pass first.
  std::optional<std::string> waitForLine(const std::string& text,
                                         double timeoutSeconds);
  void write(const std::string& bytes);
  void closeInput();
  // Closes our end of its standard output, as a parent that goes away.
  void closeOutput();
  // Shrinks the standard-output pipe (for tests of a slow reader).
  void setOutputPipeSize(int bytes);
  void signal(int signo);
  // Waits for the exit, reading what is left of both outputs. The exit
  // status, 128 + n for death by signal n, or -1 after the timeout (the
  // child is then killed).
  int wait(double timeoutSeconds);

  std::vector<std::string> lines;  // standard output, so far
  std::string err;                 // standard error, so far

 private:
  // Reads what is available within timeoutSeconds; false once both
  // outputs have ended.
  bool pump(double timeoutSeconds);

  // The helper's standard output: its lines go to the event schema check.
  const bool eventStream;
  pid_t pid = -1;
  int in = -1, out = -1, errFd = -1;
  std::string partialOut;
  size_t scanned = 0;
  std::optional<int> status;
};

// Runs a command to its end and returns its exit status (timeout: -1).
int runCommand(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env,
               double timeoutSeconds = 30);

}  // namespace quorvel

#endif  // QUORVEL_TESTS_SUPPORT_CHILD_PROCESS_H_
