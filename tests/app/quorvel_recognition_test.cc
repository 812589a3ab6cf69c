// The real quorvel hearing speech: through a private PulseAudio server and
// one that dies, answers never, or comes back; and through the models it
// may or may not use (another sherpa-onnx release, a damaged model, a
// library that crashes).
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/linux/speech/sherpa/sherpa_engine.h"
#include "tests/support/process.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const std::string models = QUORVEL_SOURCE_DIR "/models";
// The LibriVox recordings of pocketsphinx-testdata, but for the number.
const std::string librivox =
    "/usr/share/pocketsphinx/test/data/librivox/"
    "sense_and_sensibility_01_austen_64kb-0";
const std::string sphinx = "/usr/share/pocketsphinx/model";
const std::string play =
    "run /usr/bin/pacat --playback --device=speech --file-format=wav ";

// quorvel records the default source, the monitor of a 32 kHz stereo sink
// that pacat plays speech into; it keeps one connection across segments,
// and lets go of the source at a pause.
// A missing source, or a server that takes the connection and never
// answers, ends the start (each wait on the server is bounded). When the
// server dies mid-phrase, the phrase is final at once; when it comes back
// within the reconnection window, listening goes on; when it does not,
// exit 4.
TEST(QuorvelCaptureTest, RecordsPulseAudioAndOutlivesTheServer) {
  PulseDaemon pulse(
      "load-module module-null-sink sink_name=speech rate=32000 channels=2\n"
      "set-default-source speech.monitor\n");
  ASSERT_TRUE(pulse.start()) << "see " << pulse.dir;
  Sandbox box;
  for (const auto& [name, value] : pulse.clientEnv()) box.env[name] = value;
  const auto clients = [&] {
    ChildProcess pactl({"/usr/bin/pactl", "list", "short", "clients"}, box.env);
    pactl.wait(10);
    std::string quorvels;
    for (const auto& line : pactl.lines) {
      if (line.ends_with("quorvel"))
        quorvels += line.substr(0, line.find('\t')) + " ";
    }
    return quorvels;
  };
  box.run({"env QUORVEL_AUDIO_INPUT=; env PULSE_SOURCE=no-such-source; launch",
           "exit 4; last start failed: No such entity\",\"fatal\":true}",
           "env PULSE_SOURCE=; launch; wait \"listening\"; " + play + youngMan,
           "heard young man; wait \"listening\""});
  const std::string first = clients();
  box.run({play + youngMan + "; heard young man; wait \"listening\""});
  EXPECT_EQ(clients(), first);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.size(), first.find(' ') + 1) << first;
  // A pause lets go of the source at once, without the hold of a restart.
  box.run({"send pause\n; wait \"paused\""});
  const auto paused = std::chrono::steady_clock::now();
  for (;;) {
    ChildProcess pactl({"/usr/bin/pactl", "list", "short", "source-outputs"},
                       box.env);
    pactl.wait(10);
    if (pactl.lines.empty()) break;
    ASSERT_LT(std::chrono::steady_clock::now() - paused,
              std::chrono::seconds(5));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - paused,
            std::chrono::milliseconds(500));
  box.run({"send resume\n; wait \"listening\""});

  ChildProcess player({"/usr/bin/pacat", "--playback", "--device=speech",
                       "--file-format=wav", dashwood},
                      box.env);
  box.run({"wait \"partial\""});
  pulse.daemon.reset();
  const auto killed = std::chrono::steady_clock::now();
  box.run({"wait \"reason\":\"error-with-partial\"}"});
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
  ASSERT_TRUE(pulse.start()) << "see " << pulse.dir;
  box.run({"wait \"listening\"; " + play + youngMan,
           // Words show that recognition goes on (how well they are heard
           // suffers under load).
           "wait \"partial\"; wait \"listening\""});
  pulse.daemon.reset();
  box.run(
      {"exit 4 15",
       R"(before {"type":"error","message":"Audio capture ended: Connection terminated","fatal":false})",
       "last start failed: Connection refused\",\"fatal\":true}",
       "err quorvel: recognition error with partial \u2014 finalize: "
       "Audio capture ended: Connection terminated\n"});

  const int silent = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{AF_UNIX, {}};
  (box.dir + "/silent").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(silent, (sockaddr*)&address, sizeof address), 0);
  ASSERT_EQ(listen(silent, 8), 0);
  box.run(
      {"env PULSE_SERVER=unix:{dir}/silent; launch; wait \"ready\"; exit 4 4",
       "last start failed: Timeout\",\"fatal\":true}"});
  close(silent);
}

