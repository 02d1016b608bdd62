#include <gtest/gtest.h>

#include <vector>

#include "audio/MonoDownmixer.h"

namespace kavo {
namespace {

AudioBuffer bufferOf(const std::vector<float>& samples, std::uint32_t channels) {
    return {channels, static_cast<std::uint32_t>(samples.size() * sizeof(float)), samples.data()};
}

// Distinct, non-trivial sample values: frame f, channel c.
float sampleAt(int f, int c) {
    return 0.001f * static_cast<float>(f) - 0.3f * static_cast<float>(c) + 0.125f;
}

std::vector<float> interleaved(int frameCount, int channels, int firstChannel = 0) {
    std::vector<float> samples;
    for (int f = 0; f < frameCount; ++f)
        for (int c = 0; c < channels; ++c) samples.push_back(sampleAt(f, firstChannel + c));
    return samples;
}

std::vector<float> downmix(MonoDownmixer& downmixer, std::initializer_list<AudioBuffer> buffers) {
    const std::vector<AudioBuffer> list(buffers);
    const auto mono = downmixer.downmix(AudioBufferList{std::span<const AudioBuffer>(list)});
    return {mono.begin(), mono.end()};
}

TEST(MonoDownmixer, AveragesEveryChannelOverTheFramesAllBuffersHold) {
    MonoDownmixer downmixer(12'000);
    const auto stereo = interleaved(480, 2);
    const auto left = interleaved(480, 1, 0);
    const auto right = interleaved(480, 1, 1);
    const auto third = interleaved(400, 1, 2);
    const auto fromInterleaved = downmix(downmixer, {bufferOf(stereo, 2)});
    ASSERT_EQ(fromInterleaved.size(), 480U);
    EXPECT_EQ(downmix(downmixer, {bufferOf(left, 1), bufferOf(right, 1)}), fromInterleaved);
    EXPECT_EQ(fromInterleaved[479], (sampleAt(479, 0) + sampleAt(479, 1)) * 0.5f);
    EXPECT_EQ(downmix(downmixer, {bufferOf(left, 1)}), left);
    const auto out = downmix(downmixer, {bufferOf(stereo, 2), bufferOf(third, 1)});
    ASSERT_EQ(out.size(), 400U);
    for (int f = 0; f < 400; f += 57) {
        EXPECT_NEAR(out[static_cast<std::size_t>(f)],
                    (sampleAt(f, 0) + sampleAt(f, 1) + sampleAt(f, 2)) / 3, 1e-6);
    }
}

TEST(MonoDownmixer, StopsAtItsCapacityAndSkipsBuffersItCannotRead) {
    const auto stereo = interleaved(480, 2);
    const auto mono = interleaved(10, 1, 5);
    MonoDownmixer small(100);
    EXPECT_EQ(downmix(small, {bufferOf(stereo, 2)}).size(), 100U);
    // No channels, no data, less than one frame's bytes: none count, not even towards the
    // divisor; a byte size that is not a whole number of frames counts the whole frames.
    MonoDownmixer downmixer(1'000);
    EXPECT_EQ(
        downmix(
            downmixer,
            {{0, 80, stereo.data()}, {2, 80, nullptr}, {2, 7, stereo.data()}, bufferOf(mono, 1)}),
        mono);
    EXPECT_EQ(downmix(downmixer, {{2, 2 * 4 * 7 + 5, stereo.data()}}).size(), 7U);
}

}  // namespace
}  // namespace kavo
