#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "audio/MonoDownmixer.h"

namespace kavo {
namespace {

// Interleaved frames of `channels` distinct values: frame f, channel c.
std::vector<float> interleaved(int frames, int channels) {
    std::vector<float> samples;
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) samples.push_back(0.001f * float(f) - 0.3f * float(c));
    return samples;
}

std::vector<float> downmix(MonoDownmixer& downmixer, const std::vector<float>& samples,
                           std::uint32_t channels, std::size_t bytes = 0) {
    const std::array buffers{AudioBuffer{
        channels, static_cast<std::uint32_t>(bytes ? bytes : samples.size() * 4), samples.data()}};
    const auto mono = downmixer.downmix(AudioBufferList{buffers});
    return {mono.begin(), mono.end()};
}

// A server's source delivers one interleaved buffer; a part frame at its end is left out.
TEST(MonoDownmixer, AveragesTheChannelsOfEachWholeFrameUpToItsCapacity) {
    MonoDownmixer downmixer(12'000);
    const auto stereo = interleaved(480, 2);
    const auto mono = downmix(downmixer, stereo, 2);
    ASSERT_EQ(mono.size(), 480U);
    EXPECT_EQ(mono[479], (stereo[958] + stereo[959]) * 0.5f);
    const auto single = interleaved(480, 1);
    EXPECT_EQ(downmix(downmixer, single, 1), single);
    EXPECT_EQ(downmix(downmixer, stereo, 2, 2 * 4 * 7 + 5).size(), 7U);
    MonoDownmixer small(100);
    EXPECT_EQ(downmix(small, stereo, 2).size(), 100U);
}

}  // namespace
}  // namespace kavo
