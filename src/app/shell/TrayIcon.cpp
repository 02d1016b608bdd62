#include "app/shell/TrayIcon.h"

#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QToolButton>
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
        fallback_ = std::make_unique<QWidget>();
        fallback_->setWindowTitle(kAppName);
        auto* layout = makeQtChild<QHBoxLayout>(fallback_.get());
        fallbackButton_ = makeQtChild<QToolButton>(fallback_.get());
        fallbackButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        fallbackButton_->setPopupMode(QToolButton::InstantPopup);
        fallbackButton_->setMenu(&menu_);
        layout->addWidget(fallbackButton_);
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
    const bool iconChanged = label.recording != label_.recording;
    label_ = label;
    refresh(iconChanged);
}

void TrayIcon::show() {
    if (tray_) {
        tray_->show();
    } else {
        fallback_->show();
    }
}

QIcon TrayIcon::icon() const {
    return label_.recording ? recordingIcon() : idleIcon();
}

void TrayIcon::refresh(bool iconChanged) {
    toolTip_ = kAppName;
    if (label_.recording) {
        toolTip_ = QStringLiteral("Recording");
        if (label_.elapsed) toolTip_ += QLatin1Char(' ') + QString::fromStdString(*label_.elapsed);
    }
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
    }
}

}  // namespace kavo
