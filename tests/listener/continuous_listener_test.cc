#include "listener/continuous_listener.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <thread>

#include "tests/fakes/script.h"

namespace quorvel {
namespace {

// "kAFAssistantErrorDomain", whose four routine codes are dropped.
const std::string af = std::string(routineEndDomain);

class ContinuousListenerTest : public ::testing::Test {
 protected:
  // A new listener, not started, on the same fakes (virtual time goes on).
  void run(const Steps& steps) {
    listener = ContinuousListener::create(fake.queue, fake.speech, fake,
                                          fake.makeEngine(), locale);
    runScript(steps, fake.queue, output, verbs);
  }
  FakeTask& task() { return fake.speech.lastTask(); }
  FakeAudioEngine& engine() { return fake.engine(); }
  // "DOMAIN CODE DESCRIPTION", "af" for the routine domain.
  RecognitionError error(const std::string& text) {
    std::istringstream in(text);
    RecognitionError error;
    in >> error.domain >> error.code >> std::ws;
    std::getline(in, error.description);
    if (error.domain == "af") error.domain = af;
    return error;
  }

  FakePlatform fake;
  CapturedOutput output;
  std::string locale = "en-US";
  std::shared_ptr<ContinuousListener> listener;
  const Verbs verbs = {
      {"start", [this](auto) { listener->start(); }},
      {"partial", [this](auto& text) { task().send(text, false); }},
      {"final", [this](auto& text) { task().send(text, true); }},
      {"error", [this](auto& text) { task().send({}, false, error(text)); }},
      // "TEXT|ERROR": a partial result and an error in one call.
      {"both",
       [this](auto& text) {
         const size_t bar = text.find('|');
         task().send(text.substr(0, bar), false, error(text.substr(bar + 1)));
       }},
      {"pause", [this](auto) { listener->pauseListening(); }},
      {"resume", [this](auto) { listener->resumeListening(); }},
      {"stop", [this](auto& how) { listener->stop(how == "exit"); }},
      // The samples of one buffer, on the capture thread's behalf.
      {"buffer",
       [this](auto& text) {
         std::istringstream in(text);
         std::vector<float> samples;
         for (std::string word; in >> word;) samples.push_back(std::stof(word));
         engine().deliver(samples);
       }},
      {"nofloats",
       [this](auto& frames) { engine().deliver({}, 1, std::stoul(frames)); }},
      {"lose", [this](auto& reason) { engine().fail(reason); }},
      // A capture failure reported after a new start overtook it.
      {"stale", [this](auto& reason) { engine().failureHandler(reason); }},
      {"refuse", [this](auto& reason) { engine().startError = reason; }},
      {"clock", [this](auto& step) { fake.clockStep = std::stod(step); }},
      {"mic",
       [this](auto& state) {
         EXPECT_EQ(engine().isRunning() && engine().hasTap(), state == "on");
       }},
      {"cancelled", [this](auto) { EXPECT_TRUE(task().cancelled); }},
      {"ended", [this](auto) { EXPECT_TRUE(task().request->ended); }},
      {"appended",
       [this](auto& count) {
         EXPECT_EQ(task().request->appendedBuffers, std::stoi(count));
       }},
  };
};

const std::string dash =
    "recognition error with partial \xE2\x80\x94 finalize: ";

TEST_F(ContinuousListenerTest, SegmentsEndOnSilenceMaxSegmentFinalOrError) {
  // 12 s after the segment began, with text or without; when the silence
  // timer falls due at the same moment, one final all the same.
  run({"start; > listening; at 10.9; partial both; > partial|both; at 12",
       "> final|both|max-segment; at 12.35; 2> restart after max-segment",
       "> listening; at 24.34; mic on; at 24.35; mic off; at 24.7",
       "2> restart after max-segment-empty; > listening"});
  // 1.1 s after the text last changed; the restart 0.35 s later.
  run({"start; > listening; partial a; > partial|a; at 0.8; partial a b",
       "> partial|a b; at 1.5; partial a b; at 1.89; at 1.9",
       "> final|a b|silence; cancelled; mic off; at 2.24; at 2.25",
       "2> restart after silence; > listening; mic on"});
  Steps changing = {"start; > listening"};
  for (int second = 0; second < 12; ++second) {
    const std::string text(second + 1, 'w');
    changing.push_back("at " + std::to_string(second) + "; partial " + text +
                       "; > partial|" + text);
  }
  changing.push_back("at 11.99; at 12; > final|wwwwwwwwwwww|max-segment");
  run(changing);
  // A final result, trimmed; the next segment's first partial is reported
  // even when it repeats that final.
  run({"start; > listening; final  turn left ; > final|turn left|isFinal",
       "at 0.35; 2> restart after isFinal; > listening; partial turn",
       "> partial|turn; final turn right; > final|turn right|isFinal; at 0.7",
       "2> restart after isFinal; > listening; partial turn right",
       "> partial|turn right"});
  // Four codes of one domain end a segment silently; other errors do not.
  run({"start; > listening; error af 216; error af 203; error af 209",
       "error af 1110; at 1; error Other 1110 It broke; > error|It broke",
       "at 1.35; 2> restart after error; > listening; partial turn left",
       "> partial|turn left; error af 1700 Audio broke",
       "2> " + dash + "Audio broke; > final|turn left|error-with-partial",
       "at 1.7; 2> restart after error-with-partial; > listening",
       "both go|X 1 bad; > partial|go; 2> " + dash + "bad",
       "> final|go|error-with-partial"});
}

TEST_F(ContinuousListenerTest, PartialsAreTrimmedAndReportedOnChangeOnly) {
  run({"start; > listening; partial  hello; > partial|hello; at 0.5",
       "partial hello; at 1; partial hello \n; partial caf\xC3\xA9",
       "> partial|caf\xC3\xA9; partial cafe\xCC\x81; at 2.09; at 2.1",
       "> final|caf\xC3\xA9|silence",
       // Calls the restart will overtake: only a new partial counts.
       "final two; error X 1 late; partial three; > partial|three; at 5",
       "2> restart after silence; > listening",
       // Empty texts change nothing, and leave nothing to flush.
       "partial  \n\t\xE3\x80\x80; final ; at 14.3; stop; > stopped"});
}

// The microphone going away ends the segment as a recognition error does,
// and the restart tries capture again every 0.25 s for 5 s.
TEST_F(ContinuousListenerTest, LostCaptureEndsSegmentAndRestartWaitsForIt) {
  run({"start; > listening; partial turn left; > partial|turn left",
       "lose Connection terminated; run",
       "2> " + dash + "Audio capture ended: Connection terminated",
       "> final|turn left|error-with-partial; refuse Connection refused",
       "at 0.35; 2> restart after error-with-partial; at 2; refuse; at 2.1",
       "> listening; lose Connection terminated; run",
       "> error|Audio capture ended: Connection terminated; at 2.45",
       "2> restart after error; > listening; stale late; run; at 5",
       // A pause or a stop while waiting acts at once.
       "lose Connection terminated; refuse Connection refused; run",
       "> error|Audio capture ended: Connection terminated; at 6",
       "2> restart after error; pause; > paused; at 12; refuse; resume",
       "2> resume after pause; > listening; lose gone; refuse no; run",
       "> error|Audio capture ended: gone; at 13; 2> restart after error",
       "stop exit; > stopped; run; exit 0"});
}

TEST_F(ContinuousListenerTest, PauseDropsTheSegmentUntilResume) {
  run({"start; > listening; resume; partial dropped; > partial|dropped",
       "pause; > paused; mic off; pause; partial x; error X 1; at 30; resume",
       "2> resume after pause; > listening; stop; > stopped; final y; at 50"});
  // A pause cancels the pending restart.
  run({"start; > listening; final a; > final|a|isFinal; pause; > paused",
       "at 1; resume; 2> resume after pause; > listening"});
  // Audio recorded between two segments reaches the next one first; none
  // recorded before a resume does, though it come at once, in the restart
  // gap or not.
  run({"start; > listening; final a; > final|a|isFinal; buffer 0; at 0.35",
       "2> restart after isFinal; > listening; buffer 0; > level|0; appended 2",
       "final b; > final|b|isFinal; buffer 0; pause; > paused; resume",
       "2> resume after pause; > listening; buffer 0; appended 1; pause",
       "> paused; buffer 0; resume; 2> resume after pause; > listening",
       "buffer 0; appended 1"});
}

TEST_F(ContinuousListenerTest, StopWithNothingHeardExitsOnALaterTurn) {
  run({"start; > listening; stop exit; > stopped; exit -; run; exit 0"});
}

TEST_F(ContinuousListenerTest, StopWaitsUpToOnePointSixSecondsForLastWords) {
  run({"start; > listening; partial  hello ; > partial|hello; at 1; stop exit",
       "mic off; ended; partial hello there; stop exit; at 2.59; at 2.6",
       "> final|hello there|stop; > stopped; exit 0"});
}

TEST_F(ContinuousListenerTest, StopEndsEarlyOnAFinalOrAnError) {
  run({"start; > listening; partial hel; > partial|hel; stop; at 0.5",
       "final hello; run; > final|hello|stop; > stopped"});
  run({"start; > listening; partial hey; > partial|hey; stop; error af 1110",
       "final ; run; error X 5; run; > final|hey|stop; > stopped"});
  // A pause during the flush drops the text; the stop still completes.
  run({"start; > listening; partial held; > partial|held; stop; pause",
       "> paused; cancelled; resume; 2> resume after pause; at 1.59; at 1.6",
       "> stopped"});
  // A stop in the restart gap does not repeat what the final carried.
  run({"start; > listening; partial turn; > partial|turn; at 1.1",
       "> final|turn|silence; partial turn left; > partial|turn left; stop",
       "> stopped"});
  // Once stopped, a stop only exits; the pending restart never comes.
  run({"start; > listening; final a; > final|a|isFinal; stop; > stopped",
       "stop; start; pause; at 1; exit -; stop exit; run; exit 0"});
}

// Levels are four times the float peak of channel 0, at most one every
// 0.08 s of wall-clock time, across restarts; a loud one means speech.
TEST_F(ContinuousListenerTest, LevelsAreSpacedScaledAndMarkSpeech) {
  run({"start; > listening; buffer 0.125 -0.1875 0.0625; > level|0.75",
       "at 0.05; buffer 0.9; at 0.09; nofloats 512; at 0.13; buffer 0.9 0.9",
       "at 0.18; buffer nan 0.015625; > level|0.0625; final x",
       "> final|x|isFinal; at 0.53; 2> restart after isFinal; > listening",
       "buffer 0; > level|0; at 0.56; buffer 0; at 0.62; buffer; at 0.66",
       "buffer 0; at 0.71; buffer 0; > level|0; appended 5",
       // A step back of the clock holds levels back.
       "clock -5; at 1.71; buffer 0.125; at 5.78; buffer 0.125; at 5.8",
       "buffer 0.125; > level|0.5"});
  // Just under 0.12 is not speech: nothing to wait for at the stop.
  run({"start; > listening; buffer 0.03; > level|0.11999999731779099; stop",
       "> stopped"});
  run({"start; > listening; buffer -0.5; > level|1; stop; at 1.59; at 1.6",
       "> stopped"});
}

TEST_F(ContinuousListenerTest, MissingLocaleFallsBackToDefaultRecognizer) {
  fake.speech.defaultLocale.emplace();
  locale = "xx-YY";
  run({"start; > listening"});
  EXPECT_TRUE(task().request->partials);
  EXPECT_EQ(engine().requestedBufferSize, 1024u);
}

TEST_F(ContinuousListenerTest, StartFailuresEndTheProcess) {
  fake.speech.locales.clear();
  run({"die 3: start; > fatal|No SFSpeechRecognizer for locale en-US"});
  fake.speech.locales = {{"en-US", {/*available=*/false}}};
  run({"die 3: start",
       "> fatal|SFSpeechRecognizer unavailable (dictation\\/Siri disabled?)"});
  fake.speech.locales = {{"en-US", {}}};
  fake.engineFormat = {0, 2};
  run({"die 4: start",
       "> fatal|Invalid mic format (sampleRate=0.0, channels=2)"});
  fake.engineFormat = {NAN, 1};
  run({"die 4: start",
       "> fatal|Invalid mic format (sampleRate=nan, channels=1)"});
  // After a restart the engine is tried 20 times, 0.25 s apart.
  fake.engineFormat = {48000, 1};
  run({"start; > listening; final done; > final|done|isFinal",
       "refuse Connection refused; at 5.34; 2> restart after isFinal",
       "die 4: at 5.35; > fatal|AVAudioEngine start failed: Connection "
       "refused"});
}

// The capture thread taps while the main queue restarts, pauses, resumes
// and stops the listener; ThreadSanitizer checks what they share.
TEST_F(ContinuousListenerTest, TapRacesWithMainQueueWithoutDataRaces) {
  run({"start; > listening"});
  std::atomic<bool> done{false};
  std::thread capture([&] {
    while (!done) engine().deliver(std::vector<float>(256, 0.2f), 2);
  });
  for (int round = 0; round < 200; ++round) {
    task().send("round " + std::to_string(round), false);
    task().send("round done", true);
    fake.queue.advance(0.35);
    listener->pauseListening();
    listener->resumeListening();
  }
  listener->stop(/*thenExit=*/true);
  fake.queue.advance(2);
  done = true;
  capture.join();
  EXPECT_EQ(fake.queue.exitStatus(), 0);
  EXPECT_EQ(output.take().back(), record("stopped"));
}

}  // namespace
}  // namespace quorvel
