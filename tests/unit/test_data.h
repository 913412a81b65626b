// The committed vectors of tests/data (scripts/make-test-vectors.sh makes them); a missing file fails its test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return s;
}
