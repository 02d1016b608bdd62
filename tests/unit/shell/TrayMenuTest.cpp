#include <gtest/gtest.h>

#include <QAction>
#include <QImage>
#include <QMenu>
#include <QSet>
#include <QToolButton>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/MenuModel.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/TrayMenu.h"
#include "support/MenuStateBuilders.h"
#include "support/ScopedTimeZone.h"

// What each phase's menu holds is pinned in tests/unit/app/MenuModelTest.cpp; here every
// drawn action is checked against the model's item, and each phase is saved as a PNG.

namespace kavo {
namespace {

using testing::avery;
using testing::captureAt;

// The text Qt draws for an action: "&&" is an ampersand, a lone "&" marks a mnemonic.
std::string shownText(const QAction* action) {
    const QString text = action->text();
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('&')) {
            shown += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) {
            shown += text[++i];
        }
    }
    return shown.toStdString();
}

// An ampersand in the name: Qt would take a bare one for a mnemonic marker.
const Tenant kContoso{"tid-contoso", "Contoso & Sons", "CS", "https://kavo.example/app/",
                      "eu",          "active"};

MenuState inPhase(SessionPhase phase) {
    MenuState state;
    state.phase = std::move(phase);
    return state;
}

MenuState signedInIdle() {
    MenuState state = inPhase(SessionPhase::signedIn(avery(), kContoso));
    state.recentCaptures = {captureAt("2024-03-04T09:05:00.000Z", 3725, "rec-1", "DELIVERED"),
                            captureAt("2024-03-03T14:00:00.000Z", 754, std::nullopt, std::nullopt)};
    return state;
}

MenuState signedInRecording() {
    MenuState state = inPhase(SessionPhase::signedIn(avery(), kContoso));
    state.isRecording = true;
    state.elapsedLabel = "1:23";
    state.upload = UploadStatus::uploading(0.424);
    state.availableUpdate = AvailableUpdate{"2.4.0", "https://updates.kavo.example/download"};
    state.autoCaptureEnabled = false;
    return state;
}

// The running capture as the person recording meets it: paused, or with a side missing.
MenuState recordingWith(CaptureCondition condition) {
    MenuState state = signedInRecording();
    state.condition = condition;
    return state;
}

struct MenuCase {
    const char* name;
    MenuState state;
};

void PrintTo(const MenuCase& menuCase, std::ostream* out) {
    *out << menuCase.name;
}

MenuState signedOutAfterAFailure() {
    MenuState state = inPhase(SessionPhase::signedOut());
    state.signInError = "Sign-in is unavailable: no client id";
    return state;
}

class TrayMenuPhases : public ::testing::TestWithParam<MenuCase> {
protected:
    testing::ScopedTimeZone zone{"UTC0"};
};

TEST_P(TrayMenuPhases, EveryDrawnActionShowsAndChoosesItsItem) {
    std::vector<MenuItem> chosen;
    TrayMenu tray([&](const MenuItem& item) { chosen.push_back(item); });
    const std::vector<MenuItem> items = menuItems(GetParam().state);
    tray.update(items);
    const QList<QAction*> actions = tray.menu().actions();
    ASSERT_EQ(static_cast<std::size_t>(actions.size()), items.size());
    EXPECT_EQ(actions.back()->text(), "Quit");

    for (std::size_t i = 0; i < items.size(); ++i) {
        const MenuItem& item = items[i];
        const QAction* action = actions[i];
        SCOPED_TRACE(item.title);
        EXPECT_EQ(tray.action(i), action);
        const bool divider = item.kind == MenuItem::Kind::divider;
        const bool choosable =
            item.kind == MenuItem::Kind::button || item.kind == MenuItem::Kind::toggle;
        EXPECT_EQ(action->isSeparator(), divider);
        if (divider) continue;
        EXPECT_EQ(shownText(action), item.title);
        EXPECT_EQ(action->isEnabled(), choosable && item.enabled) << "texts are greyed out";
        EXPECT_EQ(action->isCheckable(), item.kind == MenuItem::Kind::toggle);
        EXPECT_EQ(action->isChecked(), item.kind == MenuItem::Kind::toggle && item.isOn);
        EXPECT_EQ(action->shortcut().toString(QKeySequence::PortableText).toStdString(),
                  item.shortcut ? "Ctrl+" + std::string(1, item.shortcut->key) : "");

        // Every row that can be chosen reports its own item; texts report nothing.
        chosen.clear();
        actions[i]->trigger();
        ASSERT_EQ(chosen.size(), choosable ? 1u : 0u);
        if (choosable) {
            EXPECT_EQ(chosen.front(), item);
        }
    }
}

TEST_P(TrayMenuPhases, SavesTheDrawnMenuAsAPicture) {
    TrayMenu tray([](const MenuItem&) {});
    tray.update(menuItems(GetParam().state));
    const char* dirSetting = std::getenv("KAVO_MENU_PNG_DIR");
    const std::filesystem::path dir =
        dirSetting && *dirSetting ? dirSetting : KAVO_MENU_PNG_DEFAULT_DIR;
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / (std::string(GetParam().name) + ".png");
    std::filesystem::remove(file);

    tray.menu().popup(QPoint(0, 0));
    ASSERT_TRUE(tray.menu().grab().save(QString::fromStdString(file.string())));
    tray.menu().hide();

    QImage image(QString::fromStdString(file.string()));
    ASSERT_FALSE(image.isNull()) << file;
    // A row is some 20 pixels high; every row must have been laid out.
    EXPECT_GE(image.height(), 6 * tray.menu().actions().size());
    EXPECT_GE(image.width(), 100);
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) colours.insert(image.pixel(x, y));
    }
    // Background and text at least, with antialiased edges in between.
    EXPECT_GT(colours.size(), 4) << file;
}

