#include "Version.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("norvane-cli %s\n", norvane::kVersion);
            return 0;
        }
    }
    std::fprintf(stderr, "usage: norvane-cli --version\n");
    return 2;
}
