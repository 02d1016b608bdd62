#include "app/shell/TrayIcon.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>
#include <array>

#include "app/shell/QtChild.h"

namespace kavo {
namespace {

const QString kAppName = QStringLiteral("Kavo Meetings");
constexpr std::array kIconSizes{16, 22, 24, 32, 48, 64};

template <typename Draw>
QIcon drawnIcon(Draw draw) {
    QIcon icon;
    for (const int size : kIconSizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        draw(painter, static_cast<qreal>(size));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// The window standing in for the tray. Without it the menu, and with it "Stop Recording"
// and "Quit", would be out of reach: closing it minimises it instead.
class FallbackWindow final : public QWidget {
protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        showMinimized();
    }
};

}  // namespace

QIcon TrayIcon::idleIcon() {
    const QColor ink = QGuiApplication::palette().color(QPalette::WindowText);
    return drawnIcon([&ink](QPainter& painter, qreal size) {
        // Five rounded bars, tallest in the middle: a waveform.
        constexpr std::array heights{0.35, 0.65, 0.9, 0.55, 0.3};
        const qreal slot = size / heights.size();
        const qreal width = slot * 0.55;
        painter.setPen(Qt::NoPen);
        painter.setBrush(ink);
        for (std::size_t i = 0; i < heights.size(); ++i) {
            const qreal height = size * heights[i];
            const QRectF bar(slot * i + (slot - width) / 2, (size - height) / 2, width, height);
            painter.drawRoundedRect(bar, width / 2, width / 2);
        }
    });
}

QIcon TrayIcon::recordingIcon() {
    return drawnIcon([](QPainter& painter, qreal size) {
        const qreal margin = size * 0.1;
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xE5, 0x2B, 0x2B));
        painter.drawEllipse(QRectF(margin, margin, size - 2 * margin, size - 2 * margin));
    });
}

QIcon TrayIcon::pausedIcon() {
    return drawnIcon([](QPainter& painter, qreal size) {
        const qreal margin = size * 0.1;
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xE8, 0x9A, 0x1E));
        painter.drawEllipse(QRectF(margin, margin, size - 2 * margin, size - 2 * margin));
        // Two bars: the pause sign.
        painter.setBrush(Qt::white);
        const qreal bar = size * 0.12;
        const qreal height = size * 0.4;
        const qreal top = (size - height) / 2;
        painter.drawRect(QRectF(size / 2 - bar * 1.5, top, bar, height));
        painter.drawRect(QRectF(size / 2 + bar * 0.5, top, bar, height));
    });
}

TrayIcon::TrayIcon(QMenu& menu) : menu_(menu) {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = std::make_unique<QSystemTrayIcon>();
        tray_->setContextMenu(&menu_);
        // Most tray hosts send a left click as Trigger; it opens the same menu.
        QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(),
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Trigger) menu_.popup(QCursor::pos());
                         });
    } else {
        fallback_ = std::make_unique<FallbackWindow>();
        fallback_->setWindowTitle(kAppName);
        auto* layout = makeQtChild<QVBoxLayout>(fallback_.get());
        fallbackButton_ = makeQtChild<QToolButton>(fallback_.get());
        fallbackButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        fallbackButton_->setPopupMode(QToolButton::InstantPopup);
        fallbackButton_->setMenu(&menu_);
        layout->addWidget(fallbackButton_);
        fallbackMessage_ = makeQtChild<QLabel>(fallback_.get());
        fallbackMessage_->setWordWrap(true);
        fallbackMessage_->hide();
        layout->addWidget(fallbackMessage_);
    }
    refresh(true);
}

TrayIcon::~TrayIcon() {
    // The menu outlives the icon; detach it before the tray goes.
    if (tray_) tray_->setContextMenu(nullptr);
    if (fallbackButton_) fallbackButton_->setMenu(nullptr);
}

void TrayIcon::setLabel(const MenuBarLabel& label) {
    if (label == label_) return;
    // The time ticks every second; the icon itself only changes with the recording state.
    const bool iconChanged = label.recording != label_.recording || label.paused != label_.paused;
    const bool started = label.recording && !label_.recording;
    label_ = label;
    refresh(iconChanged);
    // Without a tray nothing else shows that a recording began.
    if (started && fallback_ && fallback_->isVisible()) {
        fallback_->showNormal();
        fallback_->raise();
    }
}

void TrayIcon::showMessage(const QString& title, const QString& body) {
    if (tray_) {
        tray_->showMessage(title, body, icon());
        return;
    }
    fallbackMessage_->setText(title + QStringLiteral(": ") + body);
    fallbackMessage_->show();
    fallback_->showNormal();
    fallback_->raise();
    fallback_->activateWindow();
}

void TrayIcon::show() {
    if (tray_) {
        tray_->show();
    } else {
        fallback_->show();
    }
}

QIcon TrayIcon::icon() const {
    if (!label_.recording) return idleIcon();
    return label_.paused ? pausedIcon() : recordingIcon();
}

void TrayIcon::refresh(bool iconChanged) {
    toolTip_ = QString::fromStdString(label_.toolTip());
    if (tray_) {
        if (iconChanged) tray_->setIcon(icon());
        tray_->setToolTip(toolTip_);
    } else {
        if (iconChanged) {
            const QIcon drawn = icon();
            fallback_->setWindowIcon(drawn);
            fallbackButton_->setIcon(drawn);
        }
        fallbackButton_->setText(toolTip_);
        fallbackButton_->setToolTip(toolTip_);
        // The taskbar shows the title: it says that a recording runs.
        fallback_->setWindowTitle(label_.recording ? toolTip_.section(QLatin1Char('\n'), 0, 0) +
                                                         QStringLiteral(" \u2014 ") + kAppName
                                                   : kAppName);
    }
}

}  // namespace kavo
