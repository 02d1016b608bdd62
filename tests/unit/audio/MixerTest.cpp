#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>
#include <numbers>

#include "support/AllocationProbe.h"
#include "audio/ConverterResampler.h"
#include "audio/Mixer.h"
#include "audio/ThreeToOneDecimator.h"
#include "base/ManualScheduler.h"
#include "base/SerialQueue.h"

namespace kavo {
namespace {

class RecordingSink final : public PCMSink {
public:
    void append(const std::int16_t* data, std::int64_t count) override {
        samples.insert(samples.end(), data, data + count);
        calls.push_back(count);
    }
    std::vector<std::int16_t> samples;
    std::vector<std::int64_t> calls;
};

// A mixer on simulated time whose ticks the test drives, one channel per rate ("mic",
// then "system").
struct ManualMixer {
    explicit ManualMixer(std::vector<double> rates) {
        const char* names[] = {"mic", "system"};
        for (std::size_t i = 0; i < rates.size(); ++i) {
            channels.push_back(std::make_shared<Mixer::Channel>(names[i % 2], rates[i]));
        }
        mixer = Mixer::create(
            channels, sink, [this] { return clock.hostTime(); }, scheduler);
    }

    void start(bool runTimer = false) {
        origin = clock.hostTime();
        mixer->start(runTimer);
    }
    // Moves the clock to `secondsSinceStart` and ticks.
    void tickAt(double secondsSinceStart) {
        const auto target =
            origin + static_cast<std::uint64_t>(std::llround(secondsSinceStart * 1e9));
        clock.advance(Duration{static_cast<Duration::rep>(target - clock.hostTime())});
        mixer->tick();
    }
    Mixer::Channel& channel(std::size_t i) { return *channels.at(i); }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::vector<std::shared_ptr<Mixer::Channel>> channels;
    std::shared_ptr<Mixer> mixer;
    std::uint64_t origin = 0;
};

// A tone as an endpoint delivers it: blocks of mono floats into the channel's ring.
struct Tone {
    double frequency;
    double rate;
    double amplitude;
    double phase = 0.0;
    std::int64_t position = 0;

