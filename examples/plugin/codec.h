#pragma once

// The interface between the example application and its codec plug-ins. A plug-in exports
// createCodec(); the application deletes the codec before it unloads the plug-in, whose code the
// codec's virtual functions are.
class Codec {
  public:
    virtual ~Codec() = default;
    // Encodes the NUL-terminated `text` into `out` (NUL-terminated, at most `size` bytes with the NUL).
    // Returns the length written, or -1 when it does not fit.
    virtual int encode(const char* text, char* out, int size) = 0;
};

extern "C" Codec* createCodec();
