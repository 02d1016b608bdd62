#pragma once

#include <QDialog>
#include <memory>

#include "support/ProblemReportForm.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kavo {

// The "Report a Problem" window, bound to one ProblemReportForm at a time: the widgets
// write the form, the form's changes (made on the GUI thread, where the application's
// main scheduler runs) redraw the widgets. Closing it (Cancel, Close, Escape) only hides
// it; the form stays bound until the next setForm.
//
// Child widgets carry object names for lookup: the category buttons "problem" and
// "question", "subject", "description", "attachCapture", "captureSummary", "note",
// "failure", "cancel", "send"; after sending "reference" and "close".
class ReportWindow final : public QDialog {
public:
    explicit ReportWindow(QWidget* parent = nullptr);
    ReportWindow(const ReportWindow&) = delete;
    ReportWindow& operator=(const ReportWindow&) = delete;
    ~ReportWindow() override;

    // Binds the window to `form`, dropping the previous one; changes of the previous form
    // no longer reach the window.
    void setForm(std::shared_ptr<ProblemReportForm> form);
    const std::shared_ptr<ProblemReportForm>& form() const { return form_; }

private:
    void buildEditPage();
    void buildSentPage();
    void refresh(ProblemReportForm::Property property);
    void refreshAll();
    void refreshSendButton();

    std::shared_ptr<ProblemReportForm> form_;
    // Observers cannot be removed from a form; each binding's observer holds this weakly
    // and goes quiet once it is replaced.
    std::shared_ptr<int> binding_;
    bool updating_ = false;  // while the form's values are copied into the widgets

    QWidget* editPage_ = nullptr;
    QButtonGroup* category_ = nullptr;
    QPushButton* problem_ = nullptr;
    QPushButton* question_ = nullptr;
    QLineEdit* subject_ = nullptr;
    QPlainTextEdit* description_ = nullptr;
    QCheckBox* attachCapture_ = nullptr;
    QLabel* captureSummary_ = nullptr;
    QLabel* failure_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* send_ = nullptr;

    QWidget* sentPage_ = nullptr;
    QLabel* reference_ = nullptr;
    QPushButton* close_ = nullptr;
};

// Keeps the one report window of the application, created on first use and kept after
// it is closed.
class ReportPresenter {
public:
    ReportPresenter();
    ReportPresenter(const ReportPresenter&) = delete;
    ReportPresenter& operator=(const ReportPresenter&) = delete;
    ~ReportPresenter();

    // While the window is open, brings it to the front and drops `form`, so a report being
    // written keeps its text. Otherwise fills the window with `form` (centring it when it
    // is new) and shows, raises and activates it.
    void show(std::shared_ptr<ProblemReportForm> form);

    // Null until the first show.
    ReportWindow* window() const { return window_.get(); }

private:
    std::unique_ptr<ReportWindow> window_;
};

}  // namespace kavo