    void feed(Mixer::Channel& channel, std::int64_t frames) {
        std::vector<float> block(static_cast<std::size_t>(frames));
        for (auto& sample : block) {
            sample =
                static_cast<float>(amplitude * std::cos(2 * std::numbers::pi * frequency *
                                                            static_cast<double>(position++) / rate +
                                                        phase));
        }
        channel.deliver(block.data(), frames, 1);
    }
};

void feedConstant(Mixer::Channel& channel, float value, std::int64_t frames) {
    const std::vector<float> block(static_cast<std::size_t>(frames), value);
    channel.deliver(block.data(), frames, 1);
}

TEST(MixerTick, WritesExactlyWhatTheHostClockSaysIsDue) {
    ManualMixer m({48'000, 44'100});
    m.start();
    feedConstant(m.channel(0), 0.1f, 4'800);

    // 30 µs is less than half a frame: nothing is drained or written.
    m.tickAt(0.00003);
    EXPECT_TRUE(m.sink->calls.empty());
    EXPECT_EQ(m.channel(0).backlog(), 0);
    EXPECT_EQ(m.mixer->framesWritten(), 0);

    m.tickAt(0.1);
    EXPECT_EQ(m.sink->calls, std::vector<std::int64_t>{1'600});
    EXPECT_EQ(m.channel(0).emittedFrames(), 1'600);

    // Irregular ticks land on 16 000 × elapsed, to the nearest frame.
    const std::pair<double, std::int64_t> ticks[] = {{0.17312345, 2'770},   {0.25, 4'000},
                                                     {1.000031200, 16'000}, {1.000031300, 16'001},
                                                     {1.000031300, 16'001}, {2.3456789, 37'531}};
    for (const auto& [at, total] : ticks) {
        m.tickAt(at);
        EXPECT_EQ(m.mixer->framesWritten(), total) << "at " << at << " s";
    }
    EXPECT_EQ(m.sink->samples.size(), 37'531U);
    EXPECT_EQ(m.sink->calls.size(), 6U);  // the repeated instant wrote nothing
    for (const auto& channel : m.channels) {
        EXPECT_EQ(channel->emittedFrames() + channel->underrunFrames(), 37'531) << channel->name();
    }
}

TEST(MixerTick, ALongGapIsWorkedOffAtMostFiveSecondsPerTick) {
    ManualMixer m({16'000});
    m.start();
    m.tickAt(12.0);
    m.tickAt(12.0);
    m.tickAt(12.0);
    m.tickAt(12.0);
    EXPECT_EQ(m.sink->calls, (std::vector<std::int64_t>{80'000, 80'000, 32'000}));
    EXPECT_EQ(m.mixer->framesWritten(), 192'000);
}

TEST(MixerTick, ASilentSourceIsPaddedAndCountedAsUnderrun) {
    ManualMixer m({48'000, 48'000});
    m.start();
    for (int tick = 1; tick <= 5; ++tick) {
        if (tick <= 3) {
            feedConstant(m.channel(0), 0.25f, 4'800);
        }
        m.tickAt(0.1 * tick);
    }
    auto& mic = m.channel(0);
    auto& system = m.channel(1);
    EXPECT_EQ(mic.emittedFrames(), 4'800);
    EXPECT_EQ(mic.underrunFrames(), 3'200);
    EXPECT_EQ(mic.lastRealFrame(), 4'800);
    EXPECT_EQ(system.emittedFrames(), 0);
    EXPECT_EQ(system.underrunFrames(), 8'000);
    EXPECT_EQ(system.lastRealFrame(), 0);

    ASSERT_EQ(m.sink->samples.size(), 8'000U);
    EXPECT_NEAR(m.sink->samples[2'000], 8'192, 2);
    EXPECT_NEAR(m.sink->samples[4'799], 8'192, 2);
    EXPECT_TRUE(std::all_of(m.sink->samples.begin() + 4'800, m.sink->samples.end(),
                            [](std::int16_t s) { return s == 0; }));
}

// Drift scenario on a 48 kHz source carrying a 1 kHz tone (16 output frames a period,
// phased so that no output frame sits on zero: the first crossing is between frames 3
// and 4). A warm-up tick at 5 s consumes 1 600 frames; then `backlog` more frames are
// delivered and the second tick, at `secondTick` s, mixes them.
struct DriftRun {
    std::vector<std::int16_t> mixed;  // the second tick's real frames
    std::int64_t spliced;
    std::int64_t corrections;
};

DriftRun runDrift(std::int64_t backlog, double secondTick) {
    ManualMixer m({48'000});
    Tone tone{1'000, 48'000, 0.5, std::numbers::pi / 16};
    tone.feed(m.channel(0), 4'800);
    m.start();
    m.tickAt(5.0);
    tone.feed(m.channel(0), 3 * backlog);
    m.tickAt(secondTick);
    const auto& channel = m.channel(0);
    const auto first = m.sink->samples.begin() + 80'000;
    const std::int64_t real = channel.emittedFrames() - 1'600;
    return {{first, first + real}, channel.splicedFrames(), channel.driftCorrections()};
}

TEST(MixerDrift, BacklogWithinSevenFramesOf640IsLeftAlone) {
    for (const std::int64_t backlog : {633, 640, 647}) {
        const auto run = runDrift(backlog, 10.0);
        EXPECT_EQ(run.corrections, 0) << backlog;
        EXPECT_EQ(run.spliced, 0) << backlog;
        EXPECT_EQ(static_cast<std::int64_t>(run.mixed.size()), backlog);
    }
}

TEST(MixerDrift, LargerDeviationsAreSplicedAtTheFirstZeroCrossing) {
    struct Case {
        std::int64_t backlog;
        std::int64_t spliced;  // positive: removed
    };
    for (const auto& c : {Case{648, 8}, Case{2'000, 160}, Case{600, -40}, Case{100, -160}}) {
        SCOPED_TRACE(c.backlog);
        const auto reference = runDrift(c.backlog, 9.9);  // no check before 10 s
        const auto run = runDrift(c.backlog, 10.0);
        ASSERT_EQ(reference.corrections, 0);
        EXPECT_EQ(run.corrections, 1);
        EXPECT_EQ(run.spliced, c.spliced);
        ASSERT_EQ(static_cast<std::int64_t>(run.mixed.size()), c.backlog - c.spliced);

        // The tone falls through zero between frames 3 and 4; every piece goes there.
        const auto& ref = reference.mixed;
        ASSERT_GT(ref[3], 0);
        ASSERT_LT(ref[4], 0);
        std::vector<std::int16_t> expected(ref.begin(), ref.begin() + 4);
        if (c.spliced > 0) {
            expected.insert(expected.end(), ref.begin() + 4 + c.spliced, ref.end());
        } else {
            expected.insert(expected.end(), static_cast<std::size_t>(-c.spliced), 0);
            expected.insert(expected.end(), ref.begin() + 4, ref.end());
        }
        EXPECT_EQ(run.mixed, expected);
    }
}

TEST(MixerDrift, ChecksRunOnlyOnceTenSecondsOfHostTimeHavePassed) {
    ManualMixer m({48'000});
    m.start();
    const std::pair<double, std::int64_t> ticks[] = {{9.999, 0}, {10.0, 1}, {15.0, 1}, {19.999, 1},
                                                     {20.0, 2},  {29.0, 2}, {30.5, 3}};
    for (const auto& [at, corrections] : ticks) {
        feedConstant(m.channel(0), 0.0f, 6'000);  // a backlog of 2 000
        m.tickAt(at);
        EXPECT_EQ(m.channel(0).driftCorrections(), corrections) << "at " << at << " s";
    }
    EXPECT_EQ(m.channel(0).splicedFrames(), 3 * 160);
}

TEST(MixerChannel, ZeroCrossingIsTheFirstSignChangeInTheFirst320Frames) {
    using C = Mixer::Channel;
    EXPECT_EQ(C::zeroCrossing({0.5f, 0.2f, -0.1f, -0.3f}, 4), 2);
    EXPECT_EQ(C::zeroCrossing({-0.3f, -0.1f, 0.4f}, 3), 2);
    EXPECT_EQ(C::zeroCrossing({0.0f, 0.0f, 0.0f}, 3), 1);  // silence splices at once
    EXPECT_EQ(C::zeroCrossing({0.3f, 0.0f, 0.3f}, 3), 1);  // touching zero counts
    EXPECT_EQ(C::zeroCrossing({0.3f, 0.2f, 0.1f}, 3), 0);
    EXPECT_EQ(C::zeroCrossing({0.3f, -0.2f}, 1), 0);
    EXPECT_EQ(C::zeroCrossing({}, 5), 0);

    std::vector<float> late(400, 0.5f);
    for (std::size_t i = 319; i < late.size(); ++i) {
        late[i] = -0.5f;
    }
    EXPECT_EQ(C::zeroCrossing(late, 400), 319);
    EXPECT_EQ(C::zeroCrossing(late, 319), 0);  // the limit keeps room for the piece
    late[319] = 0.5f;                          // first change now at 320: out of reach
    EXPECT_EQ(C::zeroCrossing(late, 400), 0);
}

TEST(MixerChannel, RefusedFramesBecomeSilenceOfTheSameLengthUpToFiveSeconds) {
    Mixer::Channel channel("system", 48'000);
    const std::int64_t capacity = channel.ring().capacity();
    ASSERT_EQ(capacity, 131'072);
    feedConstant(channel, 0.5f, capacity);
    feedConstant(channel, 0.5f, 1'000);  // no room: refused whole
    channel.drainRing();
    EXPECT_EQ(channel.droppedSourceFrames(), 1'000);
    ASSERT_EQ(channel.backlog(), (1'000 + capacity) / 3);

    // The silence comes first: the filter sees only zeros up to output 333 (input 999).
    std::vector<float> out(static_cast<std::size_t>(channel.backlog()));
    channel.read(out.data(), channel.backlog());
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 334, [](float s) { return s == 0.0f; }));
    EXPECT_NE(out[334], 0.0f);
    EXPECT_NEAR(out[400], 0.5f, 1e-4f);
    EXPECT_NEAR(out.back(), 0.5f, 1e-4f);

    Mixer::Channel flooded("system", 48'000);
    feedConstant(flooded, 0.5f, 300'000);
    flooded.drainRing();
    EXPECT_EQ(flooded.droppedSourceFrames(), 300'000);
    EXPECT_EQ(flooded.backlog(), 240'000 / 3);  // five seconds at most
}

TEST(MixerChannel, ReconfigureDrainsFirstAndSwapsRingAndResamplerOnlyForANewRate) {
    Mixer::Channel channel("mic", 16'000);
    EXPECT_NE(dynamic_cast<const ConverterResampler*>(&channel.resampler()), nullptr);
    EXPECT_EQ(channel.ring().capacity(), 32'768);

    feedConstant(channel, 0.25f, 3'200);
    const auto* ring = &channel.ring();
    const auto* resampler = &channel.resampler();
    channel.reconfigure(16'000.4);
    EXPECT_EQ(&channel.ring(), ring);
    EXPECT_EQ(&channel.resampler(), resampler);
    const std::int64_t drained = channel.backlog();
    EXPECT_GT(drained, 0);

    channel.reconfigure(48'000);
    EXPECT_EQ(channel.sampleRate(), 48'000);
    EXPECT_NE(dynamic_cast<const ThreeToOneDecimator*>(&channel.resampler()), nullptr);
    EXPECT_EQ(channel.ring().capacity(), 131'072);
    EXPECT_EQ(channel.backlog(), drained);

    feedConstant(channel, 0.25f, 4'800);
    channel.reconfigure(44'100);
    EXPECT_EQ(channel.backlog(), drained + 1'600);  // the 48 kHz ring went through the decimator
    const auto* converter = dynamic_cast<const ConverterResampler*>(&channel.resampler());
    ASSERT_NE(converter, nullptr);
    EXPECT_EQ(converter->inputRate(), 44'100);
    EXPECT_EQ(channel.ring().capacity(), 131'072);
    EXPECT_EQ(channel.summary(), "mic[rate=44100 underrun=0 lastReal=0 dropped=0 backlog=" +
                                     std::to_string(drained + 1'600) + " corrections=0]");

    // A rate the mixer cannot take changes nothing.
    const auto* kept = &channel.resampler();
    for (const double bad : {0.0, -48'000.0, 500'000.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(channel.reconfigure(bad), MixerError) << bad;
    }
    EXPECT_EQ(channel.sampleRate(), 44'100);
    EXPECT_EQ(&channel.resampler(), kept);
    EXPECT_THROW(Mixer::Channel("mic", 0.0), MixerError);
}

TEST(MixerLifecycle, TimerTicksEveryTenthOfASecondUntilStopWritesTheRest) {
    LogCapture logs;
    ManualMixer m({16'000, 16'000});
    m.start(true);
    m.scheduler.advance(seconds(0.1));
    EXPECT_EQ(m.sink->calls, std::vector<std::int64_t>{1'600});
    m.scheduler.advance(seconds(1.0));
    EXPECT_EQ(m.mixer->framesWritten(), 17'600);
    EXPECT_EQ(m.sink->calls.size(), 11U);

    m.scheduler.advance(seconds(0.05));  // between two firings
    m.mixer->stop();
    EXPECT_FALSE(m.mixer->isRunning());
    EXPECT_EQ(m.mixer->framesWritten(), 18'400);
    const std::string silent =
        "[rate=16000 underrun=18400 lastReal=0 dropped=0 backlog=0 corrections=0]";
    EXPECT_EQ(logs.messages("Mixer"), std::vector<std::string>{"Mixer stopped: frames=18400 mic" +
                                                               silent + " system" + silent});

    m.mixer->stop();
    m.scheduler.advance(seconds(1.0));
    EXPECT_EQ(m.mixer->framesWritten(), 18'400);
    EXPECT_EQ(m.sink->samples.size(), 18'400U);
    EXPECT_EQ(logs.messages("Mixer").size(), 1U);
}

TEST(MixerLifecycle, StartTwiceAndTickWhenStoppedDoNothing) {
    ManualMixer m({16'000});
    m.tickAt(1.0);
    m.mixer->stop();
    EXPECT_TRUE(m.sink->calls.empty());

    m.start();
    m.tickAt(0.5);
    m.mixer->start(false);  // already running: the start time stays
    m.tickAt(1.0);
    EXPECT_EQ(m.mixer->framesWritten(), 16'000);
}

TEST(MixerLifecycle, AReleasedMixerStopsTicking) {
    ManualMixer m({16'000});
    m.start(true);
    std::weak_ptr<Mixer> weak = m.mixer;
    m.mixer.reset();
    EXPECT_TRUE(weak.expired());
    m.scheduler.advance(seconds(1.0));
    EXPECT_TRUE(m.sink->calls.empty());
}

TEST(MixerLifecycle, OwnQueueTicksAndSurvivesItsMixerBeingReleasedOnIt) {
    SystemClock clock;
    auto sink = std::make_shared<RecordingSink>();
    auto mixer = Mixer::create({std::make_shared<Mixer::Channel>("mic", 16'000)}, sink,
                               [&clock] { return clock.hostTime(); });
    mixer->start(false);
    clock.sleepFor(seconds(0.01));
    mixer->queue().sync([&] { mixer->tick(); });
    mixer->stop();
    EXPECT_GE(mixer->framesWritten(), 160);
    EXPECT_EQ(static_cast<std::int64_t>(sink->samples.size()), mixer->framesWritten());

    // The last owner lets go on the mixer's own queue, as a timer tick racing a release would.
    std::weak_ptr<Mixer> weak = mixer;
    auto owner = std::make_shared<std::shared_ptr<Mixer>>(std::move(mixer));
    Scheduler& queue = (*owner)->queue();
    std::promise<void> released;
    queue.post([weak, owner, &released] {
        auto self = weak.lock();
        owner->reset();
        self.reset();
        released.set_value();
    });
    released.get_future().wait();
    EXPECT_TRUE(weak.expired());
}

TEST(MixerOutput, TwoLoudSourcesAreLimitedToMinusOneDbfs) {
    ManualMixer m({48'000, 48'000});
    m.start();
    feedConstant(m.channel(0), 0.6f, 48'000);
    feedConstant(m.channel(1), 0.6f, 48'000);
    m.tickAt(1.0);
    ASSERT_EQ(m.sink->samples.size(), 16'000U);
    const auto peak = *std::max_element(m.sink->samples.begin(), m.sink->samples.end());
    EXPECT_EQ(peak, 29'204);  // 0.8912509 × 32767
    EXPECT_TRUE(std::all_of(m.sink->samples.end() - 8'000, m.sink->samples.end(),
                            [](std::int16_t s) { return s == 29'204; }));
}

TEST(MixerOutput, SixteenBitConversionRoundsHalvesAwayFromZeroAndClamps) {
    const float in[] = {0.5f,
                        -0.5f,
                        0.8912509f,
                        0.25f,
                        0.49999997f,
                        -0.49999997f,
                        0.00001f,
                        1.0f,
                        -1.0f,
                        2.0f,
                        -2.0f,
                        0.0f,
                        std::numeric_limits<float>::quiet_NaN()};
    const std::int16_t expected[] = {16'384, -16'384, 29'204, 8'192,   16'383, -16'383, 0,
                                     32'767, -32'767, 32'767, -32'768, 0,      0};
    std::int16_t out[std::size(in)] = {};
    Mixer::convertToInt16(in, out, static_cast<std::int64_t>(std::size(in)));
    for (std::size_t i = 0; i < std::size(in); ++i) {
        EXPECT_EQ(out[i], expected[i]) << in[i];
    }
}

TEST(MixerOutput, SteadyTicksAllocateNothing) {
    // Two 48 kHz sources, one ahead of the clock and one far behind, so that the drift
    // checks both remove and insert frames.
    ManualMixer m({48'000, 48'000});
    m.start();
    std::vector<float> fast(4'830);
    std::vector<float> slow(1'500);
    std::int64_t position = 0;
    auto fillAndTick = [&](int tick) {
        for (std::size_t i = 0; i < fast.size(); ++i) {
            fast[i] = static_cast<float>(
                0.3 *
                std::sin(0.0576 * static_cast<double>(position + static_cast<std::int64_t>(i))));
            if (i < slow.size()) {
                slow[i] = -fast[i];
            }
        }
        position += static_cast<std::int64_t>(fast.size());
        m.channel(0).deliver(fast.data(), static_cast<std::int64_t>(fast.size()), 1);
        m.channel(1).deliver(slow.data(), static_cast<std::int64_t>(slow.size()), 1);
        m.tickAt(0.1 * tick);
    };
    for (int tick = 1; tick <= 20; ++tick) {
        fillAndTick(tick);
    }
    m.sink->samples.reserve(400'000);
    m.sink->calls.reserve(250);
    const auto before = testing::allocationsOnThisThread();
    for (int tick = 21; tick <= 250; ++tick) {
        fillAndTick(tick);  // two drift checks
    }
    EXPECT_EQ(testing::allocationsOnThisThread() - before, 0);
    EXPECT_EQ(m.channel(0).driftCorrections(), 2);
    EXPECT_EQ(m.channel(1).driftCorrections(), 2);
    EXPECT_EQ(m.channel(0).splicedFrames(), 2 * 160);
    EXPECT_EQ(m.channel(1).splicedFrames(), -2 * 140);  // backlog 500 at each check
}

}  // namespace
}  // namespace kavo
