// Managed-mode log core: one mutex serialises the echo, the file, rotation and reopening;
// formatting happens before the lock so that threads only queue for the write itself.
#define _GNU_SOURCE
#include "logger.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#define LOG_PATH_MAX 4096
#define LOG_DEFAULT_MASK 23u
#define LOG_DEFAULT_MAX_SIZE 10485760
#define LOG_DEFAULT_ROTATE_COUNT 3
// Most lines fit here; longer ones fall back to the heap.
#define LOG_STACK_LINE 2048

struct liblog_state {
    _Atomic uint32_t level_mask;
    _Atomic uint32_t echo;
    _Atomic uint32_t has_file;
    char file_name[LOG_PATH_MAX];
    FILE* stream;
    dev_t stream_dev;  // identity of the open stream, taken when it was opened
    ino_t stream_ino;
    int32_t max_size;
    int32_t rotate_count;
};

static struct liblog_state _liblog;
static _Atomic int _liblog_inited;
static int process_pid;
// Static so that lazy initialisation from several threads at once is safe, and so that a
// message racing with finalisation never touches a destroyed mutex.
static pthread_mutex_t _liblog_lock = PTHREAD_MUTEX_INITIALIZER;
// Used only while creating missing directories, under the lock.
static char mkdir_path[LOG_PATH_MAX];

static void init_locked(const logger_config* cfg) {
    _liblog.file_name[0] = '\0';
    atomic_store_explicit(&_liblog.has_file, 0, memory_order_relaxed);
    if (cfg) {
        uint32_t mask = cfg->level_mask == UINT32_MAX ? LOG_DEFAULT_MASK : cfg->level_mask;
        atomic_store_explicit(&_liblog.level_mask, mask, memory_order_relaxed);
        atomic_store_explicit(&_liblog.echo, cfg->echo_stdout, memory_order_relaxed);
        if (cfg->file_name) {
            strncpy(_liblog.file_name, cfg->file_name, LOG_PATH_MAX - 1);
            _liblog.file_name[LOG_PATH_MAX - 1] = '\0';
            atomic_store_explicit(&_liblog.has_file, 1, memory_order_relaxed);
        }
        _liblog.max_size = cfg->max_file_size;
        _liblog.rotate_count = cfg->rotate_count;
    } else {
        atomic_store_explicit(&_liblog.level_mask, LOG_DEFAULT_MASK, memory_order_relaxed);
        atomic_store_explicit(&_liblog.echo, 0, memory_order_relaxed);
        _liblog.max_size = LOG_DEFAULT_MAX_SIZE;
        _liblog.rotate_count = LOG_DEFAULT_ROTATE_COUNT;
    }
    // Suffixes are built from the low 8 bits of the index.
    if (_liblog.rotate_count > 255) {
        _liblog.rotate_count = 255;
    }
    _liblog.stream = NULL;
    process_pid = (int)getpid();
    atomic_store_explicit(&_liblog_inited, 1, memory_order_release);
}

int init_logger_cli(const logger_config* cfg) {
    pthread_mutex_lock(&_liblog_lock);
    if (!atomic_load_explicit(&_liblog_inited, memory_order_relaxed)) {
        init_locked(cfg);
    }
    pthread_mutex_unlock(&_liblog_lock);
    return 0;
}

void deinit_logger_cli(void) {
    pthread_mutex_lock(&_liblog_lock);
    if (_liblog.stream) {
        fclose(_liblog.stream);
        _liblog.stream = NULL;
    }
    atomic_store_explicit(&_liblog.has_file, 0, memory_order_relaxed);
    atomic_store_explicit(&_liblog.echo, 0, memory_order_relaxed);
    atomic_store_explicit(&_liblog_inited, 0, memory_order_release);
    pthread_mutex_unlock(&_liblog_lock);
}

void set_log_level_mask(uint32_t mask) {
    if (!atomic_load_explicit(&_liblog_inited, memory_order_acquire)) {
        init_logger_cli(NULL);
    }
    atomic_store_explicit(&_liblog.level_mask, mask == UINT32_MAX ? LOG_DEFAULT_MASK : mask,
                          memory_order_relaxed);
}

uint32_t get_log_level_mask(void) {
    if (!atomic_load_explicit(&_liblog_inited, memory_order_acquire)) {
        return LOG_DEFAULT_MASK;
    }
    return atomic_load_explicit(&_liblog.level_mask, memory_order_relaxed);
}

