// A plug-in for example_plugin: a ROT13 codec.
#include <string.h>

#include "codec.h"

namespace {

class Rot13 : public Codec {
  public:
    int encode(const char* text, char* out, int size) override {
        const int length = static_cast<int>(strlen(text));
        if (length >= size)
            return -1;
        for (int i = 0; i <= length; ++i)
            out[i] = rotate(text[i]);
        return length;
    }

  private:
    static char rotate(char c) {
        if (c >= 'a' && c <= 'z')
            return static_cast<char>('a' + (c - 'a' + 13) % 26);
        if (c >= 'A' && c <= 'Z')
            return static_cast<char>('A' + (c - 'A' + 13) % 26);
        return c;
    }
};

}  // namespace

extern "C" Codec* createCodec() {
    return new Rot13;
}
