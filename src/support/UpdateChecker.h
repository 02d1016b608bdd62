#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "support/AvailableUpdate.h"
#include "support/UpdateManifestService.h"

namespace kavo {

// Learns from the published manifest whether a newer version exists, at start and then
// once per interval, and offers its download page. Every call is made on the main
// scheduler; the fetch runs on the worker scheduler and its result comes back to main.
class UpdateChecker : public std::enable_shared_from_this<UpdateChecker> {
public:
    using Version = std::vector<std::int64_t>;
    using Observer = std::function<void(const std::optional<AvailableUpdate>&)>;

    static constexpr Duration kDefaultInterval = std::chrono::hours(6);

    // Without an interval the checker never checks.
    static std::shared_ptr<UpdateChecker> create(UpdateManifestService service,
                                                 std::string runningVersion,
                                                 std::optional<Duration> interval,
                                                 std::function<WallTime()> now, Scheduler& main,
                                                 Scheduler& worker);

private:
    struct PrivateTag {};

public:
    // Through create() only: the checker hands out weak references to itself.
    UpdateChecker(PrivateTag, UpdateManifestService service, std::string runningVersion,
                  std::optional<Duration> interval, std::function<WallTime()> now, Scheduler& main,
                  Scheduler& worker);
    UpdateChecker(const UpdateChecker&) = delete;
    UpdateChecker& operator=(const UpdateChecker&) = delete;
    ~UpdateChecker();

    const std::optional<AvailableUpdate>& available() const { return available_; }
    const std::optional<WallTime>& lastCheckedAt() const { return lastCheckedAt_; }
    const std::string& runningVersion() const { return runningVersion_; }

    // Told when `available` changes, on the main scheduler.
    void observe(Observer observer);

    // Checks now and then every interval; a second call replaces the timer.
    void startChecking();
    // Checks when no check began within the last interval.
    void checkIfDue();

    // Digits separated by single full stops, each within 64 bits; nothing otherwise.
    static std::optional<Version> parseVersion(std::string_view text);
    // Missing trailing parts count as zero, so 1.2 equals 1.2.0.
    static bool isOlder(const Version& a, const Version& b);
    // Whether the page can be offered: a URL whose scheme is https in any case.
    static bool isUsableDownloadPage(std::string_view url);

private:
    void check();
    void apply(const UpdateManifest& manifest);
    void setAvailable(std::optional<AvailableUpdate> update);

    const UpdateManifestService service_;
    const std::string runningVersion_;
    const std::optional<Duration> interval_;
    const std::function<WallTime()> now_;
    Scheduler& main_;
    Scheduler& worker_;
    std::optional<AvailableUpdate> available_;
    std::optional<WallTime> lastCheckedAt_;
    TimerHandle timer_;
    std::vector<Observer> observers_;
    std::stop_source stop_;
    Logger log_{"UpdateChecker"};
};

}  // namespace kavo
