// A library that looks like sherpa-onnx's C interface from the outside but
// is another release: quorvel must not use it.
extern "C" const char* SherpaOnnxGetVersionStr() { return "1.12.0"; }
