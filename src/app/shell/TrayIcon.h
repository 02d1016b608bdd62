#pragma once

#include <QIcon>
#include <QString>
#include <memory>

#include "app/MenuModel.h"

class QLabel;
class QMenu;
class QSystemTrayIcon;
class QToolButton;
class QWidget;

namespace kavo {

// Where the menu lives: a system tray icon when the desktop has a tray host, otherwise a
// small window whose button opens the same menu, so the application stays usable (and
// can quit) without a tray. Closing that window only minimises it: it is the one way back
// to the menu. The icon is the idle waveform, a red dot while recording or an amber one
// while paused; the tooltip (and the window's title and button) says which, with the
// running time and any warning.
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
    // A message beside the tray icon, or in the window standing in for it (brought to
    // the front): for desktops without a notification service.
    void showMessage(const QString& title, const QString& body);

    bool usesSystemTray() const { return tray_ != nullptr; }
    // "Kavo Meetings" when idle, "Recording 1:23" while recording, "Paused 1:23" while
    // paused; a warning on a second line.
    const QString& toolTip() const { return toolTip_; }
    bool showsRecording() const { return label_.recording; }
    bool showsPaused() const { return label_.paused; }
    QIcon icon() const;
    // The window standing in for the tray; null when there is a tray.
    QWidget* fallbackWindow() const { return fallback_.get(); }

    static QIcon idleIcon();
    static QIcon recordingIcon();
    static QIcon pausedIcon();

private:
    void refresh(bool iconChanged);

    QMenu& menu_;
    MenuBarLabel label_;
    QString toolTip_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<QWidget> fallback_;
    QToolButton* fallbackButton_ = nullptr;  // owned by fallback_
    QLabel* fallbackMessage_ = nullptr;      // owned by fallback_
};

}  // namespace kavo
