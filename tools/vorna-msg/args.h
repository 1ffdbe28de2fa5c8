#pragma once

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the command ran and did not get what it asked for
constexpr int kExitUsage = 2;    // bad arguments: nothing was attempted

// The longest name an abstract local socket address can hold.
constexpr size_t kMaxSocketName = 107;
// The server reads at most this much of a request at once; a longer one would arrive in pieces, each
// answered on its own.
constexpr size_t kMaxRequestBytes = 1024;
// The largest body a data notification carries.
constexpr size_t kMaxNotifyBytes = 255;

struct OptionRule {
    const char* name;  // with its dashes: "--count"
    bool takesValue;
};

// The arguments of one command, split into positionals, flags and option values.
class Arguments {
  public:
    // `command` names the command in error messages ("call"). Parsing stops at the first error.
    Arguments(const char* command, int argc, char** argv, const std::vector<OptionRule>& options);

    bool helpWanted() const { return mHelp; }
    bool ok() const { return mError.empty(); }

    // Each getter below records the first error it meets; check ok() (or finish()) afterwards.
    // Takes the next positional argument; `what` names it in the error when there is none.
    std::string positional(const char* what);
    bool flag(const char* name) const { return mFlags.count(name) != 0; }
    bool has(const char* name) const { return mValues.count(name) != 0; }
    std::string text(const char* name, const std::string& fallback) const;
    long long number(const char* name, long long fallback, long long min, long long max);
    // A socket name: not empty and at most kMaxSocketName bytes.
    std::string socketName();
    // Records an error of the caller's own.
    void fail(const std::string& message);

    // Complains about positionals nobody took, writes the error line (if any) and returns ok().
    bool finish();

  private:
    void parse(int argc, char** argv, const std::vector<OptionRule>& options);

    std::string mCommand;
    std::vector<std::string> mPositionals;
    size_t mNextPositional = 0;
    std::map<std::string, std::string> mValues;
    std::map<std::string, bool> mFlags;
    bool mHelp = false;
    std::string mError;
};

// Turns the escapes \xHH, \n, \r, \t, \0 and \\ of a command-line argument into bytes. Returns false
// (and says why in `error`) for any other escape or a \x without two hex digits.
bool decodeEscapes(const std::string& text, std::string* bytes, std::string* error);

// The opening every command shares: prints `help` when the command line asks for it, else reads the
// options with `parse`. Returns true when the command should run; otherwise `*status` is its exit status
// (kExitOk after the help, kExitUsage after the error line).
template <typename Options>
bool readCommandLine(Arguments& args, const char* help, bool (*parse)(Arguments&, Options*), Options* options,
                     int* status) {
    if (args.helpWanted()) {
        fputs(help, stdout);
        *status = kExitOk;
        return false;
    }
    *status = kExitUsage;
    return parse(args, options);
}
