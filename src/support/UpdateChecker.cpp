#include "support/UpdateChecker.h"

#include <charconv>

#include "net/TextExcerpt.h"
#include "net/UrlText.h"

namespace kavo {

std::shared_ptr<UpdateChecker> UpdateChecker::create(UpdateManifestService service,
                                                     std::string runningVersion,
                                                     std::optional<Duration> interval,
                                                     std::function<WallTime()> now, Scheduler& main,
                                                     Scheduler& worker) {
    return std::make_shared<UpdateChecker>(PrivateTag{}, std::move(service),
                                           std::move(runningVersion), interval, std::move(now),
                                           main, worker);
}

UpdateChecker::UpdateChecker(PrivateTag, UpdateManifestService service, std::string runningVersion,
                             std::optional<Duration> interval, std::function<WallTime()> now,
                             Scheduler& main, Scheduler& worker)
    : service_(std::move(service)),
      runningVersion_(std::move(runningVersion)),
      interval_(interval),
      now_(std::move(now)),
      main_(main),
      worker_(worker) {}

UpdateChecker::~UpdateChecker() {
    stop_.request_stop();
}

void UpdateChecker::observe(Observer observer) {
    observers_.push_back(std::move(observer));
}

void UpdateChecker::startChecking() {
    if (!interval_) {
        return;
    }
    const std::weak_ptr<UpdateChecker> weak = weak_from_this();
    main_.post([weak] {
        if (auto checker = weak.lock()) {
            checker->checkIfDue();
        }
    });
    timer_.cancel();
    timer_ = main_.every(*interval_, *interval_ / 12, [weak] {
        if (auto checker = weak.lock()) {
            checker->checkIfDue();
        }
    });
}

void UpdateChecker::checkIfDue() {
    if (!interval_) {
        return;
    }
    if (lastCheckedAt_ && now_() - *lastCheckedAt_ < *interval_) {
        return;
    }
    check();
}

void UpdateChecker::check() {
    // Counted before the request, so a failed check also waits a whole interval.
    lastCheckedAt_ = now_();
    worker_.post(
        [weak = weak_from_this(), service = service_, stop = stop_.get_token(), &main = main_] {
            std::optional<UpdateManifest> manifest;
            std::string failure;
            try {
                manifest = service.fetch(stop);
            } catch (const std::exception& error) {
                failure = error.what();
            }
            main.post([weak, manifest = std::move(manifest), failure = std::move(failure)] {
                auto checker = weak.lock();
                if (!checker) {
                    return;
                }
                if (manifest) {
                    checker->apply(*manifest);
                } else {
                    checker->log_.debug("Update check failed: {}", failure);
                }
            });
        });
}

void UpdateChecker::apply(const UpdateManifest& manifest) {
    const auto running = parseVersion(runningVersion_);
    const auto latest = parseVersion(manifest.latestVersion);
    if (!running || !latest || !isOlder(*running, *latest)) {
        setAvailable(std::nullopt);
        return;
    }
    if (!isUsableDownloadPage(manifest.downloadPageUrl)) {
        log_.notice("Update manifest advertises {} with no usable download page",
                    manifest.latestVersion);
        setAvailable(std::nullopt);
        return;
    }
    setAvailable(AvailableUpdate{manifest.latestVersion, manifest.downloadPageUrl});
    log_.notice("Update available: running {}, published {}", runningVersion_,
                manifest.latestVersion);
}

void UpdateChecker::setAvailable(std::optional<AvailableUpdate> update) {
    if (available_ == update) {
        return;
    }
    available_ = std::move(update);
    for (const Observer& observer : observers_) {
        observer(available_);
    }
}

std::optional<UpdateChecker::Version> UpdateChecker::parseVersion(std::string_view text) {
    const std::string_view trimmed = trimmedWhitespace(text);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    Version version;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(trimmed.find('.', start), trimmed.size());
        const std::string_view piece = trimmed.substr(start, end - start);
        if (piece.empty()) {
            return std::nullopt;
        }
        for (const char c : piece) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
        }
        std::int64_t value = 0;
        const auto [rest, error] =
            std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (error != std::errc() || rest != piece.data() + piece.size()) {
            return std::nullopt;
        }
        version.push_back(value);
        if (end == trimmed.size()) {
            return version;
        }
        start = end + 1;
    }
}

bool UpdateChecker::isOlder(const Version& a, const Version& b) {
    const std::size_t length = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < length; ++i) {
        const std::int64_t left = i < a.size() ? a[i] : 0;
        const std::int64_t right = i < b.size() ? b[i] : 0;
        if (left != right) {
            return left < right;
        }
    }
    return false;
}

bool UpdateChecker::isUsableDownloadPage(std::string_view url) {
    const auto parsed = UrlText::parse(url);
    if (!parsed) {
        return false;
    }
    const auto colon = parsed->beforeQuery.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string scheme = parsed->beforeQuery.substr(0, colon);
    for (char& c : scheme) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return scheme == "https";
}

}  // namespace kavo
