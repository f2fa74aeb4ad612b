// C-style log library: level bits, one line format, rotating file, echo to stdout.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Level bits. A message has exactly one; the mask may hold several.
enum {
    LL_CRITICAL = 1,
    LL_ERROR = 2,
    LL_WARNING = 4,
    LL_INFO = 16,
    LL_DEBUG = 1024,
    LL_BRIDGE = 2048,  // bridged framework messages without another mapping; printed as INFO
};

typedef struct logger_config {
    const char* file_name;  // null: no file
    uint32_t level_mask;    // all-ones selects the default mask 23
    int32_t max_file_size;
    int32_t close_delay_us;
    int32_t rotate_count;
    uint32_t newline_before_prefix;
    uint32_t cache_zone;
    uint32_t cli_mode;
    uint32_t echo_stdout;
} logger_config;

// 0 on success or when already initialised, a negative errno value on failure.
int init_logger_cli(const logger_config* cfg);
void cli_log(unsigned level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Closes the file and forgets the configuration; the next init_logger_cli starts afresh.
// Called by the owner of the log once every other thread has ended.
void deinit_logger_cli(void);

// The active level mask; all-ones selects the default mask 23.
void set_log_level_mask(uint32_t mask);
uint32_t get_log_level_mask(void);

#ifdef __cplusplus
}
#endif
