#include "args.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

const OptionRule* findOption(const std::vector<OptionRule>& options, const std::string& name) {
    for (const OptionRule& option : options) {
        if (name == option.name)
            return &option;
    }
    return nullptr;
}

bool isOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The escapes that stand for one byte each (\x has its digits to read). `kind` is the letter after the
// backslash; a NUL there is never one of them.
bool simpleEscape(char kind, char* byte) {
    static const char kKinds[] = "nrt0\\";
    static const char kBytes[] = "\n\r\t\0\\";
    for (size_t i = 0; kind != '\0' && kKinds[i] != '\0'; ++i) {
        if (kKinds[i] == kind) {
            *byte = kBytes[i];
            return true;
        }
    }
    return false;
}

}  // namespace

Arguments::Arguments(const char* command, int argc, char** argv, const std::vector<OptionRule>& options)
    : mCommand(command) {
    parse(argc, argv, options);
}

void Arguments::parse(int argc, char** argv, const std::vector<OptionRule>& options) {
    bool optionsEnded = false;
    for (int i = 0; i < argc && ok(); ++i) {
        std::string argument = argv[i];
        if (optionsEnded || !isOption(argument)) {
            mPositionals.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            mHelp = true;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        const size_t equals = argument.find('=');
        if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.resize(equals);
            inlineValue = true;
        }
        const OptionRule* option = findOption(options, argument);
        if (option == nullptr) {
            fail("unknown option '" + argument + "'");
        } else if (mValues.count(argument) != 0 || mFlags.count(argument) != 0) {
            fail("option " + argument + " is given twice");
        } else if (!option->takesValue) {
            if (inlineValue)
                fail("option " + argument + " takes no value");
            mFlags[argument] = true;
        } else if (inlineValue) {
            mValues[argument] = value;
        } else if (i + 1 < argc) {
            mValues[argument] = argv[++i];
        } else {
            fail("option " + argument + " needs a value");
        }
    }
}

std::string Arguments::positional(const char* what) {
    if (mNextPositional < mPositionals.size())
        return mPositionals[mNextPositional++];
    fail(std::string("missing ") + what);
    return "";
}

std::string Arguments::text(const char* name, const std::string& fallback) const {
    auto found = mValues.find(name);
    return found == mValues.end() ? fallback : found->second;
}

long long Arguments::number(const char* name, long long fallback, long long min, long long max) {
    auto found = mValues.find(name);
    if (found == mValues.end())
        return fallback;
    const char* text = found->second.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < min || value > max) {
        fail(std::string(name) + " wants a whole number from " + std::to_string(min) + " to " +
             std::to_string(max) + ", not '" + found->second + "'");
        return fallback;
    }
    return value;
}

std::string Arguments::socketName() {
    const std::string name = positional("NAME");
    if (!ok())
        return name;
    if (name.empty())
        fail("NAME must not be empty");
    else if (name.size() > kMaxSocketName)
        fail("NAME is " + std::to_string(name.size()) + " bytes long; a socket name holds at most " +
             std::to_string(kMaxSocketName));
    return name;
}

void Arguments::fail(const std::string& message) {
    if (mError.empty())
        mError = message;
}

bool Arguments::finish() {
    if (ok() && mNextPositional < mPositionals.size())
        fail("unexpected argument '" + mPositionals[mNextPositional] + "'");
    if (!ok())
        fprintf(stderr, "vorna-msg %s: %s (see 'vorna-msg %s --help')\n", mCommand.c_str(), mError.c_str(),
                mCommand.c_str());
    return ok();
}

bool decodeEscapes(const std::string& text, std::string* bytes, std::string* error) {
    bytes->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes->push_back(text[i]);
            continue;
        }
        const char kind = i + 1 < text.size() ? text[++i] : '\0';
        char simple;
        if (simpleEscape(kind, &simple)) {
            bytes->push_back(simple);
            continue;
        }
        if (kind != 'x') {
            *error = kind == '\0' ? std::string("a lone \\ ends the text")
                                  : std::string("unknown escape \\") + kind + " (use \\\\ for a backslash)";
            return false;
        }
        const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            *error = "\\x wants two hex digits";
            return false;
        }
        bytes->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}
