// A host process that brings no host runtime: loading the driver must fail
// with the loader's reason, never run with another library's err.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::printf("cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    std::printf("loaded %s without a host runtime\n", argv[1]);
    return 0;
}
