#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>
#include <numbers>
#include <optional>

#include "audio/ConverterResampler.h"
#include "audio/Mixer.h"
#include "audio/ThreeToOneDecimator.h"
#include "base/SerialQueue.h"
#include "support/ManualScheduler.h"

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

// Host time of audio that lands at output frame 0 of a mixer started at `start`.
std::uint64_t landsFirst(std::uint64_t start) {
    return start - static_cast<std::uint64_t>(Mixer::Channel::kAlignmentDelay) * 62'500;
}

void feedConstant(Mixer::Channel& channel, float value, std::int64_t frames,
                  std::uint64_t hostTime) {
    const std::vector<float> block(static_cast<std::size_t>(frames), value);
    channel.deliver(block.data(), frames, hostTime);
}

TEST(MixerTick, WritesExactlyWhatTheHostClockSaysIsDueAtMostFiveSecondsATick) {
    ManualMixer m({48'000, 44'100});
    m.start();
    feedConstant(m.channel(0), 0.1f, 4'800, landsFirst(m.origin));
    m.tickAt(0.00003);  // less than half a frame: nothing drained or written
    EXPECT_TRUE(m.sink->calls.empty());
    EXPECT_EQ(m.channel(0).backlog(), 0);

    // Ticks land on 16 000 × elapsed, to the nearest frame.
    const std::pair<double, std::int64_t> ticks[] = {{0.1, 1'600},          {0.17312345, 2'770},
                                                     {1.000031200, 16'000}, {1.000031300, 16'001},
                                                     {1.000031300, 16'001}, {2.3456789, 37'531}};
    for (const auto& [at, total] : ticks) {
        m.tickAt(at);
        EXPECT_EQ(m.mixer->framesWritten(), total) << "at " << at << " s";
    }
    EXPECT_EQ(m.sink->samples.size(), 37'531U);
    EXPECT_EQ(m.sink->calls.size(), 5U);  // the repeated instant wrote nothing
    // All it had, less the decimator's delay, cut at the front to land by its host time.
    EXPECT_EQ(m.channel(0).emittedFrames(), 1'600 - m.channel(0).resampler().delay());
    for (const auto& channel : m.channels) {
        EXPECT_EQ(channel->emittedFrames() + channel->underrunFrames(), 37'531) << channel->name();
    }

    ManualMixer gap({16'000});
    gap.start();
    for (int i = 0; i < 4; ++i) gap.tickAt(12.0);
    EXPECT_EQ(gap.sink->calls, (std::vector<std::int64_t>{80'000, 80'000, 32'000}));
}

// One source: `rate` Hz, its first buffer captured `firstAt` s after the mixer started, a
// click at 1 s, delivered in `chunk`-frame buffers with their host times before each tick.
// When `restartAt` is set the source stops there and, reconfigured, starts again 0.3 s
// later, its click then at 1.5 s. Returns the output frame of the loudest sample.
std::int64_t clickLandsAt(double rate, double firstAt, std::int64_t chunk,
                          std::optional<double> restartAt = std::nullopt) {
    ManualMixer m({rate});
    m.start();
    const double clickAt = restartAt ? 1.5 : 1.0;
    std::int64_t next = 0;  // source frames since firstAt
    const auto timeOf = [&](std::int64_t frame) {
        return firstAt + static_cast<double>(frame) / rate;
    };
    std::vector<float> block(static_cast<std::size_t>(chunk));
    for (int tick = 1; tick <= 25; ++tick) {
        const double now = tick * 0.1;
        for (; timeOf(next + chunk) <= now + 1e-9; next += chunk) {
            if (restartAt && timeOf(next) >= *restartAt - 1e-9 && timeOf(next) < *restartAt + 0.3)
                continue;
            for (std::int64_t i = 0; i < chunk; ++i)
                block[static_cast<std::size_t>(i)] =
                    std::fabs(timeOf(next + i) - clickAt) < 0.5 / rate ? 0.9f : 0.0f;
            const auto hostTime =
                static_cast<std::int64_t>(m.origin) + std::llround(timeOf(next) * 1e9);
            m.channel(0).deliver(block.data(), chunk, static_cast<std::uint64_t>(hostTime));
        }
        m.tickAt(now);
        if (restartAt && std::fabs(now - *restartAt) < 1e-9) m.channel(0).reconfigure(rate);
    }
    const auto& out = m.sink->samples;
    const auto loudest = std::max_element(out.begin(), out.end(),
                                          [](auto a, auto b) { return std::abs(a) < std::abs(b); });
    return loudest - out.begin();
}

TEST(MixerAlignment, EverySourceLandsWhereItsHostTimesSayWhateverItsStartRateAndBuffers) {
    constexpr std::int64_t kAtOneSecond = 16'000 + Mixer::Channel::kAlignmentDelay;
    EXPECT_NEAR(clickLandsAt(48'000, 0.25, 960), kAtOneSecond, 4);  // opened late
    EXPECT_NEAR(clickLandsAt(44'100, -0.3, 441), kAtOneSecond, 4);  // captured before start
    EXPECT_NEAR(clickLandsAt(16'000, 0.0, 160), kAtOneSecond, 4);
    // A restarted source is put back in place: the gap in the file is the gap in the audio.
    EXPECT_NEAR(clickLandsAt(48'000, 0.0, 480, 1.0), 24'000 + Mixer::Channel::kAlignmentDelay, 4);
}

// A 48 kHz 1 kHz tone delivered in 100 ms buffers, each before the tick before the one
// that writes it (the source a tenth of a second ahead, as the alignment delay allows),
// its host times `late`
// output frames early from 2 s on (as if the source had gained audio there; negative:
// lost). Returns what the ticks from 10 s on wrote, and the channel's counters.
struct DriftRun {
    std::vector<std::int16_t> mixed;
    std::int64_t spliced;
    std::int64_t corrections;
};

DriftRun runDrift(std::int64_t late) {
    ManualMixer m({48'000});
    m.start();
    std::int64_t position = 0;
    std::vector<float> block(4'800);
    for (int tick = 1; tick <= 102; ++tick) {
        for (auto& sample : block) {
            sample = static_cast<float>(
                0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(position++) / 48 +
                               std::numbers::pi / 16));
        }
        const std::int64_t shift = tick > 20 ? -late * 62'500 : 0;
        const auto hostTime = static_cast<std::int64_t>(landsFirst(m.origin)) +
                              std::int64_t{tick} * 100'000'000 + shift;
        m.channel(0).deliver(block.data(), 4'800, static_cast<std::uint64_t>(hostTime));
        m.tickAt(tick * 0.1);
    }
    const auto& channel = m.channel(0);
    return {{m.sink->samples.begin() + 99 * 1'600, m.sink->samples.end()},
            channel.splicedFrames(),
            channel.driftCorrections()};
}

TEST(MixerDrift, AMisalignmentBeyondTheDeadBandIsSplicedAtTheFirstZeroCrossingAfter10s) {
    struct Case {
        std::int64_t late;
        std::int64_t spliced;  // positive: removed
    };
    const auto reference = runDrift(0);
    ASSERT_EQ(reference.corrections, 0);
    const auto& ref = reference.mixed;
    const auto crossing = Mixer::Channel::zeroCrossing(std::vector<float>(ref.begin(), ref.end()),
                                                       static_cast<std::int64_t>(ref.size()));
    ASSERT_GT(crossing, 0);
    // Late is drift, taken out by at most 160; early is drift too, the audio after the crossing
    // said twice; early beyond 320 is lost audio, filled with silence at once.
    for (const auto& c : {Case{16, 0}, Case{-16, 0}, Case{100, 100}, Case{2'000, 160},
                          Case{-100, -100}, Case{-300, -160}, Case{-400, -400}}) {
        SCOPED_TRACE(c.late);
        const auto run = runDrift(c.late);
        EXPECT_EQ(run.corrections, c.spliced != 0 ? 1 : 0);
        EXPECT_EQ(run.spliced, c.spliced);

        std::vector<std::int16_t> expected(ref.begin(), ref.begin() + crossing);
        if (c.spliced > 0) {
            expected.insert(expected.end(), ref.begin() + crossing + c.spliced, ref.end());
        } else if (-c.spliced > Mixer::Channel::kStepThreshold) {
            expected.insert(expected.end(), static_cast<std::size_t>(-c.spliced), 0);
            expected.insert(expected.end(), ref.begin() + crossing, ref.end());
        } else {
            expected.insert(expected.end(), ref.begin() + crossing,
                            ref.begin() + crossing - c.spliced);
            expected.insert(expected.end(), ref.begin() + crossing, ref.end());
        }
        ASSERT_EQ(run.mixed.size(), ref.size());
        const std::size_t compared = std::min(expected.size(), ref.size());
        EXPECT_EQ(std::vector(run.mixed.begin(), run.mixed.begin() + compared),
                  std::vector(expected.begin(), expected.begin() + compared));
    }
}

TEST(MixerChannel, ZeroCrossingIsTheFirstSignChangeInTheFirst320Frames) {
    using C = Mixer::Channel;
    EXPECT_EQ(C::zeroCrossing({0.5f, 0.2f, -0.1f, -0.3f}, 4), 2);
    EXPECT_EQ(C::zeroCrossing({-0.3f, -0.1f, 0.4f}, 3), 2);
    EXPECT_EQ(C::zeroCrossing({0.0f, 0.0f, 0.0f}, 3), 1);  // silence splices at once
    EXPECT_EQ(C::zeroCrossing({0.3f, 0.0f, 0.3f}, 3), 1);  // touching zero counts
    EXPECT_EQ(C::zeroCrossing({0.3f, 0.2f, 0.1f}, 3), 0);
    EXPECT_EQ(C::zeroCrossing({0.3f, -0.2f}, 1), 0);

    std::vector<float> late(400, 0.5f);
    std::fill(late.begin() + 319, late.end(), -0.5f);
    EXPECT_EQ(C::zeroCrossing(late, 400), 319);
    EXPECT_EQ(C::zeroCrossing(late, 319), 0);  // the limit keeps room for the piece
    late[319] = 0.5f;                          // first change now at 320: out of reach
    EXPECT_EQ(C::zeroCrossing(late, 400), 0);
}

TEST(MixerChannel, RefusedFramesBecomeSilenceOfTheSameLengthUpToFiveSeconds) {
    Mixer::Channel channel("system", 48'000);
    const std::int64_t capacity = channel.ring().capacity();
    ASSERT_EQ(capacity, 131'072);
    feedConstant(channel, 0.5f, capacity, 1);
    feedConstant(channel, 0.5f, 1'000, 1);  // no room: refused whole
    channel.drainRing();
    EXPECT_EQ(channel.droppedSourceFrames(), 1'000);
    ASSERT_EQ(channel.backlog(), (1'000 + capacity) / 3);

    // The silence comes first: the filter sees only zeros up to output 333 (input 999).
    std::vector<float> out(static_cast<std::size_t>(channel.backlog()));
    channel.read(out.data(), channel.backlog());
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 334, [](float s) { return s == 0.0f; }));
    EXPECT_NE(out[334], 0.0f);
    EXPECT_NEAR(out.back(), 0.5f, 1e-4f);

    Mixer::Channel flooded("system", 48'000);
    feedConstant(flooded, 0.5f, 300'000, 1);
    flooded.drainRing();
    EXPECT_EQ(flooded.droppedSourceFrames(), 300'000);
    EXPECT_EQ(flooded.backlog(), 240'000 / 3);  // five seconds at most
}

TEST(MixerChannel, ReconfigureDrainsFirstAndSwapsRingAndResamplerOnlyForANewRate) {
    Mixer::Channel channel("mic", 16'000);
    EXPECT_NE(dynamic_cast<const ConverterResampler*>(&channel.resampler()), nullptr);
    EXPECT_EQ(channel.ring().capacity(), 32'768);
    feedConstant(channel, 0.25f, 3'200, 1);
    const auto* ring = &channel.ring();
    const auto* resampler = &channel.resampler();
    channel.reconfigure(16'000.4);
    EXPECT_EQ(&channel.ring(), ring);
    EXPECT_EQ(&channel.resampler(), resampler);
    const std::int64_t drained = channel.backlog();
    EXPECT_GT(drained, 0);

    channel.reconfigure(48'000);
    EXPECT_NE(dynamic_cast<const ThreeToOneDecimator*>(&channel.resampler()), nullptr);
    EXPECT_EQ(channel.ring().capacity(), 131'072);
    EXPECT_EQ(channel.backlog(), drained);

    feedConstant(channel, 0.25f, 4'800, 1);
    channel.reconfigure(44'100);
    const auto* converter = dynamic_cast<const ConverterResampler*>(&channel.resampler());
    ASSERT_NE(converter, nullptr);
    EXPECT_EQ(converter->inputRate(), 44'100);
    EXPECT_EQ(channel.summary(), "mic[rate=44100 underrun=0 lastReal=0 dropped=0 backlog=" +
                                     std::to_string(drained + 1'600) + " corrections=0]");

    // A rate the mixer cannot take changes nothing.
    for (const double bad : {0.0, -48'000.0, 500'000.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(channel.reconfigure(bad), MixerError) << bad;
    }
    EXPECT_EQ(channel.sampleRate(), 44'100);
    EXPECT_EQ(&channel.resampler(), converter);
    EXPECT_THROW(Mixer::Channel("mic", 0.0), MixerError);
}

TEST(MixerLifecycle, TimerTicksEveryTenthOfASecondUntilStopWritesTheRest) {
    LogCapture logs;
    ManualMixer m({16'000, 16'000});
    m.tickAt(1.0);  // not started: nothing
    EXPECT_TRUE(m.sink->calls.empty());
    m.start(true);
    m.scheduler.advance(seconds(0.1));
    EXPECT_EQ(m.sink->calls, std::vector<std::int64_t>{1'600});
    m.mixer->start(true);  // already running: the start time stays
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
    EXPECT_EQ(m.sink->samples.size(), 18'400U);
    EXPECT_EQ(logs.messages("Mixer").size(), 1U);

    ManualMixer released({16'000});
    released.start(true);
    std::weak_ptr<Mixer> weak = released.mixer;
    released.mixer.reset();
    EXPECT_TRUE(weak.expired());
    released.scheduler.advance(seconds(1.0));
    EXPECT_TRUE(released.sink->calls.empty());
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
    feedConstant(m.channel(0), 0.6f, 48'000, landsFirst(m.origin));
    feedConstant(m.channel(1), 0.6f, 48'000, landsFirst(m.origin));
    m.tickAt(0.9);  // the decimator's delay short of the second's end
    ASSERT_EQ(m.sink->samples.size(), 14'400U);
    EXPECT_EQ(*std::max_element(m.sink->samples.begin(), m.sink->samples.end()), 29'204);
    EXPECT_TRUE(std::all_of(m.sink->samples.end() - 8'000, m.sink->samples.end(),
                            [](std::int16_t s) { return s == 29'204; }));  // 0.8912509 × 32767
}

TEST(MixerOutput, SixteenBitConversionRoundsHalvesAwayFromZeroAndClamps) {
    const std::pair<float, std::int16_t> cases[] = {{0.5f, 16'384},
                                                    {-0.5f, -16'384},
                                                    {0.8912509f, 29'204},
                                                    {0.49999997f, 16'383},
                                                    {-0.49999997f, -16'383},
                                                    {0.00001f, 0},
                                                    {1.0f, 32'767},
                                                    {-1.0f, -32'767},
                                                    {2.0f, 32'767},
                                                    {-2.0f, -32'768},
                                                    {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto& [in, expected] : cases) {
        std::int16_t out = 1;
        Mixer::convertToInt16(&in, &out, 1);
        EXPECT_EQ(out, expected) << in;
    }
}

}  // namespace
}  // namespace kavo
