// The engine quorvel would recognise en-US with (QUORVEL_MODEL_DIR, else
// its default roots), on its own: it decodes a whole recording as one
// stream, with no segments and nothing of quorvel's around it, and prints
// the text. The bench's measure of what quorvel could at best deliver.
//   build/quorvel_engine_alone RECORDING
#include <sndfile.h>

#include <cstdio>
#include <vector>

#include "platform/linux/speech/conditioning/mono_resampler.h"
#include "platform/linux/speech/model_directory.h"
#include "platform/linux/speech/pocketsphinx/sphinx_engine.h"
#include "platform/linux/speech/sherpa/sherpa_engine.h"

int main(int argc, char** argv) {
  using namespace quorvel;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s RECORDING\n", argv[0]);
    return 2;
  }
  SF_INFO info{};
  SNDFILE* file = sf_open(argv[1], SFM_READ, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(nullptr));
    return 1;
  }
  std::vector<float> interleaved(info.frames * info.channels);
  sf_readf_float(file, interleaved.data(), info.frames);
  sf_close(file);
  AudioChunk recording;
  recording.sampleRate = info.samplerate;
  recording.channels = info.channels;
  recording.frames = info.frames;
  recording.samples.resize(interleaved.size());
  for (sf_count_t i = 0; i < info.frames; ++i) {
    for (int c = 0; c < info.channels; ++c) {
      recording.samples[c * info.frames + i] =
          interleaved[i * info.channels + c];
    }
  }

  Engine* const engines[] = {&sherpaOnnxEngine(), &pocketSphinxEngine()};
  const ModelDirectory models(ModelDirectory::defaultRoots());
  for (const ModelChoice& choice : models.find("en-US", engines)) {
    std::string failure;
    std::unique_ptr<Decoder> decoder =
        choice.engine->load(choice.folder, failure);
    if (!decoder) {
      std::fprintf(stderr, "%s in %s: %s\n", choice.engine->name(),
                   choice.folder.c_str(), failure.c_str());
      continue;
    }
    MonoResampler resampler(decoder->sampleRate());
    std::vector<float> samples;
    if (!resampler.convert(recording, samples).empty() ||
        !resampler.flush(samples).empty() || !decoder->beginUtterance() ||
        !decoder->feed(samples)) {
      std::fprintf(stderr, "%s cannot decode %s\n", choice.engine->name(),
                   argv[1]);
      return 1;
    }
    std::printf("%s\n", decoder->endUtterance().value_or("").c_str());
    std::fprintf(stderr, "%s in %s\n", choice.engine->name(),
                 choice.folder.c_str());
    return 0;
  }
  std::fprintf(stderr, "no model for en-US\n");
  return 1;
}
