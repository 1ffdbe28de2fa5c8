#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>

// True when every byte is printable ASCII, a tab or a line break: such data reads best as text.
bool isPrintableText(const std::string& bytes);

// One line for a log of traffic: printable data as a quoted C string ("ping\n"), anything else as hex
// bytes (00 ff 10). Data past `limit` bytes is left out and counted.
std::string describeBytes(const std::string& bytes, size_t limit = 256);

// Bytes for a terminal: printable ASCII as it is, a backslash doubled, anything else (control bytes,
// escape sequences, bytes past ASCII) as \xHH.
std::string escapedText(const std::string& bytes);

// A hex dump, 16 bytes a line: offset, the bytes, and their printable characters.
std::string hexDump(const std::string& bytes);

// The local time of day of a wall-clock time in microseconds, to the millisecond: "14:03:07.250".
std::string clockText(int64_t wallUs);

// Where the library's own log lines go. The library prints them on standard output, where they would mix
// with a command's results: kStderr and kDiscard route them through a log writer instead.
enum class LibraryLog { kStdout, kStderr, kDiscard };

// --quiet drops the library's lines; the tool's own errors still go to standard error.
inline LibraryLog libraryLogFor(bool quiet, LibraryLog otherwise) {
    return quiet ? LibraryLog::kDiscard : otherwise;
}

// One JSON object, built field by field, for output read by programs: {"kind":"response","length":5}.
// Strings are escaped so that any bytes give valid JSON (bytes past ASCII as \u00XX).
class JsonLine {
  public:
    JsonLine& text(const char* key, const std::string& value);
    JsonLine& number(const char* key, long long value);
    JsonLine& real(const char* key, double value);
    JsonLine& flag(const char* key, bool value);
    // Message bytes: "length", "hex" and, when they are printable text, "text".
    JsonLine& data(const std::string& bytes);
    std::string str() const { return mText + "}"; }

  private:
    void key(const char* name);
    std::string mText = "{";
};

// The stream for a command's own output (standard output). Built with kStderr or kDiscard, it sends the
// library's lines to standard error or drops them, until it is destroyed. Lines are flushed as they are
// written, so that a reader on a pipe sees each at once. Build it before any thread.
class ToolOutput {
  public:
    explicit ToolOutput(LibraryLog libraryLog);
    ~ToolOutput();
    ToolOutput(const ToolOutput&) = delete;
    ToolOutput& operator=(const ToolOutput&) = delete;

    FILE* stream() const { return mStream; }
    // For a step whose failure the tool reports itself: the library's lines routed to standard error are
    // held back from holdLibraryLines() on, then written (`keep`) or dropped by releaseLibraryLines().
    void holdLibraryLines();
    void releaseLibraryLines(bool keep);
    // Writes one line (a newline is added) in one stdio call, so lines of several threads never mix.
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes `text` and a newline in one stdio call, whatever its length.
    void line(const std::string& text);
    void json(const JsonLine& object) { line(object.str()); }

  private:
    FILE* mStream;
    bool mRoutesLibraryLog;
};