static const char* level_name(unsigned level) {
    switch (level) {
        case 1:
            return "CRITICAL";
        case 2:
            return "ERROR";
        case 4:
            return "WARNING";
        case 8:
        case 16:
        case 2048:
            return "INFO";
        case 1024:
            return "DEBUG";
        default:
            return "UNKNOWN";
    }
}

static const struct tm* local_time(time_t sec, struct tm* out, long* offset) {
    localtime_r(&sec, out);
    // The zone's real offset at this instant, summer time included.
    *offset = out->tm_gmtoff;
    return out;
}

// Writes prefix and message into buf (size cap); returns the length the whole text needs,
// or -1 when the message cannot be formatted.
static int create_msg(char* buf, size_t cap, unsigned level, const struct timeval* tv,
                      const char* format, va_list ap) {
    long offset;
    struct tm tm_buf;
    const struct tm* lt = local_time(tv->tv_sec, &tm_buf, &offset);
    long abs_off = offset < 0 ? -offset : offset;
    int n =
        snprintf(buf, cap, "[%04d-%02d-%02d %02d:%02d:%02d.%03ld %c%02d%02d] [PID:%d] [%s] ",
                 lt->tm_year + 1900, lt->tm_mon + 1, lt->tm_mday, lt->tm_hour, lt->tm_min,
                 lt->tm_sec, (long)(tv->tv_usec / 1000), offset >= 0 ? '+' : '-',
                 (int)(abs_off / 3600), (int)((abs_off / 60) % 60), process_pid, level_name(level));
    if (n < 0) {
        return -1;
    }
    size_t used = (size_t)n < cap ? (size_t)n : cap;
    int m = vsnprintf(buf ? buf + used : NULL, buf ? cap - used : 0, format, ap);
    if (m < 0) {
        return -1;
    }
    return n + m;
}

static size_t file_write(FILE* stream, const char* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        size_t w = fwrite(buf + done, 1, len - done, stream);
        if (w == 0) {
            if (ferror(stream) && errno == EINTR) {
                clearerr(stream);
                continue;
            }
            break;
        }
        done += w;
    }
    fflush(stream);
    return done;
}

static void close_stream(void) {
    if (_liblog.stream) {
        fclose(_liblog.stream);
        _liblog.stream = NULL;
    }
}

// Rotates when the file on disk has reached the threshold. `st`/`st_ok` describe the file name
// on disk before the call; they are invalidated when a rotation happens.
static void file_rotate(const struct stat* st, int st_ok) {
    off_t size = st_ok ? st->st_size : 0;
    // A non-positive threshold means no rotation.
    if (_liblog.max_size <= 0 || (off_t)_liblog.max_size > size) {
        return;
    }
    close_stream();
    const int count = _liblog.rotate_count;
    if (count < 1) {
        return;
    }
    char dst[LOG_PATH_MAX + 8];
    char src[LOG_PATH_MAX + 8];
    for (int i = count; i >= 1; --i) {
        snprintf(dst, sizeof dst, "%s.%u", _liblog.file_name, (unsigned)(i & 0xff));
        if (i - 1 == 0) {
            snprintf(src, sizeof src, "%s", _liblog.file_name);
        } else {
            snprintf(src, sizeof src, "%s.%u", _liblog.file_name, (unsigned)((i - 1) & 0xff));
        }
        if (access(dst, F_OK) == 0 && remove(dst) != 0) {
            fprintf(stderr, "ERROR: logger: Failed to remove file: `%s`\n", dst);
        }
        if (access(src, F_OK) == 0 && rename(src, dst) != 0) {
            fprintf(stderr, "ERROR: logger: Failed to rename file: `%s` -> `%s`\n", src, dst);
        }
    }
}

// Rotated files an older version left readable by others are closed to them as well.
static void make_rotated_private(void) {
    char name[LOG_PATH_MAX + 8];
    for (int i = 1; i <= _liblog.rotate_count; ++i) {
        snprintf(name, sizeof name, "%s.%u", _liblog.file_name, (unsigned)(i & 0xff));
        int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 &&
            fchmod(fd, st.st_mode & 0700) != 0) {
            fprintf(stderr, "ERROR: logger: Failed to make `%s` private\n", name);
        }
        close(fd);
    }
}

