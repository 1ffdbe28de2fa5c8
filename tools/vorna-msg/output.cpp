#include "output.h"

#include <fcntl.h>
#include <stdarg.h>
#include <time.h>
#include <unistd.h>

namespace {

const char kHexDigits[] = "0123456789abcdef";

bool isPrintableByte(unsigned char c) {
    return c >= 0x20 && c < 0x7f;
}

void appendHexByte(std::string* text, unsigned char c) {
    text->push_back(kHexDigits[c >> 4]);
    text->push_back(kHexDigits[c & 0x0f]);
}

std::string quoted(const std::string& bytes) {
    std::string text = "\"";
    for (char c : bytes) {
        switch (c) {
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            case '\t':
                text += "\\t";
                break;
            case '"':
                text += "\\\"";
                break;
            case '\\':
                text += "\\\\";
                break;
            default:
                text.push_back(c);
        }
    }
    return text + "\"";
}

std::string hexBytes(const std::string& bytes, const char* separator) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            text += separator;
        appendHexByte(&text, static_cast<unsigned char>(bytes[i]));
    }
    return text;
}

std::string jsonString(const std::string& value) {
    std::string text = "\"";
    for (char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text.push_back('\\');
            text.push_back(c);
        } else if (isPrintableByte(byte)) {
            text.push_back(c);
        } else {
            text += "\\u00";
            appendHexByte(&text, byte);
        }
    }
    return text + "\"";
}

// Points descriptor 1 at the standard error or at /dev/null; returns a stream on the original output.
FILE* moveStandardOutput(LibraryLog libraryLog) {
    fflush(stdout);
    const int original = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    FILE* stream = original < 0 ? nullptr : fdopen(original, "w");
    if (stream == nullptr) {
        if (original >= 0)
            close(original);
        return stdout;  // keep everything together rather than lose the command's output
    }
    const int target =
        libraryLog == LibraryLog::kStderr ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target >= 0) {
        dup2(target, STDOUT_FILENO);
        close(target);
    }
    return stream;
}

}  // namespace

bool isPrintableText(const std::string& bytes) {
    for (char c : bytes) {
        if (!isPrintableByte(static_cast<unsigned char>(c)) && c != '\n' && c != '\r' && c != '\t')
            return false;
    }
    return true;
}

std::string describeBytes(const std::string& bytes, size_t limit) {
    const std::string shown = bytes.substr(0, limit);
    std::string text = isPrintableText(bytes) ? quoted(shown) : hexBytes(shown, " ");
    if (bytes.size() > limit)
        text += " ... (" + std::to_string(bytes.size() - limit) + " more bytes)";
    return text;
}

std::string hexDump(const std::string& bytes) {
    std::string text;
    for (size_t offset = 0; offset < bytes.size(); offset += 16) {
        char position[24];
        snprintf(position, sizeof(position), "%08zx ", offset);
        text += position;
        std::string printable;
        for (size_t i = offset; i < offset + 16; ++i) {
            if (i % 8 == 0)
                text.push_back(' ');
            if (i >= bytes.size()) {
                text += "   ";
                continue;
            }
            const unsigned char c = static_cast<unsigned char>(bytes[i]);
            appendHexByte(&text, c);
            text.push_back(' ');
            printable.push_back(isPrintableByte(c) ? static_cast<char>(c) : '.');
        }
        text += " |" + printable + "|\n";
    }
    return text;
}

std::string clockText(int64_t wallUs) {
    const time_t seconds = static_cast<time_t>(wallUs / 1000000);
    struct tm local;
    localtime_r(&seconds, &local);
    char text[32];
    snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<int>(wallUs % 1000000 / 1000));
    return text;
}

void JsonLine::key(const char* name) {
    if (mText.size() > 1)
        mText.push_back(',');
    mText += jsonString(name) + ":";
}

JsonLine& JsonLine::text(const char* name, const std::string& value) {
    key(name);
    mText += jsonString(value);
    return *this;
}

JsonLine& JsonLine::number(const char* name, long long value) {
    key(name);
    mText += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::real(const char* name, double value) {
    char text[32];
    snprintf(text, sizeof(text), "%.3f", value);
    key(name);
    mText += text;
    return *this;
}

JsonLine& JsonLine::flag(const char* name, bool value) {
    key(name);
    mText += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::data(const std::string& bytes) {
    number("length", static_cast<long long>(bytes.size()));
    text("hex", hexBytes(bytes, ""));
    if (isPrintableText(bytes))
        text("text", bytes);
    return *this;
}

ToolOutput::ToolOutput(LibraryLog libraryLog)
    : mStream(libraryLog == LibraryLog::kStdout ? stdout : moveStandardOutput(libraryLog)),
      mOwnsStream(mStream != stdout) {}

ToolOutput::~ToolOutput() {
    if (mOwnsStream)
        fclose(mStream);
    else
        fflush(mStream);
}

void ToolOutput::line(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, sizeof(buffer) - 1, format, args);
    va_end(args);
    if (length < 0)
        return;
    if (length > static_cast<int>(sizeof(buffer)) - 2)
        length = static_cast<int>(sizeof(buffer)) - 2;
    buffer[length] = '\n';
    fwrite(buffer, 1, static_cast<size_t>(length) + 1, mStream);
    fflush(mStream);
}

void ToolOutput::line(const std::string& text) {
    std::string whole = text + "\n";
    fwrite(whole.data(), 1, whole.size(), mStream);
    fflush(mStream);
}
