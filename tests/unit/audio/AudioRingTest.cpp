#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioRing.h"

namespace kavo {
namespace {

// One producer and one consumer thread, as on the audio path: the producer writes running
// frame numbers in odd-sized blocks, mostly pacing itself but now and then bursting past
// the consumer; every frame must arrive in order or be counted as refused, in whole blocks.
TEST(AudioRingConcurrency, EveryFrameArrivesInOrderOrIsCountedAsDropped) {
    // Frame numbers stay below 2^24, where floats hold every integer exactly.
    std::vector<std::int64_t> blockSizes;
    std::vector<bool> isBlockStart(1, true);
    std::int64_t total = 0;
    std::minstd_rand random(20240607);
    while (total < 10'000'000) {
        blockSizes.push_back(1 + 2 * static_cast<std::int64_t>(random() % 400));
        total += blockSizes.back();
        isBlockStart.resize(static_cast<std::size_t>(total + 1), false);
        isBlockStart[static_cast<std::size_t>(total)] = true;
    }

    AudioRing ring(4096);
    // Frames the consumer has seen arrive or counted as refused. Relaxed only: it paces the
    // producer and must not add any ordering the ring does not provide itself.
    std::atomic<std::int64_t> accountedFor{0};
    std::thread producer([&] {
        std::vector<float> block(800);
        std::int64_t next = 0;
        for (std::size_t b = 0; b < blockSizes.size(); ++b) {
            const auto size = blockSizes[b];
            std::iota(block.begin(), block.begin() + size, static_cast<float>(next));
            const bool burst = b % 64 >= 48;
            while (!burst &&
                   next - accountedFor.load(std::memory_order_relaxed) > ring.capacity() - size) {
                std::this_thread::yield();
            }
            ring.write(block.data(), size);
            next += size;
        }
    });

    const std::int64_t chunkSizes[] = {333, 97, 1001, 17, 4096};
    std::vector<float> chunk(4096);
    std::int64_t expected = 0, received = 0, dropped = 0, gapFrames = 0, reads = 0;
    std::string failure;  // frames lost uncounted hang here until the test's timeout
    while (failure.empty() && received + dropped < total) {
        dropped += ring.takeDropped();
        // A refused block is counted before any later block is published.
        if (gapFrames > dropped) failure = "frames missing before they were counted as refused";
        const auto n = failure.empty() ? ring.read(chunk.data(), chunkSizes[reads++ % 5]) : 0;
        for (std::int64_t i = 0; i < n && failure.empty(); ++i) {
            const auto value = static_cast<std::int64_t>(chunk[static_cast<std::size_t>(i)]);
            if (value != expected) {
                if (value < expected || value >= total ||
                    !isBlockStart[static_cast<std::size_t>(expected)] ||
                    !isBlockStart[static_cast<std::size_t>(value)]) {
                    failure = "frame " + std::to_string(value) + " arrived where " +
                              std::to_string(expected) + " was due";
                }
                gapFrames += value - expected;
            }
            expected = value + 1;
        }
        received += n;
        accountedFor.store(received + dropped, std::memory_order_relaxed);
        if (n == 0) std::this_thread::yield();
    }
    if (!failure.empty()) accountedFor.store(total + (std::int64_t{1} << 40));  // free the producer
    producer.join();
    ASSERT_EQ(failure, "");

    dropped += ring.takeDropped();
    float extra;
    EXPECT_EQ(ring.read(&extra, 1), 0);
    EXPECT_EQ(received + dropped, total);
    EXPECT_TRUE(isBlockStart[static_cast<std::size_t>(expected)]);
    EXPECT_EQ(gapFrames + (total - expected), dropped);
    EXPECT_GT(received, 0);
}

}  // namespace
}  // namespace kavo
