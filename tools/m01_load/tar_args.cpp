#include "tar_args.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace m01_load {
namespace {

// '+': stop at the first operand whatever POSIXLY_CORRECT says, so getopt never permutes
// argv (it only reads it). ':' first: a missing value comes back as ':' and getopt prints
// nothing of its own.
constexpr const char* TAR_OPTIONS = "+:xzpf:C:";

// Collects the options of one tar call and keeps the first problem in error.
class tar_options {
  public:
    tar_options(tar_request* request, char (&error)[ERROR_CAPACITY])
        : request_(request), error_(error) {}

    void take(int option, const char* value) {
        switch (option) {
            case 'x':
                extract_ = true;
                break;
            case 'z':
                request_->gzip = true;
                break;
            case 'p':
                break;
            case 'f':
                set(&request_->archive, 'f', value);
                break;
            case 'C':
                set(&request_->directory, 'C', value);
                break;
            case ':':
                fail("option -%c needs a value", optopt);
                break;
            default:
                fail("unknown option -%c", optopt);
                break;
        }
    }

    int finish() {
        if (!extract_)
            fail("only extraction (-x) is supported");
        else if (request_->archive == nullptr)
            fail("no archive given (-f ARCHIVE)");
        return error_[0] == '\0' ? 0 : -1;
    }

    [[gnu::format(printf, 2, 3)]] void fail(const char* fmt, ...) {
        if (error_[0] != '\0')
            return;
        va_list args;
        va_start(args, fmt);
        vsnprintf(error_, sizeof error_, fmt, args);
        va_end(args);
    }

  private:
    void set(const char** slot, char option, const char* value) {
        if (value[0] == '\0')
            fail("option -%c needs a value", option);
        else if (*slot != nullptr)
            fail("option -%c given twice", option);
        else
            *slot = value;
    }

    tar_request* request_;
    char (&error_)[ERROR_CAPACITY];
    bool extract_ = false;
};

}  // namespace

applet_call select_applet(int argc, const char* const* argv) {
    applet_call call;
    if (argc >= 1 && argv[0] != nullptr) {
        const char* slash = strrchr(argv[0], '/');
        const char* base = slash != nullptr ? slash + 1 : argv[0];
        if (strcmp(base, TAR_APPLET) == 0) {
            call.which = applet::tar;
            call.name_arg = 0;
            return call;
        }
    }
    if (argc >= 2 && strcmp(argv[1], TAR_APPLET) == 0) {
        call.which = applet::tar;
        call.name_arg = 1;
    }
    return call;
}

int parse_tar_args(int argc, const char* const* argv, tar_request* request,
                   char (&error)[ERROR_CAPACITY]) {
    *request = tar_request{};
    error[0] = '\0';
    tar_options options(request, error);
    // getopt keeps its place inside a bundle in hidden state that only a libc-specific reset
    // clears (optind = 0 on glibc, optreset on BSD). Reading every call through to getopt's
    // end, even after a problem, never leaves it inside a bundle, so the POSIX start value
    // is a full reset on every C library.
    optind = 1;
    char* const* args = const_cast<char* const*>(argv);  // read only: see TAR_OPTIONS
    for (int option; (option = getopt(argc, args, TAR_OPTIONS)) != -1;)
        options.take(option, optarg);
    // Member names would select entries to extract; the daemon never names any.
    if (optind < argc)
        options.fail("unexpected argument %s", argv[optind]);
    return options.finish();
}

}  // namespace m01_load
