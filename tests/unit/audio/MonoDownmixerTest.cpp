#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/AllocationProbe.h"
#include "audio/MonoDownmixer.h"

namespace kavo {
namespace {

AudioBuffer bufferOf(const std::vector<float>& samples, std::uint32_t channels) {
    return {channels, static_cast<std::uint32_t>(samples.size() * sizeof(float)), samples.data()};
}

std::vector<float> frames(std::span<const float> mono) {
    return {mono.begin(), mono.end()};
}

// Distinct, non-trivial sample values: frame f, channel c.
float sampleAt(int f, int c) {
    return 0.001f * static_cast<float>(f) - 0.3f * static_cast<float>(c) + 0.125f;
}

std::vector<float> interleaved(int frameCount, int channels, int firstChannel = 0) {
    std::vector<float> samples;
    for (int f = 0; f < frameCount; ++f) {
        for (int c = 0; c < channels; ++c) {
            samples.push_back(sampleAt(f, firstChannel + c));
        }
    }
    return samples;
}

TEST(MonoDownmixer, StereoBecomesTheMeanWhetherInterleavedOrInTwoBuffers) {
    MonoDownmixer downmixer(12'000);
    const auto stereo = interleaved(480, 2);
    const AudioBuffer one[] = {bufferOf(stereo, 2)};
    const auto fromInterleaved = frames(downmixer.downmix({one}));
    ASSERT_EQ(fromInterleaved.size(), 480U);
    for (int f = 0; f < 480; ++f) {
        EXPECT_EQ(fromInterleaved[static_cast<std::size_t>(f)],
                  (sampleAt(f, 0) + sampleAt(f, 1)) * 0.5f)
            << "frame " << f;
    }

    const auto left = interleaved(480, 1, 0);
    const auto right = interleaved(480, 1, 1);
    const AudioBuffer two[] = {bufferOf(left, 1), bufferOf(right, 1)};
    EXPECT_EQ(frames(downmixer.downmix({two})), fromInterleaved);
}

TEST(MonoDownmixer, MonoIsCopiedUnchanged) {
    MonoDownmixer downmixer(1'000);
    const std::vector<float> mono = {0.5f, -1.0f, 1e-30f, 0.333333f, 7.0f};
    const AudioBuffer list[] = {bufferOf(mono, 1)};
    const auto out = downmixer.downmix({list});
    ASSERT_EQ(out.size(), mono.size());
    EXPECT_EQ(std::memcmp(out.data(), mono.data(), mono.size() * sizeof(float)), 0);
}

TEST(MonoDownmixer, TakesTheFramesEveryBufferHoldsAndAveragesAllChannels) {
    MonoDownmixer downmixer(12'000);
    const auto stereo = interleaved(480, 2, 0);
    const auto mono = interleaved(400, 1, 2);
    const AudioBuffer list[] = {bufferOf(stereo, 2), bufferOf(mono, 1)};
    const auto out = frames(downmixer.downmix({list}));
    ASSERT_EQ(out.size(), 400U);
    for (int f = 0; f < 400; ++f) {
        const float sum = sampleAt(f, 0) + sampleAt(f, 1) + sampleAt(f, 2);
        EXPECT_EQ(out[static_cast<std::size_t>(f)], sum * (1.0f / 3.0f)) << "frame " << f;
    }

    // The same with the shorter buffer first.
    const AudioBuffer reversed[] = {bufferOf(mono, 1), bufferOf(stereo, 2)};
    const auto out2 = frames(downmixer.downmix({reversed}));
    ASSERT_EQ(out2.size(), 400U);
    EXPECT_NEAR(out2[399], out[399], 1e-6);
}

TEST(MonoDownmixer, StopsAtItsCapacity) {
    MonoDownmixer downmixer(100);
    const auto stereo = interleaved(480, 2);
    const AudioBuffer list[] = {bufferOf(stereo, 2)};
    const auto out = frames(downmixer.downmix({list}));
    ASSERT_EQ(out.size(), 100U);
    EXPECT_EQ(out[99], (sampleAt(99, 0) + sampleAt(99, 1)) * 0.5f);

    MonoDownmixer none(0);
    EXPECT_TRUE(none.downmix({list}).empty());
    MonoDownmixer negative(-4);
    EXPECT_EQ(negative.capacity(), 0);
    EXPECT_TRUE(negative.downmix({list}).empty());
}

TEST(MonoDownmixer, SkipsBuffersItCannotRead) {
    MonoDownmixer downmixer(1'000);
    const auto stereo = interleaved(10, 2);
    const auto mono = interleaved(10, 1, 5);

    EXPECT_TRUE(downmixer.downmix({}).empty());
    const AudioBuffer nullData[] = {{2, 80, nullptr}};
    EXPECT_TRUE(downmixer.downmix({nullData}).empty());

    // No channels, no data, and less than one frame's bytes: none of them count, not even
    // towards the divisor.
    const AudioBuffer unusable[] = {
        {0, 80, stereo.data()}, {2, 80, nullptr}, {2, 7, stereo.data()}, bufferOf(mono, 1)};
    const auto out = frames(downmixer.downmix({unusable}));
    ASSERT_EQ(out.size(), 10U);
    for (int f = 0; f < 10; ++f) {
        EXPECT_EQ(out[static_cast<std::size_t>(f)], sampleAt(f, 5));
    }

    // A byte size that is not a whole number of frames counts the whole frames only.
    const AudioBuffer ragged[] = {{2, 2 * 4 * 7 + 5, stereo.data()}};
    EXPECT_EQ(downmixer.downmix({ragged}).size(), 7U);
}

TEST(MonoDownmixer, EachCallStartsFromSilence) {
    MonoDownmixer downmixer(1'000);
    const std::vector<float> loud(200, 0.75f);
    const std::vector<float> quiet(100, 0.25f);
    const AudioBuffer first[] = {bufferOf(loud, 2)};
    ASSERT_EQ(downmixer.downmix({first}).size(), 100U);
    const AudioBuffer second[] = {bufferOf(quiet, 1)};
    EXPECT_EQ(frames(downmixer.downmix({second})), quiet);
}

TEST(MonoDownmixer, DoesNotAllocate) {
    MonoDownmixer downmixer(12'000);
    const auto stereo = interleaved(4'800, 2);
    const AudioBuffer list[] = {bufferOf(stereo, 2)};
    const auto before = testing::allocationsOnThisThread();
    std::size_t total = 0;
    for (int i = 0; i < 10; ++i) {
        total += downmixer.downmix({list}).size();
    }
    EXPECT_EQ(testing::allocationsOnThisThread() - before, 0);
    EXPECT_EQ(total, 48'000U);
}

}  // namespace
}  // namespace kavo
