// The audio server restarted under a running program, as PipeWire or PulseAudio is on a
// package upgrade or a crash: once it is back, recordings and the conferencing watch
// work again without restarting the program.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>

#include "PulseTestSupport.h"
#include "app/PulseAudioConnection.h"
#include "base/SerialQueue.h"
#include "support/PulseDaemon.h"
#include "support/TempDir.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;

TEST(PulseAudioConnection, RecordsAndWatchesAgainOnceARestartedServerIsBack) {
    auto daemon = std::make_unique<testing::PulseDaemon>();
    testing::TempDir captures;
    SystemClock clock;
    SerialQueue main{"reconnect-test.main"};
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<ConferenceActivity> lastReport;
    std::optional<PulseAudioConnection> connection;
    main.sync([&] {
        connection.emplace(clock, main, captures.path());
        connection->conference().setOnChange([&](const ConferenceActivity& activity) {
            std::lock_guard lock(mutex);
            lastReport = activity;
            changed.notify_all();
        });
        connection->conference().start();
    });
    const auto reported = [&](const std::set<std::string>& apps) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 8s, [&] { return lastReport && lastReport->apps == apps; });
    };
    const auto error = [&] {
        std::optional<std::string> now;
        main.sync([&] { now = connection->error(); });
        return now;
    };
    EXPECT_EQ(error(), std::nullopt);
    {
        auto zoom = testing::PulseDaemon::spawn(
            {"parec", "--device=mic", "--property=application.process.binary=zoom"});
        ASSERT_TRUE(reported({"zoom"}));

        // The server goes while the call holds the microphone: nobody holds it any more
        // as far as the program can tell, and recording says why it cannot start.
        daemon.reset();
        for (int i = 0; i < 50 && !error(); ++i) {
            main.sync([&] { connection->check(); });
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_EQ(error(), "The audio server went away");
    EXPECT_TRUE(reported({}));
    main.sync([&] {
        auto session = connection->sessionFactory()(std::nullopt);
        EXPECT_THROW(session->start(), PulseError);
    });

    // Back: the next check connects to the new server.
    daemon = std::make_unique<testing::PulseDaemon>();
    main.sync([&] { connection->check(); });
    ASSERT_EQ(error(), std::nullopt);

    const auto zoom = testing::PulseDaemon::spawn(
        {"parec", "--device=mic", "--property=application.process.binary=zoom"});
    EXPECT_TRUE(reported({"zoom"}));

    // The new server's microphone already sounds when the recording starts.
    const auto voice = daemon->play("micsrc", daemon->tone(440, 10));
    std::this_thread::sleep_for(1s);
    std::unique_ptr<CaptureController::Session> session;
    std::filesystem::path file;
    main.sync([&] {
        session = connection->sessionFactory()(std::nullopt);
        file = session->start();
    });
    std::this_thread::sleep_for(5s);
    main.sync([&] {
        session->stop();
        session.reset();
    });
    const auto samples = pulse_test::readSamples(file);
    const double seconds = static_cast<double>(samples.size()) / 16'000;
    ASSERT_GT(seconds, 4);
    EXPECT_GT(pulse_test::toneAmplitude(
                  pulse_test::secondsOf(samples, seconds - 2.5, seconds - 0.5), 16'000, 440),
              0.1)
        << "the new server's microphone is not in the recording";

    main.sync([&] { connection.reset(); });
}

}  // namespace
}  // namespace kavo::linux_platform
