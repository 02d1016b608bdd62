#include "support/ProblemReportForm.h"

#include "support/ProblemReportSubmitter.h"

namespace kavo {

std::shared_ptr<ProblemReportForm> ProblemReportForm::create(Scheduler& main, Scheduler& worker,
                                                             std::optional<SupportCapture> capture,
                                                             Send send) {
    return std::make_shared<ProblemReportForm>(PrivateTag{}, main, worker, std::move(capture),
                                               std::move(send));
}

ProblemReportForm::ProblemReportForm(PrivateTag, Scheduler& main, Scheduler& worker,
                                     std::optional<SupportCapture> capture, Send send)
    : main_(main),
      worker_(worker),
      attachCapture_(capture.has_value()),
      capture_(std::move(capture)),
      send_(std::move(send)) {}

ProblemReportForm::~ProblemReportForm() {
    stop_.request_stop();
}

void ProblemReportForm::setCategory(KavoAPIClient::FeedbackCategory category) {
    if (category_ != category) {
        category_ = category;
        notify(Property::category);
    }
}

void ProblemReportForm::setSubject(std::string subject) {
    if (subject_ != subject) {
        subject_ = std::move(subject);
        notify(Property::subject);
    }
}

void ProblemReportForm::setProblemDescription(std::string problemDescription) {
    if (problemDescription_ != problemDescription) {
        problemDescription_ = std::move(problemDescription);
        notify(Property::problemDescription);
    }
}

void ProblemReportForm::setAttachCapture(bool attach) {
    if (attachCapture_ != attach) {
        attachCapture_ = attach;
        notify(Property::attachCapture);
    }
}

void ProblemReportForm::observe(Observer observer) {
    observers_.push_back(std::move(observer));
}

ProblemReport ProblemReportForm::report() const {
    return ProblemReport{
        .category = category_,
        .subject = subject_,
        .problemDescription = problemDescription_,
        .capture = attachCapture_ ? capture_ : std::nullopt,
    };
}

void ProblemReportForm::submit() {
    if (phase_.kind == Phase::Kind::sending) {
        return;
    }
    ProblemReport built = report();
    if (auto message = built.validationMessage()) {
        setPhase(Phase::failed(std::move(*message)));
        return;
    }
    setPhase(Phase::sending());
    // The worker holds the form weakly: a window closed mid-send drops the outcome.
    worker_.post([weak = weak_from_this(), send = send_, stop = stop_.get_token(),
                  report = std::move(built), &main = main_] {
        std::optional<std::string> reference;
        std::exception_ptr error;
        try {
            reference = send(report, stop);
        } catch (...) {
            error = std::current_exception();
        }
        main.post([weak, reference = std::move(reference), error] {
            if (auto form = weak.lock()) {
                form->finish(reference, error);
            }
        });
    });
}

void ProblemReportForm::finish(std::optional<std::string> reference, std::exception_ptr error) {
    if (reference) {
        log_.notice("Support ticket filed: {}", *reference);
        setPhase(Phase::sent(std::move(*reference)));
        return;
    }
    std::string description = "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        description = failure.what();
    } catch (...) {
    }
    log_.error("Support report failed: {}", description);
    setPhase(Phase::failed(ProblemReportSubmitter::userMessage(error)));
}

void ProblemReportForm::setPhase(Phase phase) {
    if (phase_ != phase) {
        phase_ = std::move(phase);
        notify(Property::phase);
    }
}

void ProblemReportForm::notify(Property property) {
    for (const Observer& observer : observers_) {
        observer(property);
    }
}

}  // namespace kavo
