// Command-line checking shared by the tools and the benchmark. "--help" and
// "-h" print the usage on stdout and exit 0; an unknown option, a missing
// value or a value out of range is named in one line on stderr with exit
// code 2; an input file that cannot be read, with exit code 1.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

class ArgReader {
public:
    ArgReader(const char* prog, const char* usage, int argc, char** argv)
        : prog_(prog), usage_(usage), argc_(argc), argv_(argv) {}

    // Moves to the next argument; false when there is none left.
    bool Next() {
        if (++at_ >= argc_) return false;
        if (!strcmp(argv_[at_], "--help") || !strcmp(argv_[at_], "-h")) {
            fputs(usage_, stdout);
            exit(0);
        }
        return true;
    }
    const char* Arg() const { return argv_[at_]; }
    bool Is(const char* option) const { return !strcmp(argv_[at_], option); }
    bool IsOption() const { return argv_[at_][0] == '-' && argv_[at_][1] != 0; }

    // The value that follows the current option.
    const char* Value() {
        if (at_ + 1 >= argc_) Fail(std::string(argv_[at_]) + " needs a value");
        option_ = argv_[at_];
        return argv_[++at_];
    }
    // A whole number in [min, max], all of the text. 64-bit whatever the
    // processor: a 32-bit long cannot hold the largest seed.
    long long Long(long long min, long long max) {
        const char* text = Value();
        errno = 0;
        char* end = nullptr;
        long long v = strtoll(text, &end, 10);
        if (errno || end == text || *end || v < min || v > max) Range(text, std::to_string(min), std::to_string(max));
        return v;
    }
    // A finite decimal number in [min, max], all of the text.
    double Double(double min, double max) {
        const char* text = Value();
        char* end = nullptr;
        double v = strtod(text, &end);
        if (end == text || *end || !std::isfinite(v) || v < min || v > max) Range(text, Num(min), Num(max));
        return v;
    }

    [[noreturn]] void Fail(const std::string& what) const {
        fprintf(stderr, "%s: %s (see %s --help)\n", prog_, what.c_str(), prog_);
        exit(2);
    }
    [[noreturn]] void Unknown() const {
        Fail(std::string(IsOption() ? "unknown option '" : "unexpected argument '") + argv_[at_] + "'");
    }

private:
    static std::string Num(double v) {
        char b[32];
        snprintf(b, sizeof b, "%.10g", v);
        return b;
    }
    [[noreturn]] void Range(const char* text, const std::string& min, const std::string& max) const {
        Fail(option_ + ": '" + text + "' is not a number from " + min + " to " + max);
    }

    const char* prog_;
    const char* usage_;
    int argc_;
    char** argv_;
    int at_ = 0;
    std::string option_;
};

// Opens a file (not a folder) for reading, or exits 1 naming the file and why.
inline FILE* OpenInput(const char* prog, const char* path) {
    FILE* f = fopen(path, "rb");
    struct stat st;
    const char* why = nullptr;
    if (!f) why = strerror(errno);
    else if (fstat(fileno(f), &st) != 0) why = strerror(errno);
    else if (S_ISDIR(st.st_mode)) why = "is a directory";
    if (why) {
        fprintf(stderr, "%s: cannot read %s: %s\n", prog, path, why);
        exit(1);
    }
    return f;
}

// The whole of a file, or exit 1 naming it.
inline std::string ReadInput(const char* prog, const char* path) {
    FILE* f = OpenInput(prog, path);
    std::string data;
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) data.reserve((size_t)st.st_size);
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    if (ferror(f)) {
        fprintf(stderr, "%s: cannot read %s: %s\n", prog, path, strerror(errno));
        exit(1);
    }
    fclose(f);
    return data;
}
