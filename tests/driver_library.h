// The driver library as a host loads it: from its own path (once EndVpi has
// returned the library may be unloaded at once, and loading the same path
// again gives a fresh driver), or as a fresh copy under a name of its own,
// for tests that keep earlier copies loaded: each copy has its own module
// state (stop byte, buffers).
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "host/records.h"

struct LoadedDriver {
    void* handle = nullptr;
    VpiMainFunction vpiMain = nullptr;
};

inline LoadedDriver LoadDriver(const std::string& path) {
    LoadedDriver driver;
    driver.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!driver.handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    driver.vpiMain = reinterpret_cast<VpiMainFunction>(dlsym(driver.handle, "VpiMain"));
    if (!driver.vpiMain) throw std::runtime_error("no VpiMain");
    return driver;
}

inline LoadedDriver LoadFreshDriver() {
    static std::atomic<int> serial{0};
    namespace fs = std::filesystem;
    const fs::path copy = fs::temp_directory_path() / ("teldrv-" + std::to_string(getpid()) + "-" +
                                                       std::to_string(serial++) + ".so");
    fs::copy_file(TELDRV_LIBRARY, copy, fs::copy_options::overwrite_existing);
    struct Remove {
        fs::path path;
        ~Remove() { fs::remove(path); }
    } remove{copy};
    return LoadDriver(copy.string());
}

// Whether the file at `path` is mapped into this process.
inline bool Mapped(const std::string& path) {
    const std::string wanted = std::filesystem::canonical(path).string();
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const size_t at = line.find('/');
        if (at != std::string::npos && line.compare(at, std::string::npos, wanted) == 0) return true;
    }
    return false;
}
