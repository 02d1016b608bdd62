#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>

#include "audio/Mixer.h"
#include "support/ManualScheduler.h"

namespace kavo {
namespace {

class RecordingSink final : public PCMSink {
public:
    void append(const std::int16_t* data, std::int64_t count) override {
        samples.insert(samples.end(), data, data + count);
    }
    std::vector<std::int16_t> samples;
};

// A mixer on simulated time whose ticks the test drives, one channel per rate.
struct ManualMixer {
    explicit ManualMixer(std::vector<double> rates) {
        for (std::size_t i = 0; i < rates.size(); ++i)
            channels.push_back(std::make_shared<Mixer::Channel>(i ? "system" : "mic", rates[i]));
        mixer = Mixer::create(
            channels, sink, [this] { return clock.hostTime(); }, scheduler);
    }
    void start(bool runTimer = false) {
        origin = clock.hostTime();
        mixer->start(runTimer);
    }
    void tickAt(double secondsSinceStart) {
        const auto target =
            origin + static_cast<std::uint64_t>(std::llround(secondsSinceStart * 1e9));
        clock.advance(Duration{static_cast<Duration::rep>(target - clock.hostTime())});
        mixer->tick();
    }
    Mixer::Channel& channel(std::size_t i) { return *channels.at(i); }
    // Host time of audio that lands at output frame 0.
    std::uint64_t landsFirst() const {
        return origin - static_cast<std::uint64_t>(Mixer::Channel::kAlignmentDelay) * 62'500;
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::vector<std::shared_ptr<Mixer::Channel>> channels;
    std::shared_ptr<Mixer> mixer;
    std::uint64_t origin = 0;
};

void feedConstant(Mixer::Channel& channel, float value, std::int64_t frames,
                  std::uint64_t hostTime) {
    const std::vector<float> block(static_cast<std::size_t>(frames), value);
    channel.deliver(block.data(), frames, hostTime);
}

TEST(MixerTick, WritesExactlyWhatTheHostClockSaysIsDue) {
    ManualMixer m({48'000, 44'100});
    m.start();
    feedConstant(m.channel(0), 0.1f, 4'800, m.landsFirst());
    const std::pair<double, std::int64_t> ticks[] = {{0.17312345, 2'770},
                                                     {1.0000312, 16'000},
                                                     {1.0000313, 16'001},
                                                     {1.0000313, 16'001},
                                                     {2.3456789, 37'531}};
    for (const auto& [at, total] : ticks) {
        m.tickAt(at);
        EXPECT_EQ(m.mixer->framesWritten(), total) << "at " << at << " s";
    }
    EXPECT_EQ(m.sink->samples.size(), 37'531U);
    // The stop writes what is due since the last tick.
    m.clock.advance(std::chrono::nanoseconds(154'321'100));
    m.mixer->stop();
    m.mixer->stop();
    EXPECT_EQ(m.mixer->framesWritten(), 40'000);
}

// One source: `rate` Hz, its first buffer captured `firstAt` s after the mixer started, a
// click at 1 s, in `chunk`-frame buffers. With `restartAt` the source stops there and
// starts again 0.3 s later, its click then at 1.5 s. Returns the loudest output frame.
std::int64_t clickLandsAt(double rate, double firstAt, std::int64_t chunk,
                          std::optional<double> restartAt = std::nullopt) {
    ManualMixer m({rate});
    m.start();
    const double clickAt = restartAt ? 1.5 : 1.0;
    std::int64_t next = 0;
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
    return std::max_element(out.begin(), out.end(),
                            [](auto a, auto b) { return std::abs(a) < std::abs(b); }) -
           out.begin();
}

TEST(MixerAlignment, EverySourceLandsWhereItsHostTimesSayWhateverItsStartRateAndBuffers) {
    constexpr std::int64_t kAtOneSecond = 16'000 + Mixer::Channel::kAlignmentDelay;
    EXPECT_NEAR(clickLandsAt(48'000, 0.25, 960), kAtOneSecond, 4);  // opened late
    EXPECT_NEAR(clickLandsAt(44'100, -0.3, 441), kAtOneSecond, 4);  // captured before start
    // A restarted source is put back in place: the gap in the file is the gap in the audio.
    EXPECT_NEAR(clickLandsAt(48'000, 0.0, 480, 1.0), 24'000 + Mixer::Channel::kAlignmentDelay, 4);
}

// A 48 kHz 1 kHz tone in 100 ms buffers whose host times are `late` output frames early
// from 2 s on (negative: late). What the ticks from 10 s on wrote, and the counters.
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
        const auto hostTime =
            static_cast<std::int64_t>(m.landsFirst()) + std::int64_t{tick} * 100'000'000 + shift;
        m.channel(0).deliver(block.data(), 4'800, static_cast<std::uint64_t>(hostTime));
        m.tickAt(tick * 0.1);
    }
    return {{m.sink->samples.begin() + 99 * 1'600, m.sink->samples.end()},
            m.channel(0).splicedFrames(),
            m.channel(0).driftCorrections()};
}

TEST(MixerDrift, AMisalignmentBeyondTheDeadBandIsSplicedAtTheFirstZeroCrossingAfter10s) {
    const auto reference = runDrift(0);
    ASSERT_EQ(reference.corrections, 0);
    const auto& ref = reference.mixed;
    const auto crossing = Mixer::Channel::zeroCrossing(std::vector<float>(ref.begin(), ref.end()),
                                                       static_cast<std::int64_t>(ref.size()));
    ASSERT_GT(crossing, 0);
    // Late is drift, taken out by at most 160; early is drift too, the audio after the crossing
    // said twice; early beyond 320 is lost audio, filled with silence at once.
    for (const auto& [late, spliced] :
         std::vector<std::pair<std::int64_t, std::int64_t>>{{16, 0},
                                                            {-16, 0},
                                                            {100, 100},
                                                            {2'000, 160},
                                                            {-100, -100},
                                                            {-300, -160},
                                                            {-400, -400}}) {
        SCOPED_TRACE(late);
        const auto run = runDrift(late);
        EXPECT_EQ(run.corrections, spliced != 0 ? 1 : 0);
        EXPECT_EQ(run.spliced, spliced);
        std::vector<std::int16_t> expected(ref.begin(), ref.begin() + crossing);
        if (spliced > 0) {
            expected.insert(expected.end(), ref.begin() + crossing + spliced, ref.end());
        } else if (-spliced > Mixer::Channel::kStepThreshold) {
            expected.insert(expected.end(), static_cast<std::size_t>(-spliced), 0);
            expected.insert(expected.end(), ref.begin() + crossing, ref.end());
        } else {
            expected.insert(expected.end(), ref.begin() + crossing,
                            ref.begin() + crossing - spliced);
            expected.insert(expected.end(), ref.begin() + crossing, ref.end());
        }
        ASSERT_EQ(run.mixed.size(), ref.size());
        expected.resize(std::min(expected.size(), ref.size()));
        EXPECT_EQ(std::vector(run.mixed.begin(), run.mixed.begin() + expected.size()), expected);
    }
}

TEST(MixerChannel, RefusedFramesBecomeSilenceOfTheSameLength) {
    Mixer::Channel channel("system", 48'000);
    const std::int64_t capacity = channel.ring().capacity();
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
}

// What the old rate delivered is resampled at that rate before a new one takes over.
TEST(MixerChannel, ReconfigureDrainsFirstAndRefusesARateItCannotTake) {
    Mixer::Channel channel("mic", 16'000);
    feedConstant(channel, 0.25f, 3'200, 1);
    channel.reconfigure(48'000);
    const std::int64_t drained = channel.backlog();
    EXPECT_GT(drained, 0);
    feedConstant(channel, 0.25f, 4'800, 1);
    channel.reconfigure(44'100);
    EXPECT_EQ(channel.backlog(), drained + 1'600);
    EXPECT_THROW(channel.reconfigure(std::numeric_limits<double>::quiet_NaN()), MixerError);
    EXPECT_EQ(channel.sampleRate(), 44'100);
}

TEST(MixerOutput, TwoLoudSourcesAreLimitedAndSamplesRoundAwayFromZeroAndClamp) {
    ManualMixer m({48'000, 48'000});
    m.start();
    feedConstant(m.channel(0), 0.6f, 48'000, m.landsFirst());
    feedConstant(m.channel(1), 0.6f, 48'000, m.landsFirst());
    m.tickAt(0.9);
    EXPECT_TRUE(std::all_of(m.sink->samples.end() - 8'000, m.sink->samples.end(),
                            [](std::int16_t s) { return s == 29'204; }));  // -1 dBFS

    const std::pair<float, std::int16_t> cases[] = {{0.5f, 16'384},
                                                    {-0.5f, -16'384},
                                                    {0.49999997f, 16'383},
                                                    {-2.0f, -32'768},
                                                    {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto& [in, expected] : cases) {
        std::int16_t out = 1;
        Mixer::convertToInt16(&in, &out, 1);
        EXPECT_EQ(out, expected) << in;
    }
}

// Takes the reference out of the microphone exactly, and counts its frames.
class SubtractingCanceller final : public EchoCanceller {
public:
    explicit SubtractingCanceller(int& frames) : frames_(frames) {}
    void process(float* nearEnd, const float* farEnd) noexcept override {
        for (std::int64_t i = 0; i < kFrameSize; ++i) nearEnd[i] -= farEnd[i];
        ++frames_;
    }

private:
    int& frames_;
};

// The microphone hears 0.5 and the system plays 0.25: 0.75 mixed, 0.5 with the echo out.
TEST(EchoCancellingMixer, CancelsWholeTenMillisecondFramesWhileOnAndTheLastOnePaddedAtStop) {
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on);
        ManualMixer m({16'000, 16'000});
        int frames = 0;
        m.mixer->cancelEcho(std::make_unique<SubtractingCanceller>(frames), m.channels[0],
                            m.channels[1]);
        m.mixer->setEchoCancellation(on);
        m.start();
        feedConstant(m.channel(0), 0.5f, 16'000, m.landsFirst());
        feedConstant(m.channel(1), 0.25f, 16'000, m.landsFirst());
        // 1 974 frames due: the 54 beyond whole frames wait for the next tick or the stop.
        m.tickAt(0.123'375);
        EXPECT_EQ(m.mixer->framesWritten(), on ? 1'920 : 1'974);
        m.mixer->stop();
        EXPECT_EQ(m.mixer->framesWritten(), 1'974);
        EXPECT_EQ(frames, on ? 13 : 0);
        EXPECT_EQ(m.mixer->echoCancelledFrames(), on ? 1'974 : 0);
        EXPECT_NEAR(m.sink->samples.at(1'950), (on ? 0.5 : 0.75) * 32'767, 40);
    }
}

}  // namespace
}  // namespace kavo