// Only sherpa-onnx 1.13.8 is used: with the transducer alone, another
// runtime leaves no recogniser; with PocketSphinx after it, that is taken.
TEST(QuorvelRecognitionTest, OnlyTheOneSherpaReleaseIsUsed) {
  Sandbox box(youngMan);
  fs::create_directories(box.dir + "/none");
  fs::create_directories(box.dir + "/junk");
  std::ofstream(box.dir + "/junk/libsherpa-onnx-c-api.so") << "x";
  const std::pair<std::string, std::string> runtimes[] = {
      {"", ""},  // the build tree's
      {box.dir + "/none", "no libsherpa-onnx-c-api.so in " + box.dir},
      {box.dir + "/junk", "libsherpa-onnx-c-api.so does not load: "},
      {QUORVEL_FAKE_SHERPA_DIR, "is release \"1.12.0\", not 1.13.8"}};
  for (const auto& [runtime, diagnostic] : runtimes) {
    for (const std::string& roots : {models, models + ":" + sphinx}) {
      box.run({"env QUORVEL_SHERPA_DIR=" + runtime,
               "env QUORVEL_MODEL_DIR=" + roots + "; launch --check",
               diagnostic.empty() || roots != models
                   ? "exit 0; last \"recognizerAvailable\":true}"
                   : "exit 2; last \"recognizerAvailable\":false}",
               "err " + diagnostic});
      EXPECT_EQ(box.quorvel->err.find("quorvel: sherpa-onnx is not used: ") ==
                    std::string::npos,
                diagnostic.empty());
    }
  }
  // Listening falls back to PocketSphinx in the default roots, whose own
  // log never reaches standard error; without sherpa-onnx there is no
  // voice-activity model either, and all audio is decoded, as said once.
  box.run({"env QUORVEL_MODEL_DIR=; launch; heard ; close; exit 0",
           "err quorvel: recognising with the PocketSphinx model in " + sphinx +
               "/en-us\n"});
  std::istringstream err(box.quorvel->err);
  size_t ungated = 0;
  for (std::string line; std::getline(err, line);) {
    EXPECT_TRUE(line.starts_with("quorvel: ")) << line;
    ungated += line ==
               "quorvel: voice activity is not detected: it runs on "
               "sherpa-onnx, which is not used; all audio is decoded";
  }
  EXPECT_EQ(ungated, 1u) << box.quorvel->err;
}

const std::string unavailable =
    R"x(last {"type":"error","message":"SFSpeechRecognizer unavailable (dictation\/Siri disabled?)","fatal":true})x";