INSTANTIATE_TEST_SUITE_P(
    EverySessionPhase, TrayMenuPhases,
    ::testing::Values(
        MenuCase{"bootstrapping", inPhase(SessionPhase::bootstrapping())},
        MenuCase{"signedOutAfterAFailure", signedOutAfterAFailure()},
        MenuCase{"tenantNotRegistered", inPhase(SessionPhase::tenantNotRegistered(avery()))},
        MenuCase{"notEntitled", inPhase(SessionPhase::notEntitled(avery()))},
        MenuCase{"discoveryUnavailable",
                 inPhase(SessionPhase::discoveryUnavailable(avery(), "The server is busy."))},
        MenuCase{"signedInIdle", signedInIdle()},
        MenuCase{"signedInRecording", signedInRecording()},
        MenuCase{"recordingPaused", recordingWith({.paused = true})},
        MenuCase{"recordingSilentMicrophone",
                 recordingWith({.silentSide = CaptureSide::microphone})},
        MenuCase{"recordingSilentSystemAudio",
                 recordingWith({.silentSide = CaptureSide::systemAudio})},
        MenuCase{"recordingWithoutMicrophone", recordingWith({.noMicrophone = true})}),
    [](const ::testing::TestParamInfo<MenuCase>& param) { return std::string(param.param.name); });

// The tray shows the model's state, not what Qt would flip by itself, and an open menu
// keeps its actions while only their values change.
TEST(TrayMenu, RedrawsFromTheModelAndOnlyWhatChanged) {
    MenuState state = signedInRecording();
    TrayMenu* self = nullptr;
    std::vector<MenuAction> chosen;
    TrayMenu tray([&](const MenuItem& item) {
        chosen.push_back(*item.action);
        if (item.action == MenuAction::stopRecording) {
            state.isRecording = false;
            self->update(menuItems(state));
        }
    });
    self = &tray;
    tray.update(menuItems(state));
    const QList<QAction*> first = tray.menu().actions();
    tray.update(menuItems(state));
    EXPECT_EQ(tray.menu().actions(), first) << "the same items: nothing is redrawn";

    QAction* toggle = tray.action(8);
    ASSERT_EQ(shownText(toggle), "Record Meetings Automatically");
    toggle->trigger();
    EXPECT_FALSE(toggle->isChecked()) << "until the model says otherwise the switch stays off";
    state.elapsedLabel = "1:24";
    state.autoCaptureEnabled = true;
    tray.update(menuItems(state));
    EXPECT_EQ(tray.menu().actions(), first);
    EXPECT_EQ(shownText(tray.action(2)), "Recording 1:24");
    EXPECT_TRUE(tray.action(8)->isChecked());

    // The handler may redraw the menu from its own choice: another set of rows.
    tray.action(3)->trigger();
    EXPECT_EQ(chosen, (std::vector{MenuAction::toggleAutoCapture, MenuAction::stopRecording}));
    EXPECT_EQ(tray.menu().actions().size(), first.size() - 2);
    EXPECT_EQ(shownText(tray.action(2)), "Start Recording");
}

// The red of the recording dot, which the idle icon never uses.
bool isRed(QRgb pixel) {
    return qAlpha(pixel) > 200 && qRed(pixel) > 180 && qGreen(pixel) < 90 && qBlue(pixel) < 90;
}

TEST(TrayIcon, WithoutATrayHostAWindowOffersTheMenuAndRecordingShowsARedDot) {
    TrayMenu tray([](const MenuItem&) {});
    TrayIcon icon(tray.menu());
    EXPECT_FALSE(icon.usesSystemTray()) << "offscreen there is no tray host";
    ASSERT_NE(icon.fallbackWindow(), nullptr);
    icon.show();
    EXPECT_TRUE(icon.fallbackWindow()->isVisible());
    auto* button = icon.fallbackWindow()->findChild<QToolButton*>();
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->menu(), &tray.menu());
    EXPECT_EQ(button->text(), "Kavo Meetings");
    const QImage idle = icon.icon().pixmap(32, 32).toImage();
    EXPECT_FALSE(icon.showsRecording());

    icon.setLabel(menuBarLabel(signedInRecording()));
    EXPECT_TRUE(icon.showsRecording());
    EXPECT_EQ(icon.toolTip(), "Recording 1:23");
    EXPECT_EQ(button->text(), "Recording 1:23");
    const QImage recording = icon.icon().pixmap(32, 32).toImage();
    EXPECT_TRUE(isRed(recording.pixel(16, 16)));
    EXPECT_FALSE(isRed(recording.pixel(0, 0)));

    // The idle waveform: drawn, and nowhere red.
    int inked = 0;
    for (int y = 0; y < idle.height(); ++y) {
        for (int x = 0; x < idle.width(); ++x) {
            EXPECT_FALSE(isRed(idle.pixel(x, y)));
            if (qAlpha(idle.pixel(x, y)) > 128) ++inked;
        }
    }
    EXPECT_GT(inked, 32 * 32 / 10);

    icon.setLabel(MenuBarLabel{});
    EXPECT_EQ(icon.toolTip(), "Kavo Meetings");
    EXPECT_EQ(icon.icon().pixmap(32, 32).toImage(), idle);
}

}  // namespace
}  // namespace kavo
