#pragma once

#include <QIcon>
#include <QString>
#include <memory>

#include "app/MenuModel.h"

class QMenu;
class QSystemTrayIcon;
class QToolButton;
class QWidget;

namespace kavo {

// Where the menu lives: a system tray icon when the desktop has a tray host, otherwise a
// small window whose button opens the same menu, so the application stays usable (and
// can quit) without a tray. The icon is the idle waveform or, while recording, a red dot
// with the running time as its tooltip.
class TrayIcon {
public:
    // `menu` must outlive the icon.
    explicit TrayIcon(QMenu& menu);
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;
    ~TrayIcon();

    void setLabel(const MenuBarLabel& label);
    // Shows the tray icon, or the window standing in for it.
    void show();

    bool usesSystemTray() const { return tray_ != nullptr; }
    // "Kavo Meetings" when idle, "Recording 1:23" while recording.
    const QString& toolTip() const { return toolTip_; }
    bool showsRecording() const { return label_.recording; }
    QIcon icon() const;
    // The window standing in for the tray; null when there is a tray.
    QWidget* fallbackWindow() const { return fallback_.get(); }

    static QIcon idleIcon();
    static QIcon recordingIcon();

private:
    void refresh(bool iconChanged);

    QMenu& menu_;
    MenuBarLabel label_;
    QString toolTip_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<QWidget> fallback_;
    QToolButton* fallbackButton_ = nullptr;  // owned by fallback_
};

}  // namespace kavo