static int open_stream(void) {
    // The log holds session ids and ICE passwords: only its owner may read it. Close-on-exec:
    // child processes must not inherit it.
    int fd = open(_liblog.file_name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return 0;
    }
    struct stat st;
    FILE* f = NULL;
    if (fstat(fd, &st) != 0 || !(f = fdopen(fd, "a"))) {
        close(fd);
        return 0;
    }
    // A file left readable by others (older versions made it 0644) is closed to them too; a
    // device such as /dev/null is not ours to change.
    if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
        fprintf(stderr, "ERROR: logger: Failed to make `%s` private\n", _liblog.file_name);
    }
    make_rotated_private();
    _liblog.stream = f;
    _liblog.stream_dev = st.st_dev;
    _liblog.stream_ino = st.st_ino;
    return 1;
}

static int create_dirs(void) {
    strncpy(mkdir_path, _liblog.file_name, LOG_PATH_MAX - 1);
    mkdir_path[LOG_PATH_MAX - 1] = '\0';
    char* last = strrchr(mkdir_path, '/');
    if (!last) {
        return 0;
    }
    // Every directory level of the path; position 0 is the root of an absolute path.
    for (char* p = mkdir_path + 1; p <= last; ++p) {
        if (*p != '/') {
            continue;
        }
        *p = '\0';
        // Folders made here are private; one that exists already is left as it is.
        int rc = mkdir(mkdir_path, 0700);
        *p = '/';
        if (rc != 0 && errno != EEXIST) {
            return 0;
        }
    }
    return 1;
}

static void write_line_locked(const char* line, size_t len) {
    if (atomic_load_explicit(&_liblog.echo, memory_order_relaxed) && stdout) {
        file_write(stdout, line, len);
    }
    if (!atomic_load_explicit(&_liblog.has_file, memory_order_relaxed)) {
        return;
    }
    struct stat st;
    int st_ok = stat(_liblog.file_name, &st) == 0;
    file_rotate(&st, st_ok);
    if (_liblog.stream) {
        // Still the file under our name? Someone may have moved or deleted it.
        if (st_ok && st.st_dev == _liblog.stream_dev && st.st_ino == _liblog.stream_ino) {
            file_write(_liblog.stream, line, len);
            return;
        }
        close_stream();
    }
    if (open_stream() || (create_dirs() && open_stream())) {
        file_write(_liblog.stream, line, len);
    }
}

// Everything after the level test, kept out of line so that a disabled call stays cheap.
__attribute__((noinline)) static void log_enabled(unsigned level, const char* format,
                                                  va_list args) {
    struct timeval tv;
    gettimeofday(&tv, NULL);

    char stack_buf[LOG_STACK_LINE];
    char* buf = stack_buf;
    va_list ap;
    va_copy(ap, args);
    // Room for the text, a line feed and the terminator.
    int len = create_msg(stack_buf, sizeof stack_buf - 1, level, &tv, format, ap);
    va_end(ap);
    if (len < 0) {
        return;
    }
    if ((size_t)len >= sizeof stack_buf - 1) {
        buf = (char*)malloc((size_t)len + 2);
        if (!buf) {
            return;
        }
        va_copy(ap, args);
        int again = create_msg(buf, (size_t)len + 1, level, &tv, format, ap);
        va_end(ap);
        if (again < 0) {
            free(buf);
            return;
        }
        len = again < len ? again : len;
    }
    buf[len] = '\0';
    if (len == 0 || buf[len - 1] != '\n') {
        buf[len++] = '\n';
        buf[len] = '\0';
    }

    pthread_mutex_lock(&_liblog_lock);
    write_line_locked(buf, (size_t)len);
    pthread_mutex_unlock(&_liblog_lock);

    if (buf != stack_buf) {
        free(buf);
    }
}

void cli_log(unsigned level, const char* format, ...) {
    if (!atomic_load_explicit(&_liblog_inited, memory_order_acquire)) {
        init_logger_cli(NULL);
    }
    // The cheap test first: a disabled level costs one comparison.
    if ((level & atomic_load_explicit(&_liblog.level_mask, memory_order_relaxed)) != level) {
        return;
    }
    if (!atomic_load_explicit(&_liblog.echo, memory_order_relaxed) &&
        !atomic_load_explicit(&_liblog.has_file, memory_order_relaxed)) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    log_enabled(level, format, ap);
    va_end(ap);
}
