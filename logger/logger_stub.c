// Placeholder until the log core lands: echo only.
#include <stdarg.h>
#include <stdio.h>

#include "logger.h"

int init_logger_cli(const logger_config* cfg) {
    (void)cfg;
    return 0;
}

void cli_log(unsigned level, const char* format, ...) {
    (void)level;
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}
