#include "app/shell/ReportWindow.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "app/shell/QtChild.h"

namespace kavo {
namespace {

using Category = KavoAPIClient::FeedbackCategory;
using Property = ProblemReportForm::Property;
using PhaseKind = ProblemReportForm::Phase::Kind;

constexpr int kWidth = 460;
constexpr int kSpacing = 14;
constexpr int kPadding = 20;
constexpr int kEditorMinHeight = 120;

const char* const kNote =
    "The report includes technical details about the recording \u2014 this computer, the audio "
    "devices in use, sample rates, dropped audio and when devices changed. It never includes "
    "the recorded audio itself.";

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// The text styles of the window, relative to the application font.
enum class TextStyle { headline, subheadline, body, caption, callout };

QLabel* styledLabel(const QString& text, TextStyle style, QWidget* parent) {
    auto* label = makeQtChild<QLabel>(text, parent);
    QFont font = label->font();
    const qreal base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    switch (style) {
        case TextStyle::headline:
            font.setBold(true);
            font.setPointSizeF(base * 1.15);
            break;
        case TextStyle::subheadline:
            font.setPointSizeF(base * 0.95);
            break;
        case TextStyle::body:
            break;
        case TextStyle::caption:
            font.setPointSizeF(base * 0.85);
            break;
        case TextStyle::callout:
            font.setPointSizeF(base * 0.95);
            break;
    }
    label->setFont(font);
    label->setWordWrap(true);
    return label;
}

// Secondary text: the dimmed colour the palette uses for placeholders.
void makeSecondary(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
}

QPushButton* plainButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = makeQtChild<QPushButton>(text, parent);
    button->setObjectName(QLatin1String(name));
    // Return means the default action wherever the focus is, as on the other desktops;
    // not whichever button last had the focus.
    button->setAutoDefault(false);
    return button;
}

}  // namespace

