// The log starts with its echo on and no file, so that tests read the lines from standard output.
#include <gtest/gtest.h>

#include "logger.h"

namespace {

class LogEcho : public ::testing::Environment {
public:
    void SetUp() override {
        deinit_logger_cli();
        logger_config cfg{};
        cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_BRIDGE;
        cfg.max_file_size = 10485760;
        cfg.rotate_count = 3;
        cfg.cli_mode = 1;
        cfg.echo_stdout = 1;
        ASSERT_EQ(init_logger_cli(&cfg), 0);
    }
};

[[maybe_unused]] ::testing::Environment* const logEcho =
    ::testing::AddGlobalTestEnvironment(new LogEcho);

}  // namespace
