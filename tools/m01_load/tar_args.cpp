#include "tar_args.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace m01_load {
namespace {

// Collects the options of one tar call; every method returns 0, or -1 with error filled.
class tar_parser {
  public:
    tar_parser(tar_request* request, char (&error)[ERROR_CAPACITY])
        : request_(request), error_(error) {}

    int flag(char option) {
        switch (option) {
            case 'x':
                extract_ = true;
                return 0;
            case 'z':
                request_->gzip = true;
                return 0;
            case 'p':
                return 0;
            default:
                return fail("unknown option -%c", option);
        }
    }

    static bool takes_value(char option) { return option == 'f' || option == 'C'; }

    int value(char option, const char* text) {
        if (text == nullptr || text[0] == '\0')
            return fail("option -%c needs a value", option);
        const char** slot = option == 'f' ? &request_->archive : &request_->directory;
        if (*slot != nullptr)
            return fail("option -%c given twice", option);
        *slot = text;
        return 0;
    }

    int finish() {
        if (!extract_)
            return fail("only extraction (-x) is supported");
        if (request_->archive == nullptr)
            return fail("no archive given (-f ARCHIVE)");
        return 0;
    }

    [[gnu::format(printf, 2, 3)]] int fail(const char* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        vsnprintf(error_, sizeof error_, fmt, args);
        va_end(args);
        return -1;
    }

  private:
    tar_request* request_;
    char (&error_)[ERROR_CAPACITY];
    bool extract_ = false;
};

// The cursor over the arguments; values are taken from it in order.
struct arg_cursor {
    int argc;
    const char* const* argv;
    int next;

    const char* take() { return next < argc ? argv[next++] : nullptr; }
};

// Old-style first argument (zxf ARCHIVE): letters without a dash, whose values follow as
// the next arguments in the order of their letters.
int parse_old_style(const char* letters, arg_cursor* args, tar_parser* parser) {
    for (const char* c = letters; *c != '\0'; ++c) {
        int r = tar_parser::takes_value(*c) ? parser->value(*c, args->take()) : parser->flag(*c);
        if (r < 0)
            return -1;
    }
    return 0;
}

// A dashed cluster (-zxf ARCHIVE, -fARCHIVE): the first option that takes a value takes
// the rest of the cluster, or the next argument when the cluster ends there.
int parse_cluster(const char* cluster, arg_cursor* args, tar_parser* parser) {
    for (const char* c = cluster; *c != '\0'; ++c) {
        if (tar_parser::takes_value(*c))
            return parser->value(*c, c[1] != '\0' ? c + 1 : args->take());
        if (parser->flag(*c) < 0)
            return -1;
    }
    return 0;
}

struct long_option {
    const char* name;
    char option;
};

constexpr long_option LONG_OPTIONS[] = {
    {"extract", 'x'}, {"get", 'x'},  {"gzip", 'z'},      {"gunzip", 'z'},
    {"ungzip", 'z'},  {"file", 'f'}, {"directory", 'C'}, {"preserve-permissions", 'p'},
};

int parse_long(const char* text, arg_cursor* args, tar_parser* parser) {
    const char* equals = strchr(text, '=');
    size_t name_len = equals != nullptr ? static_cast<size_t>(equals - text) : strlen(text);
    for (const long_option& known : LONG_OPTIONS) {
        if (strlen(known.name) != name_len || strncmp(known.name, text, name_len) != 0)
            continue;
        if (tar_parser::takes_value(known.option))
            return parser->value(known.option, equals != nullptr ? equals + 1 : args->take());
        if (equals != nullptr)
            return parser->fail("option --%s takes no value", known.name);
        return parser->flag(known.option);
    }
    return parser->fail("unknown option --%.*s", static_cast<int>(name_len), text);
}

}  // namespace

applet_call select_applet(int argc, const char* const* argv) {
    applet_call call;
    if (argc >= 1 && argv[0] != nullptr) {
        const char* slash = strrchr(argv[0], '/');
        const char* base = slash != nullptr ? slash + 1 : argv[0];
        if (strcmp(base, TAR_APPLET) == 0) {
            call.which = applet::tar;
            call.first_arg = 1;
            return call;
        }
    }
    if (argc >= 2 && strcmp(argv[1], TAR_APPLET) == 0) {
        call.which = applet::tar;
        call.first_arg = 2;
    }
    return call;
}

int parse_tar_args(int argc, const char* const* argv, tar_request* request,
                   char (&error)[ERROR_CAPACITY]) {
    *request = tar_request{};
    error[0] = '\0';
    tar_parser parser(request, error);
    arg_cursor args{argc, argv, 0};
    if (argc > 0 && argv[0][0] != '-' && argv[0][0] != '\0') {
        args.next = 1;
        if (parse_old_style(argv[0], &args, &parser) < 0)
            return -1;
    }
    while (const char* arg = args.take()) {
        int r = 0;
        if (strcmp(arg, "--") == 0) {
            if (const char* operand = args.take())
                return parser.fail("unexpected argument %s", operand);
        } else if (strncmp(arg, "--", 2) == 0) {
            r = parse_long(arg + 2, &args, &parser);
        } else if (arg[0] == '-' && arg[1] != '\0') {
            r = parse_cluster(arg + 1, &args, &parser);
        } else {
            // Member names would select entries to extract; the daemon never names any.
            r = parser.fail("unexpected argument %s", arg);
        }
        if (r < 0)
            return -1;
    }
    return parser.finish();
}

}  // namespace m01_load