// A model whose library fails on it ends the helper with status 3, even
// when another model could be used: after a failure inside a library, no
// part of the process can be trusted to finish.
TEST(QuorvelRecognitionTest, DamagedModelsEndWithExitThree) {
  Sandbox box(youngMan);
  // A copy of the project's transducer with its encoder cut short, and of
  // Debian's English PocketSphinx model with a damaged definition.
  const std::string truncated = box.dir + "/truncated";
  fs::create_directories(truncated);
  fs::copy(models + "/en-us", truncated + "/en-us");
  fs::resize_file(truncated + "/en-us/encoder.int8.onnx", 100000);
  fs::create_directories(box.dir + "/sphinx/en-us/am");
  std::ofstream(box.dir + "/sphinx/en-us/am/mdef") << "garbage";
  for (const char* file : {"cmudict-en-us.dict", "en-us.lm.bin"})
    fs::copy(sphinx + "/en-us/" + file, box.dir + "/sphinx/en-us/" + file);
  const std::string truncatedFailed =
      "err quorvel: the sherpa-onnx model in " + truncated +
      "/en-us failed: the library ended on an uncaught exception: Load model "
      "from " +
      truncated + "/en-us/encoder.int8.onnx failed:Protobuf parsing failed.\n";
  box.run(
      {"env QUORVEL_MODEL_DIR=" + truncated + "; launch; exit 3",
       truncatedFailed, unavailable,
       // PocketSphinx exits the process on a damaged model definition.
       "env QUORVEL_MODEL_DIR={dir}/sphinx; launch; exit 3",
       "err quorvel: the PocketSphinx model in {dir}/sphinx/en-us failed: "
       "PocketSphinx: ",
       unavailable,
       "env QUORVEL_MODEL_DIR=" + truncated + ":" + sphinx + "; launch; exit 3",
       truncatedFailed, unavailable});
}

// A library that crashes while it holds standard error's lock (at its
// first decode, right after "listening") ends the helper within a second
// all the same.
TEST(QuorvelRecognitionTest, CrashHoldingALockEndsWithExitThreeAtOnce) {
  Sandbox box;
  box.run({"env QUORVEL_SHERPA_DIR=" QUORVEL_FAKE_SHERPA_DIR,
           "env FAKE_SHERPA_RELEASE=1.13.8; env QUORVEL_MODEL_DIR=" + models,
           "launch; wait \"listening\"; exit 3 1",
           "err quorvel: the sherpa-onnx model in " + models +
               "/en-us failed: the library crashed (SIGSEGV)\n",
           unavailable});
}

// A phrase file replaced while listening is read when the next segment
// starts, and biases what that segment hears: "amiable", which the model
// hears as "amy a bull" on its own, comes out spelt as listed.
TEST(QuorvelRecognitionTest, ReplacedPhraseFileTakesEffectAtTheNextSegment) {
  Sandbox box;
  const std::string amiable = librivox + "930.wav";
  std::ofstream(box.dir + "/phrases") << "kubernetes\n";
  box.run({"run /usr/bin/sox -n -r 16000 -c 1 {dir}/gap.wav trim 0 3",
           "run /usr/bin/sox " + amiable + " {dir}/gap.wav " + amiable +
               " {dir}/twice.wav pad 0 2",
           "env QUORVEL_AUDIO_INPUT={dir}/twice.wav",
           "launch --phrases {dir}/phrases; heard made amy a bull himself"});
  std::ofstream(box.dir + "/new") << "Amiable\n";
  fs::rename(box.dir + "/new", box.dir + "/phrases");
  box.run({"heard made Amiable himself; send stop\n; exit 0",
           "err quorvel: restart after silence\nquorvel: read 1 phrase from "
           "{dir}/phrases\n"});
}

// Samples of 16 kHz mono recordings, and seconds of silence, end to end.
std::vector<float> joined(const std::vector<std::string>& parts) {
  std::vector<float> samples;
  for (const std::string& part : parts) {
    SF_INFO info{};
    SNDFILE* file = sf_open(part.c_str(), SFM_READ, &info);
    const size_t at = samples.size();
    samples.resize(at + (file ? info.frames : std::stod(part) * 16000));
    if (file) sf_readf_float(file, samples.data() + at, info.frames);
    sf_close(file);
  }
  return samples;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), {}};
}

