#include "output.h"

#include <errno.h>
#include <stdarg.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "vorna/log.h"

namespace {

// A threshold above every level: the library's lines are dropped before they are formatted.
const int kNoLevelKept = 5;

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

// Library lines held back while the tool tries something whose failure it reports itself.
struct HeldLines {
    std::mutex lock;
    bool holding = false;
    std::string lines;
};

HeldLines& heldLines() {
    static HeldLines held;
    return held;
}

void writeAll(const char* rest, size_t left) {
    while (left > 0) {
        const ssize_t written = write(STDERR_FILENO, rest, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        rest += written;
        left -= static_cast<size_t>(written);
    }
}

// The library's lines as the console would show them (without the "<n>" level marker), on standard error.
void writeToStandardError(void*, int level, const char* line, int len) {
    const int marker = level > 0 && len >= 3 ? 3 : 0;
    HeldLines& held = heldLines();
    std::lock_guard<std::mutex> lock(held.lock);
    if (held.holding)
        held.lines.append(line + marker, static_cast<size_t>(len - marker));
    else
        writeAll(line + marker, static_cast<size_t>(len - marker));
}

void discard(void*, int, const char*, int) {}

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

std::string escapedText(const std::string& bytes) {
    std::string text;
    for (char c : bytes) {
        if (c == '\\') {
            text += "\\\\";
        } else if (isPrintableByte(static_cast<unsigned char>(c))) {
            text.push_back(c);
        } else {
            text += "\\x";
            appendHexByte(&text, static_cast<unsigned char>(c));
        }
    }
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
    : mStream(stdout), mRoutesLibraryLog(libraryLog != LibraryLog::kStdout) {
    if (libraryLog == LibraryLog::kDiscard) {
        LogSetLevel(kNoLevelKept);  // not even formatted
        LogSetWriter(discard, nullptr);
    } else if (libraryLog == LibraryLog::kStderr) {
        LogSetWriter(writeToStandardError, nullptr);
    }
}

ToolOutput::~ToolOutput() {
    fflush(mStream);
    if (mRoutesLibraryLog)
        LogSetWriter(nullptr, nullptr);
}

void ToolOutput::holdLibraryLines() {
    HeldLines& held = heldLines();
    std::lock_guard<std::mutex> lock(held.lock);
    held.holding = true;
}

void ToolOutput::releaseLibraryLines(bool keep) {
    HeldLines& held = heldLines();
    std::lock_guard<std::mutex> lock(held.lock);
    if (keep)
        writeAll(held.lines.data(), held.lines.size());
    held.lines.clear();
    held.holding = false;
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