ReportWindow::ReportWindow(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Report a Problem"));
    setModal(false);
    setFixedWidth(kWidth);

    auto* layout = makeQtChild<QVBoxLayout>(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(0);
    buildEditPage();
    buildSentPage();
    layout->addWidget(editPage_);
    layout->addWidget(sentPage_);
    sentPage_->hide();
}

ReportWindow::~ReportWindow() = default;

void ReportWindow::buildEditPage() {
    editPage_ = makeQtChild<QWidget>(this);
    editPage_->setObjectName(QStringLiteral("editPage"));
    auto* stack = makeQtChild<QVBoxLayout>(editPage_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(kSpacing);

    // "Type": two adjoining exclusive buttons, a segmented choice.
    auto* typeRow = makeQtChild<QHBoxLayout>();
    typeRow->setSpacing(8);
    typeRow->addWidget(makeQtChild<QLabel>(QStringLiteral("Type"), editPage_));
    auto* segments = makeQtChild<QHBoxLayout>();
    segments->setSpacing(0);
    problem_ = plainButton(QStringLiteral("Problem"), "problem", editPage_);
    question_ = plainButton(QStringLiteral("Question"), "question", editPage_);
    category_ = makeQtChild<QButtonGroup>(editPage_);
    category_->setExclusive(true);
    for (QPushButton* button : {problem_, question_}) {
        button->setCheckable(true);
        segments->addWidget(button);
        category_->addButton(button);
    }
    typeRow->addLayout(segments);
    typeRow->addStretch();
    stack->addLayout(typeRow);
    connect(category_, &QButtonGroup::buttonClicked, this, [this](QAbstractButton* button) {
        if (updating_ || !form_) return;
        form_->setCategory(button == question_ ? Category::question : Category::bug);
    });

    auto* subjectBlock = makeQtChild<QVBoxLayout>();
    subjectBlock->setSpacing(4);
    subjectBlock->addWidget(
        styledLabel(QStringLiteral("Subject"), TextStyle::subheadline, editPage_));
    subject_ = makeQtChild<QLineEdit>(editPage_);
    subject_->setObjectName(QStringLiteral("subject"));
    subject_->setPlaceholderText(QStringLiteral("Short summary"));
    subjectBlock->addWidget(subject_);
    stack->addLayout(subjectBlock);
    connect(subject_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (updating_ || !form_) return;
        form_->setSubject(text.toStdString());
        refreshSendButton();
    });

    auto* descriptionBlock = makeQtChild<QVBoxLayout>();
    descriptionBlock->setSpacing(4);
    descriptionBlock->addWidget(
        styledLabel(QStringLiteral("What happened"), TextStyle::subheadline, editPage_));
    description_ = makeQtChild<QPlainTextEdit>(editPage_);
    description_->setObjectName(QStringLiteral("description"));
    description_->setMinimumHeight(kEditorMinHeight);
    description_->setTabChangesFocus(true);
    descriptionBlock->addWidget(description_);
    stack->addLayout(descriptionBlock);
    connect(description_, &QPlainTextEdit::textChanged, this, [this] {
        if (updating_ || !form_) return;
        form_->setProblemDescription(description_->toPlainText().toStdString());
        refreshSendButton();
    });

    auto* captureBlock = makeQtChild<QVBoxLayout>();
    captureBlock->setSpacing(4);
    attachCapture_ = makeQtChild<QCheckBox>(
        QStringLiteral("Include details from the most recent recording"), editPage_);
    attachCapture_->setObjectName(QStringLiteral("attachCapture"));
    captureSummary_ = styledLabel(QString(), TextStyle::caption, editPage_);
    captureSummary_->setObjectName(QStringLiteral("captureSummary"));
    makeSecondary(captureSummary_);
    captureBlock->addWidget(attachCapture_);
    captureBlock->addWidget(captureSummary_);
    stack->addLayout(captureBlock);
    connect(attachCapture_, &QCheckBox::toggled, this, [this](bool on) {
        if (updating_ || !form_) return;
        form_->setAttachCapture(on);
    });

    QLabel* note = styledLabel(QString::fromUtf8(kNote), TextStyle::caption, editPage_);
    note->setObjectName(QStringLiteral("note"));
    makeSecondary(note);
    stack->addWidget(note);

    failure_ = styledLabel(QString(), TextStyle::callout, editPage_);
    failure_->setObjectName(QStringLiteral("failure"));
    QPalette red = failure_->palette();
    red.setColor(QPalette::WindowText, QColor(Qt::red));
    failure_->setPalette(red);
    failure_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    stack->addWidget(failure_);

    auto* buttons = makeQtChild<QHBoxLayout>();
    buttons->addStretch();
    cancel_ = plainButton(QStringLiteral("Cancel"), "cancel", editPage_);
    send_ = plainButton(QStringLiteral("Send Report"), "send", editPage_);
    buttons->addWidget(cancel_);
    buttons->addWidget(send_);
    stack->addLayout(buttons);
    // Escape rejects the dialog, which closes it like Cancel.
    connect(cancel_, &QPushButton::clicked, this, [this] { close(); });
    connect(send_, &QPushButton::clicked, this, [this] {
        if (form_) form_->submit();
    });
}

void ReportWindow::buildSentPage() {
    sentPage_ = makeQtChild<QWidget>(this);
    sentPage_->setObjectName(QStringLiteral("sentPage"));
    auto* stack = makeQtChild<QVBoxLayout>(sentPage_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(kSpacing);

    stack->addWidget(styledLabel(QStringLiteral("Report sent"), TextStyle::headline, sentPage_));
    stack->addWidget(styledLabel(QStringLiteral("Support can find it by this reference:"),
                                 TextStyle::subheadline, sentPage_));
    reference_ = styledLabel(QString(), TextStyle::body, sentPage_);
    reference_->setObjectName(QStringLiteral("reference"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(reference_->font().pointSizeF());
    reference_->setFont(mono);
    reference_->setTextFormat(Qt::PlainText);
    reference_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    stack->addWidget(reference_);

    auto* buttons = makeQtChild<QHBoxLayout>();
    buttons->addStretch();
    close_ = plainButton(QStringLiteral("Close"), "close", sentPage_);
    buttons->addWidget(close_);
    stack->addLayout(buttons);
    connect(close_, &QPushButton::clicked, this, [this] { close(); });
}

void ReportWindow::setForm(std::shared_ptr<ProblemReportForm> form) {
    form_ = std::move(form);
    binding_ = std::make_shared<int>(0);
    if (form_) {
        form_->observe([window = QPointer<ReportWindow>(this),
                        binding = std::weak_ptr<int>(binding_)](Property property) {
            if (window && !binding.expired()) window->refresh(property);
        });
    }
    refreshAll();
}

void ReportWindow::refreshAll() {
    for (const Property property :
         {Property::category, Property::subject, Property::problemDescription,
          Property::attachCapture, Property::phase}) {
        refresh(property);
    }
}

void ReportWindow::refresh(Property property) {
    if (!form_) return;
    const bool wasUpdating = updating_;
    updating_ = true;
    switch (property) {
        case Property::category:
            (form_->category() == Category::question ? question_ : problem_)->setChecked(true);
            break;
        case Property::subject:
            // Only when it differs: setting the text moves the cursor to the end.
            if (subject_->text().toStdString() != form_->subject()) {
                subject_->setText(qs(form_->subject()));
            }
            break;
        case Property::problemDescription:
            if (description_->toPlainText().toStdString() != form_->problemDescription()) {
                description_->setPlainText(qs(form_->problemDescription()));
            }
            break;
        case Property::attachCapture: {
            const auto& capture = form_->capture();
            attachCapture_->setVisible(capture.has_value());
            captureSummary_->setVisible(capture.has_value());
            captureSummary_->setText(capture ? qs(capture->summary()) : QString());
            attachCapture_->setChecked(form_->attachCapture());
            break;
        }
        case Property::phase: {
            const ProblemReportForm::Phase& phase = form_->phase();
            const bool sent = phase.kind == PhaseKind::sent;
            editPage_->setVisible(!sent);
            sentPage_->setVisible(sent);
            reference_->setText(sent ? qs(phase.text) : QString());
            failure_->setVisible(phase.kind == PhaseKind::failed);
            failure_->setText(phase.kind == PhaseKind::failed ? qs(phase.text) : QString());
            send_->setText(phase.kind == PhaseKind::sending ? QStringLiteral("Sending...")
                                                            : QStringLiteral("Send Report"));
            // Return presses the default button of the page on show.
            (sent ? close_ : send_)->setDefault(true);
            adjustSize();
            break;
        }
    }
    updating_ = wasUpdating;
    refreshSendButton();
}

void ReportWindow::refreshSendButton() {
    const bool sending = form_ && form_->phase().kind == PhaseKind::sending;
    send_->setEnabled(form_ && !sending && !form_->report().validationMessage());
}

ReportPresenter::ReportPresenter() = default;

ReportPresenter::~ReportPresenter() = default;

void ReportPresenter::show(std::shared_ptr<ProblemReportForm> form) {
    if (window_ && window_->isVisible()) {
        if (window_->isMinimized()) window_->showNormal();
        window_->raise();
        window_->activateWindow();
        return;
    }
    const bool created = !window_;
    if (created) window_ = std::make_unique<ReportWindow>();
    window_->setForm(std::move(form));
    if (created) {
        window_->adjustSize();
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = window_->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            window_->move(frame.topLeft());
        }
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

}  // namespace kavo
