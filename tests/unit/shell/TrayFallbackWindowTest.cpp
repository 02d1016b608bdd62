#include <gtest/gtest.h>

#include <QImage>
#include <QToolButton>
#include <QWidget>

#include "app/MenuModel.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/TrayMenu.h"

// Without a tray host (none offscreen) the window is the only way to the menu.

namespace kavo {
namespace {

bool isRed(QRgb pixel) {
    return qAlpha(pixel) > 200 && qRed(pixel) > 180 && qGreen(pixel) < 90 && qBlue(pixel) < 90;
}

TEST(TrayFallbackWindow, StaysReachableAndSaysThatItRecordsOrIsPaused) {
    TrayMenu menu([](const MenuItem&) {});
    TrayIcon icon(menu.menu());
    ASSERT_FALSE(icon.usesSystemTray());
    QWidget& window = *icon.fallbackWindow();
    icon.show();
    auto* button = window.findChild<QToolButton*>();
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->menu(), &menu.menu());

    EXPECT_FALSE(window.close()) << "closing the window would leave no way to the menu";
    EXPECT_TRUE(window.isMinimized());

    // A recording brings the window back and names itself in the title the taskbar shows.
    icon.setLabel({.recording = true, .paused = false, .elapsed = "0:00", .warning = {}});
    EXPECT_FALSE(window.isMinimized());
    EXPECT_EQ(window.windowTitle(), "Recording 0:00 \u2014 Kavo Meetings");
    EXPECT_TRUE(isRed(icon.icon().pixmap(32, 32).toImage().pixel(16, 16))) << "the red dot";

    icon.setLabel({.recording = true,
                   .paused = true,
                   .elapsed = "12:04",
                   .warning = std::string(kSilentMicrophoneText)});
    EXPECT_EQ(window.windowTitle(), "Paused 12:04 \u2014 Kavo Meetings");
    EXPECT_EQ(button->text().toStdString(), std::string("Paused 12:04\n") + kSilentMicrophoneText);
}

}  // namespace
}  // namespace kavo
