#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/Scheduler.h"
#include "net/KavoAPIClient.h"
#include "support/ProblemReport.h"
#include "support/SupportCapture.h"

namespace kavo {

// The report window's model. Every call is made on the main scheduler; the send itself
// runs on the worker scheduler so the window stays responsive while it is in flight.
class ProblemReportForm : public std::enable_shared_from_this<ProblemReportForm> {
public:
    struct Phase {
        enum class Kind { sent, failed, editing, sending };
        Kind kind = Kind::editing;
        // The ticket reference when sent, the message for the user when failed.
        std::string text;

        static Phase sent(std::string reference) { return {Kind::sent, std::move(reference)}; }
        static Phase failed(std::string message) { return {Kind::failed, std::move(message)}; }
        static Phase editing() { return {Kind::editing, {}}; }
        static Phase sending() { return {Kind::sending, {}}; }
        bool operator==(const Phase&) const = default;
    };

    enum class Property { category, subject, problemDescription, attachCapture, phase };
    using Observer = std::function<void(Property)>;

    // Files the report and returns the ticket reference; throws on failure.
    using Send = std::function<std::string(const ProblemReport&, std::stop_token)>;

    static std::shared_ptr<ProblemReportForm> create(Scheduler& main, Scheduler& worker,
                                                     std::optional<SupportCapture> capture,
                                                     Send send);

private:
    struct PrivateTag {};

public:
    // Through create() only: the form hands out weak references to itself.
    ProblemReportForm(PrivateTag, Scheduler& main, Scheduler& worker,
                      std::optional<SupportCapture> capture, Send send);
    ProblemReportForm(const ProblemReportForm&) = delete;
    ProblemReportForm& operator=(const ProblemReportForm&) = delete;
    // Cancels a send still in flight; its outcome is dropped.
    ~ProblemReportForm();

    KavoAPIClient::FeedbackCategory category() const { return category_; }
    const std::string& subject() const { return subject_; }
    const std::string& problemDescription() const { return problemDescription_; }
    bool attachCapture() const { return attachCapture_; }
    const Phase& phase() const { return phase_; }
    const std::optional<SupportCapture>& capture() const { return capture_; }

    // Setters notify only when the value changes; none of them changes the phase, so a
    // failure message stays until the next attempt.
    void setCategory(KavoAPIClient::FeedbackCategory category);
    void setSubject(std::string subject);
    void setProblemDescription(std::string problemDescription);
    void setAttachCapture(bool attach);

    // Called with the property that changed, on the main scheduler.
    void observe(Observer observer);

    // The report the current fields make.
    ProblemReport report() const;

    // One send attempt; ignored while one is in flight. Never throws: the outcome ends
    // up in phase().
    void submit();

private:
    void setPhase(Phase phase);
    void notify(Property property);
    void finish(std::optional<std::string> reference, std::exception_ptr error);

    Scheduler& main_;
    Scheduler& worker_;
    KavoAPIClient::FeedbackCategory category_ = KavoAPIClient::FeedbackCategory::bug;
    std::string subject_;
    std::string problemDescription_;
    bool attachCapture_;
    Phase phase_;
    const std::optional<SupportCapture> capture_;
    const Send send_;
    std::vector<Observer> observers_;
    std::stop_source stop_;
    Logger log_{"ProblemReportForm"};
};

}  // namespace kavo
