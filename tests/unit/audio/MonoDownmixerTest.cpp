#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "audio/MonoDownmixer.h"

namespace kavo {
namespace {

std::vector<float> downmix(MonoDownmixer& downmixer, const std::vector<float>& samples,
                           std::uint32_t channels, std::size_t bytes = 0) {
    const std::array buffers{AudioBuffer{
        channels, static_cast<std::uint32_t>(bytes ? bytes : samples.size() * 4), samples.data()}};
    const auto mono = downmixer.downmix(AudioBufferList{buffers});
    return {mono.begin(), mono.end()};
}

// A part frame at the end of a server's interleaved buffer is left out.
TEST(MonoDownmixer, AveragesTheChannelsOfEachWholeFrameUpToItsCapacity) {
    std::vector<float> stereo;
    for (int f = 0; f < 480; ++f) stereo.insert(stereo.end(), {0.001f * float(f), -0.3f});
    MonoDownmixer downmixer(12'000);
    const auto mono = downmix(downmixer, stereo, 2);
    ASSERT_EQ(mono.size(), 480U);
    EXPECT_EQ(mono[479], (stereo[958] + stereo[959]) * 0.5f);
    EXPECT_EQ(downmix(downmixer, stereo, 1), stereo);
    EXPECT_EQ(downmix(downmixer, stereo, 2, 2 * 4 * 7 + 5).size(), 7U);
    MonoDownmixer small(100);
    EXPECT_EQ(downmix(small, stereo, 2).size(), 100U);
}

}  // namespace
}  // namespace kavo
