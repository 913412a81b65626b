// The committed vectors of tests/data (scripts/make-test-vectors.sh makes them); a missing file fails its test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// A file of tests/data, or of another folder.
inline std::vector<unsigned char> readTestData(const std::string &name, const std::string &dir = KV_TEST_DATA_DIR)
{
    std::ifstream f(dir + "/" + name, std::ios::binary);
    EXPECT_TRUE(f.good()) << "missing file " << dir << "/" << name;
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Signed 16-bit little-endian samples.
inline std::vector<int16_t> readTestSamples(const std::string &name)
{
    const std::vector<unsigned char> bytes = readTestData(name);
    std::vector<int16_t> s(bytes.size() / 2);
    std::memcpy(s.data(), bytes.data(), s.size() * 2); // the files are little-endian, as this machine
    return s;
}
