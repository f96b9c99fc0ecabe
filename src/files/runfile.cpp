#include "files/runfile.h"

#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "files/fileio.h"
#include "output.h"
#include "resources.h"
#include "supervisor/watchd.h"
#include "text.h"

namespace watchd {
namespace {

constexpr size_t MOVE_CHUNK = 4096;
// The first line is the working directory: at most PATH_CAPACITY - 1 characters and "\n".
constexpr size_t FIRST_LINE_MAX = PATH_CAPACITY;

// Offset just past the first line end at or after from, or end when there is none.
off_t next_line_start(int fd, off_t from, off_t end) {
    char chunk[MOVE_CHUNK];
    while (from < end) {
        ssize_t got = pread(fd, chunk, sizeof chunk, from);
        if (got <= 0)
            return end;
        const void* newline = memchr(chunk, '\n', static_cast<size_t>(got));
        if (newline != nullptr)
            return from + (static_cast<const char*>(newline) - chunk) + 1;
        from += got;
    }
    return end;
}

// Copies [from, end) down to offset to (to < from), front to back.
off_t move_down(int fd, off_t from, off_t end, off_t to) {
    char chunk[MOVE_CHUNK];
    while (from < end) {
        size_t want = static_cast<size_t>(end - from < off_t(sizeof chunk) ? end - from
                                                                           : off_t(sizeof chunk));
        ssize_t got = pread(fd, chunk, want, from);
        if (got <= 0)
            break;
        ssize_t put = pwrite(fd, chunk, static_cast<size_t>(got), to);
        if (put <= 0)
            break;
        from += put;
        to += put;
    }
    return to;
}

}  // namespace

int acquire_run_lock(const char* path, const char* data, int32_t len) {
    if (path == nullptr) {
        say_line("NULL file name");
        return -1;
    }
    // O_NOFOLLOW: a symbolic link planted here must not get its target truncated. A FIFO or
    // device would block or swallow the log: only a regular file will do.
    unique_fd fd(open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644));
    struct stat info;
    if (fd.valid() && (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)))
        fd.reset();
    if (!fd.valid()) {
        say("failed to open %s\n", path);
        return -1;
    }
    int flags = fcntl(fd.get(), F_GETFD);
    fcntl(fd.get(), F_SETFD, (flags < 0 ? 0 : flags) | FD_CLOEXEC);
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        say("already in use for %s\n", path);
        return -1;
    }
    if (ftruncate(fd.get(), 0) != 0) {
        // Logging goes on without a clean file; there is nobody to tell.
    }
    if (len > 0) {
        ssize_t ignored = write(fd.get(), data, static_cast<size_t>(len));
        (void)ignored;
    }
    return fd.release();
}

int register_instance(const char* argv0, watch_state* state) {
    char cwd[PATH_CAPACITY] = {};
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        say_line("failed to get current dir");
        return -1;
    }
    state->lock_fd = acquire_run_lock(state->run_path, cwd, static_cast<int32_t>(strlen(cwd)));
    if (state->lock_fd < 0) {
        say("process(%s) already run\n", argv0);
        return -1;
    }
    ssize_t ignored = write(state->lock_fd, "\n", 1);
    (void)ignored;
    return 0;
}

void format_time_text(time_t when, char (&text)[TIME_TEXT_CAPACITY]) {
    struct tm local;
    char stamp[TIME_TEXT_CAPACITY] = {};
    // asctime_r needs 26 bytes; a year past 9999 does not fit and gives no text.
    if (localtime_r(&when, &local) == nullptr || asctime_r(&local, stamp) == nullptr) {
        format_text(text, sizeof text, "%s", "?");
        return;
    }
    format_text(text, sizeof text, "%s", stamp);
    size_t len = strlen(text);
    if (len > 0 && text[len - 1] == '\n')
        text[len - 1] = '\0';
}

size_t format_exit_line(char (&line)[EXIT_LINE_CAPACITY], const char* time_text, const char* name,
                        int32_t code, int32_t exited_normally) {
    int n =
        exited_normally == 1
            ? snprintf(line, sizeof line, "%s: %s exited normally with code(%d)\n", time_text, name,
                       code)
            : snprintf(line, sizeof line, "%s: %s killed by signal(%d)\n", time_text, name, code);
    if (n < 0) {
        line[0] = '\0';
        return 0;
    }
    if (static_cast<size_t>(n) < sizeof line)
        return static_cast<size_t>(n);
    // Cut, but keep the line end so the next line does not run into this one.
    line[sizeof line - 2] = '\n';
    line[sizeof line - 1] = '\0';
    return sizeof line - 1;
}

void bound_run_file(int fd, size_t incoming) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        return;
    off_t position = lseek(fd, 0, SEEK_CUR);
    off_t size = info.st_size;
    off_t end_after = position + off_t(incoming) > size ? position + off_t(incoming) : size;
    if (end_after <= RUN_FILE_LIMIT)
        return;

    off_t first_line_end =
        next_line_start(fd, 0, size < off_t(FIRST_LINE_MAX) ? size : off_t(FIRST_LINE_MAX));
    off_t tail_from = size - (RUN_FILE_KEEP - first_line_end);
    if (tail_from < first_line_end)
        tail_from = first_line_end;
    // Start at a whole line: the byte before tail_from must be a line end.
    if (tail_from > first_line_end)
        tail_from = next_line_start(fd, tail_from - 1, size);
    off_t new_size = move_down(fd, tail_from, size, first_line_end);
    if (ftruncate(fd, new_size) != 0)
        return;
    lseek(fd, new_size, SEEK_SET);
}

void log_child_exit(int32_t code, int32_t exited_normally, const char* name, int32_t fd) {
    if (fd <= 0)
        return;
    char time_text[TIME_TEXT_CAPACITY];
    format_time_text(time(nullptr), time_text);
    char line[EXIT_LINE_CAPACITY];
    size_t len = format_exit_line(line, time_text, name, code, exited_normally);
    bound_run_file(fd, len);
    ssize_t ignored = write(fd, line, len);
    (void)ignored;
}

}  // namespace watchd
