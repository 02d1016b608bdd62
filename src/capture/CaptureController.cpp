#include "capture/CaptureController.h"

#include <exception>
#include <utility>

#include "capture/ElapsedTimeText.h"
#include "capture/files/WavRepair.h"

namespace kavo {
namespace {

class RecordingSession final : public CaptureController::Session {
public:
    explicit RecordingSession(std::shared_ptr<CaptureSession> session)
        : session_(std::move(session)) {}

    std::filesystem::path start() override { return session_->start(); }
    void stop() override { session_->stop(); }
    std::optional<std::filesystem::path> audioURL() const override { return session_->audioURL(); }
    std::optional<std::filesystem::path> sidecarURL() const override {
        return session_->sidecarURL();
    }
    std::optional<WallTime> startedAt() const override { return session_->startedAt(); }
    std::optional<std::string> failure() const override { return session_->failure(); }
    void pause() override { session_->pause(); }
    void resume() override { session_->resume(); }
    double pausedSeconds() const override { return session_->pausedSeconds(); }
    CaptureCondition condition() const override { return session_->condition(); }

private:
    std::shared_ptr<CaptureSession> session_;
};

}  // namespace

CaptureController::SessionFactory captureSessionFactory(CaptureSession::Environment environment) {
    return
        [environment](
            const CaptureController::Owner& owner) -> std::unique_ptr<CaptureController::Session> {
            auto forOwner = environment;
            forOwner.account = owner;
            return std::make_unique<RecordingSession>(CaptureSession::create(std::move(forOwner)));
        };
}

CaptureController::CaptureController(Environment environment,
                                     std::function<void(const CaptureArtifacts&)> onFinished)
    : environment_(std::move(environment)), onFinished_(std::move(onFinished)) {
    Repair repair = environment_.repair;
    if (!repair) {
        repair = [](const std::filesystem::path& directory) {
            return repairIncompleteCaptures(directory);
        };
    }
    // Only files of earlier launches are touched, so the repair needs no coordination
    // with the captures of this one: their writers hold the file lock it honours.
    launchRepair_ = std::thread(
        [repair = std::move(repair), directory = environment_.capturesDirectory, log = log_,
         main = &environment_.main, finished = environment_.onLaunchRepairFinished] {
            const std::vector<std::filesystem::path> repaired = repair(directory);
            if (!repaired.empty()) {
                log.notice("Repaired {} incomplete capture(s) at launch", repaired.size());
            }
            if (finished) main->post(finished);
        });
}

CaptureController::~CaptureController() {
    ticker_.cancel();
    waitForLaunchRepair();
}

void CaptureController::waitForLaunchRepair() {
    if (launchRepair_.joinable()) {
        launchRepair_.join();
    }
}

void CaptureController::observe(Observer observer) {
    observers_.push_back(std::move(observer));
}

void CaptureController::start(bool automatic) {
    if (session_) {
        return;
    }
    setLastError(std::nullopt);

    std::unique_ptr<Session> session;
    try {
        session = environment_.makeSession(environment_.owner ? environment_.owner() : Owner{});
        session->start();
    } catch (const std::exception& error) {
        setLastError(kStartErrorPrefix + std::string(error.what()));
        log_.error("Start failed: {}", error.what());
        return;
    }

    session_ = std::move(session);
    setIsRecording(true);
    setStartedAutomatically(automatic);
    setElapsedLabel("0:00");
    setCondition(session_->condition());
    ticker_ = environment_.main.every(kTickInterval, kTickLeeway, [this] { tick(); });
}

void CaptureController::stop() {
    if (!session_) {
        return;
    }
    ticker_.cancel();
    session_->stop();

    std::optional<CaptureArtifacts> artifacts;
    const auto audioURL = session_->audioURL();
    const auto sidecarURL = session_->sidecarURL();
    if (audioURL && sidecarURL) {
        artifacts = CaptureArtifacts{*audioURL, *sidecarURL};
    }

    session_.reset();
    setIsRecording(false);
    setStartedAutomatically(false);
    setElapsedLabel("0:00");
    setCondition({});

    if (artifacts && onFinished_) {
        onFinished_(*artifacts);
    }
}

void CaptureController::pause() {
    if (!session_) return;
    session_->pause();
    setCondition(session_->condition());
}

void CaptureController::resume() {
    if (!session_) return;
    session_->resume();
    setCondition(session_->condition());
}

void CaptureController::tick() {
    if (!session_) {
        return;
    }
    if (auto failure = session_->failure()) {
        log_.error("The capture ended by itself: {}", *failure);
        stop();
        setLastError(std::move(failure));
        return;
    }
    // The time recorded: a pause stops the clock.
    double elapsed = 0;
    if (const auto startedAt = session_->startedAt()) {
        elapsed = std::chrono::duration<double>(environment_.clock.now() - *startedAt).count() -
                  session_->pausedSeconds();
    }
    setElapsedLabel(elapsedTimeText(elapsed));
    setCondition(session_->condition());
}

void CaptureController::setIsRecording(bool value) {
    if (std::exchange(isRecording_, value) != value) {
        notify(Property::isRecording);
    }
}

void CaptureController::setElapsedLabel(std::string value) {
    if (elapsedLabel_ != value) {
        elapsedLabel_ = std::move(value);
        notify(Property::elapsedLabel);
    }
}

void CaptureController::setLastError(std::optional<std::string> value) {
    if (lastError_ != value) {
        lastError_ = std::move(value);
        notify(Property::lastError);
    }
}

void CaptureController::setStartedAutomatically(bool value) {
    if (std::exchange(startedAutomatically_, value) != value) {
        notify(Property::startedAutomatically);
    }
}

void CaptureController::setCondition(CaptureCondition value) {
    if (condition_ != value) {
        condition_ = value;
        notify(Property::condition);
    }
}

void CaptureController::notify(Property property) const {
    // By index: an observer may add another while being told.
    for (std::size_t i = 0; i < observers_.size(); ++i) {
        observers_[i](property);
    }
}

}  // namespace kavo
