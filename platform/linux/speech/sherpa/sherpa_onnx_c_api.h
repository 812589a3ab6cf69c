// The part of sherpa-onnx's C interface (release 1.13.8) that the transducer
// engine uses. The library ships no header: these declarations follow its
// struct layouts field by field, so a library of another release must not
// be used with them (the runtime checks the version string at load). The
// functions are never linked against; they give the types of the pointers
// that the runtime looks up.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_ONNX_C_API_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_ONNX_C_API_H_

#include <cstdint>

extern "C" {

struct SherpaOnnxOnlineRecognizer;
struct SherpaOnnxOnlineStream;

struct SherpaOnnxOnlineTransducerModelConfig {
  const char* encoder;
  const char* decoder;
  const char* joiner;
};

struct SherpaOnnxOnlineParaformerModelConfig {
  const char* encoder;
  const char* decoder;
};

struct SherpaOnnxOnlineZipformer2CtcModelConfig {
  const char* model;
};

struct SherpaOnnxOnlineNemoCtcModelConfig {
  const char* model;
};

struct SherpaOnnxOnlineToneCtcModelConfig {
  const char* model;
};

struct SherpaOnnxOnlineModelConfig {
  SherpaOnnxOnlineTransducerModelConfig transducer;
  SherpaOnnxOnlineParaformerModelConfig paraformer;
  SherpaOnnxOnlineZipformer2CtcModelConfig zipformer2_ctc;
  const char* tokens;
  int32_t num_threads;
  const char* provider;
  int32_t debug;
  const char* model_type;
  const char* modeling_unit;
  const char* bpe_vocab;
  const char* tokens_buf;
  int32_t tokens_buf_size;
  SherpaOnnxOnlineNemoCtcModelConfig nemo_ctc;
  SherpaOnnxOnlineToneCtcModelConfig t_one_ctc;
};

struct SherpaOnnxFeatureConfig {
  int32_t sample_rate;
  int32_t feature_dim;
};

struct SherpaOnnxOnlineCtcFstDecoderConfig {
  const char* graph;
  int32_t max_active;
};

struct SherpaOnnxHomophoneReplacerConfig {
  const char* dict_dir;
  const char* lexicon;
  const char* rule_fsts;
};

struct SherpaOnnxOnlineRecognizerConfig {
  SherpaOnnxFeatureConfig feat_config;
  SherpaOnnxOnlineModelConfig model_config;
  const char* decoding_method;
  int32_t max_active_paths;
  int32_t enable_endpoint;
  float rule1_min_trailing_silence;
  float rule2_min_trailing_silence;
  float rule3_min_utterance_length;
  const char* hotwords_file;
  float hotwords_score;
  SherpaOnnxOnlineCtcFstDecoderConfig ctc_fst_decoder_config;
  const char* rule_fsts;
  const char* rule_fars;
  float blank_penalty;
  const char* hotwords_buf;
  int32_t hotwords_buf_size;
  SherpaOnnxHomophoneReplacerConfig hr;
};

struct SherpaOnnxOnlineRecognizerResult {
  const char* text;
  const char* tokens;
  const char* const* tokens_arr;
  float* timestamps;
  int32_t count;
  const char* json;
};

const char* SherpaOnnxGetVersionStr();
const SherpaOnnxOnlineRecognizer* SherpaOnnxCreateOnlineRecognizer(
    const SherpaOnnxOnlineRecognizerConfig* config);
const SherpaOnnxOnlineStream* SherpaOnnxCreateOnlineStream(
    const SherpaOnnxOnlineRecognizer* recognizer);
// A stream that expects hotwords ("/"-separated phrases, in the case of
// the model's pieces) on top of the recogniser's own; with beam search and
// the model's bpe_vocab only. A phrase with a piece outside the model's
// tokens is left out, with a line of the library's own on stderr.
const SherpaOnnxOnlineStream* SherpaOnnxCreateOnlineStreamWithHotwords(
    const SherpaOnnxOnlineRecognizer* recognizer, const char* hotwords);
void SherpaOnnxDestroyOnlineStream(const SherpaOnnxOnlineStream* stream);
// samples in [-1, 1]; resampled inside when sample_rate is not the model's.
void SherpaOnnxOnlineStreamAcceptWaveform(const SherpaOnnxOnlineStream* stream,
                                          int32_t sample_rate,
                                          const float* samples, int32_t n);
// 1 when a chunk of features is ready to decode.
int32_t SherpaOnnxIsOnlineStreamReady(
    const SherpaOnnxOnlineRecognizer* recognizer,
    const SherpaOnnxOnlineStream* stream);
// Decodes one ready chunk.
void SherpaOnnxDecodeOnlineStream(const SherpaOnnxOnlineRecognizer* recognizer,
                                  const SherpaOnnxOnlineStream* stream);
// The text so far; freed with SherpaOnnxDestroyOnlineRecognizerResult.
const SherpaOnnxOnlineRecognizerResult* SherpaOnnxGetOnlineStreamResult(
    const SherpaOnnxOnlineRecognizer* recognizer,
    const SherpaOnnxOnlineStream* stream);
void SherpaOnnxDestroyOnlineRecognizerResult(
    const SherpaOnnxOnlineRecognizerResult* result);
// No more audio: pads the tail so that the last words decode.
void SherpaOnnxOnlineStreamInputFinished(const SherpaOnnxOnlineStream* stream);
// Starts a new result on the same stream: the audio and the encoder's state
// are kept, the text starts empty.
void SherpaOnnxOnlineStreamReset(const SherpaOnnxOnlineRecognizer* recognizer,
                                 const SherpaOnnxOnlineStream* stream);

// Voice activity detection.
struct SherpaOnnxVoiceActivityDetector;

struct SherpaOnnxSileroVadModelConfig {
  const char* model;
  float threshold;
  float min_silence_duration;  // seconds
  float min_speech_duration;   // seconds
  int32_t window_size;         // samples
  float max_speech_duration;   // seconds
};

struct SherpaOnnxVadModelConfig {
  SherpaOnnxSileroVadModelConfig silero_vad;
  int32_t sample_rate;
  int32_t num_threads;
  const char* provider;
  int32_t debug;
  // Another detector's model, of the same layout; unused here.
  SherpaOnnxSileroVadModelConfig ten_vad;
};

struct SherpaOnnxSpeechSegment {
  int32_t start;
  float* samples;
  int32_t n;
};

// Null on a bad configuration.
const SherpaOnnxVoiceActivityDetector* SherpaOnnxCreateVoiceActivityDetector(
    const SherpaOnnxVadModelConfig* config, float buffer_size_in_seconds);
void SherpaOnnxDestroyVoiceActivityDetector(
    const SherpaOnnxVoiceActivityDetector* detector);
// Takes samples at the configured rate, best window_size at a time.
void SherpaOnnxVoiceActivityDetectorAcceptWaveform(
    const SherpaOnnxVoiceActivityDetector* detector, const float* samples,
    int32_t n);
// 1 while speech is going on.
int32_t SherpaOnnxVoiceActivityDetectorDetected(
    const SherpaOnnxVoiceActivityDetector* detector);
// The finished speech segments, which the detector keeps, with copies of
// their audio, until they are popped or cleared.
void SherpaOnnxVoiceActivityDetectorClear(
    const SherpaOnnxVoiceActivityDetector* detector);
// Forgets the detector's state, as at its start.
void SherpaOnnxVoiceActivityDetectorReset(
    const SherpaOnnxVoiceActivityDetector* detector);

}  // extern "C"

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_SHERPA_ONNX_C_API_H_
