#include <cstdio>

#include "AppInfo.h"

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    std::printf("%s\n", kAppVersion);
    return 1;
}