// Writes samples, times scale, as a 16 kHz mono float recording.
void write(const std::string& path, std::vector<float> samples,
           float scale = 1) {
  for (float& sample : samples) sample *= scale;
  SF_INFO info{0, 16000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  sf_writef_float(file, samples.data(), samples.size());
  sf_close(file);
}

// The word-level edit distance between a and b.
size_t editDistance(const std::vector<std::string>& a,
                    const std::vector<std::string>& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j < row.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min(
          {row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row.back();
}

// The words the engine alone hears in samples, as one stream.
std::vector<std::string> heardAlone(const std::vector<float>& samples) {
  // Kept for the process's life, as quorvel keeps its models.
  std::string failure;
  static Decoder* const engine =
      sherpaOnnxEngine().load(models + "/en-us", failure).release();
  EXPECT_TRUE(engine) << failure;
  if (!engine) return {};
  engine->beginUtterance();
  engine->feed(samples);
  return words(engine->endUtterance().value_or(""));
}

// The words of the "final" records from line `from` on.
std::vector<std::string> finalsFrom(const ChildProcess& quorvel, size_t from) {
  std::string finals;
  for (size_t i = from; i < quorvel.lines.size(); ++i) {
    const auto event = nlohmann::json::parse(quorvel.lines[i]);
    if (event["type"] == "final")
      finals += " " + event["text"].get<std::string>();
  }
  return words(finals);
}

// Plays path, whose speech ends speechEnd seconds in, until the "final"
// of its last words, then stops.
void playToTheLastFinal(Sandbox& box, const std::string& path,
                        double speechEnd) {
  box.run(
      {"env QUORVEL_AUDIO_INPUT=" + path + "; launch", "wait \"listening\""});
  // When the first (or the latest) line holding text came.
  const auto arrival = [&](const std::string& text, bool latest) {
    const std::vector<std::string>& lines = box.quorvel->lines;
    for (size_t k = 0; k < lines.size(); ++k) {
      const size_t i = latest ? lines.size() - 1 - k : k;
      if (lines[i].find(text) != std::string::npos)
        return box.quorvel->arrivals[i];
    }
    return 0.0;
  };
  const double start = arrival("\"listening\"", false);
  while (box.quorvel->waitForLine("\"final\"")) {
    if (arrival("\"final\"", true) - start >= speechEnd) {
      return box.run({"send stop\n; exit 0"});
    }
  }
  ADD_FAILURE() << "no final after the speech";
}

// The words of every "final" of a run that ends with "stop" after the
// last one, of speech that ends 1.5 s before the recording.
std::vector<std::string> finalWords(Sandbox& box, const std::string& path,
                                    double seconds) {
  playToTheLastFinal(box, path, seconds - 1.5);
  return finalsFrom(*box.quorvel, 0);
}

// Speech after 10 s in which nobody spoke, when the decoder heard nothing,
// comes out from its first word; and speech 26 dB quieter (a user far from
// the microphone) comes out as the same words but one.
TEST(QuorvelRecognitionTest, QuietSpeechAfterSilenceIsHeardAsLoud) {
  Sandbox box;
  const std::vector<float> samples =
      joined({"10", youngMan, "0.9", dashwood, "1.5"});
  write(box.dir + "/loud.wav", samples);
  write(box.dir + "/quiet.wav", samples, 0.05f);
  const double seconds = samples.size() / 16000.0;
  const auto loud = finalWords(box, box.dir + "/loud.wav", seconds);
  const auto quiet = finalWords(box, box.dir + "/quiet.wav", seconds);
  ASSERT_FALSE(loud.empty());
  EXPECT_EQ(loud.front(), "he") << testing::PrintToString(loud);
  EXPECT_LE(editDistance(loud, quiet), 1u)
      << testing::PrintToString(loud) << "\n"
      << testing::PrintToString(quiet);
}

// Dictation with pauses of 0.9 s, which end a segment while the next
// sentence is already being spoken, and a 13 s sentence, which the 12 s
// limit cuts. The finals hold every word the engine hears in the recording
// as one stream, once and in order (a word the 12 s cut splits may come
// out clipped), and keep their timing.
TEST(QuorvelRecognitionTest, DictationLosesNoWordAtCuts) {
  Sandbox box;
  const std::vector<float> samples =
      joined({youngMan, "0.9", librivox + "890.wav", "0.9", dashwood,
              librivox + "920.wav", "1.5"});
  write(box.dir + "/dictation.wav", samples);
  const auto heard = heardAlone(samples);

  // Read as it comes, for the times of the lines.
  playToTheLastFinal(box, box.dir + "/dictation.wav",
                     samples.size() / 16000.0 - 1.5);
  std::string finals;
  size_t cuts = 0;
  double listening = 0, lastPartial = 0, lastFinal = -1e9;
  for (size_t i = 0; i < box.quorvel->lines.size(); ++i) {
    const auto event = nlohmann::json::parse(box.quorvel->lines[i]);
    const double at = box.quorvel->arrivals[i];
    if (event["type"] == "listening") {
      EXPECT_GE(at - lastFinal, 0.3) << i;  // the restart's delay
      listening = at;
    } else if (event["type"] == "partial") {
      lastPartial = at;
    } else if (event["type"] == "final") {
      EXPECT_GE(at - lastPartial, event["reason"] == "silence" ? 1.05 : 0);
      if (event["reason"] == "max-segment") {
        ++cuts;
        EXPECT_NEAR(at - listening, 12.5, 0.55) << i;
      }
      finals += " " + event["text"].get<std::string>();
      lastFinal = at;
    }
  }
  const auto said = words(finals);
  EXPECT_GE(cuts, 1u);
  ASSERT_EQ(said.size(), heard.size()) << testing::PrintToString(said);
  size_t clipped = 0;
  for (size_t i = 0; i < said.size(); ++i) clipped += said[i] != heard[i];
  EXPECT_LE(clipped, cuts) << testing::PrintToString(said);
}

// "pause" 3 s into speech and "resume" 0.4 s or 2 s later: the words
// after the resume are what the engine alone hears in the recording from
// the resume on (give or take the word cut there), and none said before
// the pause comes back, however soon the resume follows.
TEST(QuorvelRecognitionTest, ResumeHearsOnlyWhatIsSaidAfterIt) {
  const std::vector<float> samples =
      joined({librivox + "920.wav", "0.9", librivox + "930.wav", "1.5"});
  for (const std::string gap : {"0.4", "2"}) {
    if (testing::Test::HasFailure()) return;  // scripts stop at a failure
    Sandbox box;
    write(box.dir + "/talk.wav", samples);
    box.run({"env QUORVEL_AUDIO_INPUT={dir}/talk.wav; launch",
             "wait \"listening\"; sleep 3; send pause\n; wait \"paused\"",
             "sleep " + gap + "; send resume\n; wait \"listening\"; sleep 7",
             "send stop\n; exit 0"});
    // The recording plays from the first start on: the resume's
    // "listening" comes as the capture picks it up again.
    const auto& lines = box.quorvel->lines;
    const auto lineOf = [&](const std::string& type, size_t from = 0) {
      const std::string line = R"({"type":")" + type + "\"}";
      return std::find(lines.begin() + from, lines.end(), line) - lines.begin();
    };
    const size_t resumedLine = lineOf("listening", lineOf("paused"));
    ASSERT_LT(resumedLine, lines.size());
    const double resumed = box.quorvel->arrivals[resumedLine] -
                           box.quorvel->arrivals[lineOf("listening")];

    const auto said = finalsFrom(*box.quorvel, resumedLine);
    const auto heard = heardAlone(std::vector<float>(
        samples.begin() + static_cast<size_t>(resumed * 16000), samples.end()));
    EXPECT_FALSE(heard.empty());
    EXPECT_LE(editDistance(said, heard), 1u)
        << gap << " s: " << testing::PrintToString(said) << "\n"
        << testing::PrintToString(heard);
  }
}

}  // namespace
}  // namespace quorvel
