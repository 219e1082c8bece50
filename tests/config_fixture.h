// Shared by the configuration file tests: a fresh working directory per test
// (the readers open bare names), file writing, open descriptor counting and
// an allocator that fails on demand.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/alloc_hook.h"
#include "sim/korpro_sim.h"
#include "tests/log_text.h"

namespace config_test {

namespace fs = std::filesystem;

inline void WriteFileBytes(const std::string& name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << name;
}

inline void WriteFileBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    WriteFileBytes(name, std::string(bytes.begin(), bytes.end()));
}

using log_test::LogText;

inline size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// The allocation numbered failingCall (from 1) after ArmAllocFailure fails.
inline int allocCalls = 0;
inline int failingCall = 0;
inline void* FailingAlloc(size_t size) { return ++allocCalls == failingCall ? nullptr : std::malloc(size); }
inline void ArmAllocFailure(int call) {
    allocCalls = 0;
    failingCall = call;
    driverAlloc = FailingAlloc;
}

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        korpro_sim::Reset();
        oldDirectory_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "teldrv-config-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        fs::current_path(directory_);
        savedAlloc_ = driverAlloc;
    }
    void TearDown() override {
        driverAlloc = savedAlloc_;
        fs::current_path(oldDirectory_);
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    const fs::path& Directory() const { return directory_; }

private:
    fs::path oldDirectory_;
    fs::path directory_;
    DriverAllocFunction savedAlloc_ = nullptr;
};

}  // namespace config_test
