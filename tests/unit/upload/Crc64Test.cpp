#include <gtest/gtest.h>

#include <random>
#include <string>

#include "upload/Crc64.h"

namespace kavo {
namespace {

// Azurite checks every block's value and its header encoding; here the folding against the
// byte-wise tables for what whole blocks never show: every length, alignment and split.
TEST(Crc64, FoldingAgreesWithTheTablesForEveryLengthAlignmentAndSplit) {
    std::mt19937_64 random(7);
    std::string data(3000, '\0');
    for (auto& c : data) c = static_cast<char>(random());
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t size = 0; offset + size <= data.size(); size += (size < 300 ? 1 : 61)) {
            const char* p = data.data() + offset;
            ASSERT_EQ(Crc64::update(0, p, size), Crc64::updateWithTables(0, p, size))
                << "offset " << offset << " size " << size;
        }
    }
    // Continuing from a previous value is the same as one pass over the whole.
    const auto whole = Crc64::of(data);
    for (const std::size_t cut : {0, 1, 15, 64, 129, 1000, 2999})
        EXPECT_EQ(
            Crc64::update(Crc64::update(0, data.data(), cut), data.data() + cut, data.size() - cut),
            whole);
}

}  // namespace
}  // namespace kavo
