// Unit tests that work on files: each test runs in a fresh directory of its
// own, made the working directory, with the small file helpers they share.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "gtestfp.h"

class workdirtest : public ::testing::Test {
protected:
    void SetUp() override {
        old = std::filesystem::current_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              (std::string("fp-unit-") + info->test_suite_name() + "-" + info->name() + "-" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        std::filesystem::current_path(old);
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path old;
    std::filesystem::path dir;  // the working directory of the test
};

// The whole content of a file ("" when it cannot be read).
inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes data as the whole content of a file.
inline void spill(const std::filesystem::path& p, const std::string& data) {
    std::ofstream(p, std::ios::binary) << data;
}
