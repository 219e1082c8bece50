// Loads a fresh copy of the driver library, as a host that loads it anew:
// each copy has its own module state (stop byte, buffers). Most tests leave
// their copies loaded; the library keeps itself loaded while a driver thread
// is still leaving its code, so a copy may also be unloaded right after
// EndVpi, as a host would.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "host/records.h"

struct LoadedDriver {
    void* handle = nullptr;
    VpiMainFunction vpiMain = nullptr;
};

inline LoadedDriver LoadFreshDriver() {
    static std::atomic<int> serial{0};
    namespace fs = std::filesystem;
    const fs::path copy = fs::temp_directory_path() / ("teldrv-" + std::to_string(getpid()) + "-" +
                                                       std::to_string(serial++) + ".so");
    fs::copy_file(TELDRV_LIBRARY, copy, fs::copy_options::overwrite_existing);
    LoadedDriver driver;
    driver.handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    fs::remove(copy);
    if (!driver.handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    driver.vpiMain = reinterpret_cast<VpiMainFunction>(dlsym(driver.handle, "VpiMain"));
    if (!driver.vpiMain) throw std::runtime_error("no VpiMain");
    return driver;
}
