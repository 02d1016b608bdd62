#include <gtest/gtest.h>

#include <QAction>
#include <QImage>
#include <QMenu>
#include <QSet>
#include <QToolButton>
#include <QWidget>
#include <QtTest/QTest>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/MenuModel.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/TrayMenu.h"
#include "support/MenuStateBuilders.h"
#include "support/ScopedTimeZone.h"

namespace kavo {
namespace {

using testing::avery;
using testing::captureAt;

// The text Qt draws for an action: "&&" is an ampersand, a lone "&" marks a mnemonic and
// is not drawn.
std::string shownText(const QString& text) {
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) {
                shown += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        shown += text[i];
    }
    return shown.toStdString();
}

// One line per drawn action: check box, text, shortcut, whether it can be chosen.
std::string describe(const QAction* action) {
    if (action->isSeparator()) return "---";
    std::string line;
    if (action->isCheckable()) line += action->isChecked() ? "[x] " : "[ ] ";
    line += shownText(action->text());
    if (!action->shortcut().isEmpty()) {
        line += " <" + action->shortcut().toString(QKeySequence::PortableText).toStdString() + ">";
    }
    if (!action->isEnabled()) line += " (disabled)";
    return line;
}

std::vector<std::string> drawn(QMenu& menu) {
    std::vector<std::string> lines;
    for (const QAction* action : menu.actions()) lines.push_back(describe(action));
    return lines;
}

// An ampersand in the name: Qt would take a bare one for a mnemonic marker.
Tenant contoso() {
    return Tenant{"tid-contoso", "Contoso & Sons", "CS", "https://kavo.example/app/", "eu",
                  "active"};
}

MenuState inPhase(SessionPhase phase) {
    MenuState state;
    state.phase = std::move(phase);
    return state;
}

MenuState signedOutAfterAFailure() {
    MenuState state = inPhase(SessionPhase::signedOut());
    state.signInError = "Sign-in is unavailable: no client id";
    return state;
}

MenuState signedInIdle() {
    MenuState state = inPhase(SessionPhase::signedIn(avery(), contoso()));
    state.recentCaptures = {
        captureAt("2024-03-04T09:05:00.000Z", 3725, "rec-1", "DELIVERED"),
        captureAt("2024-03-03T14:00:00.000Z", 754, std::nullopt, std::nullopt)};
    return state;
}

MenuState signedInRecording() {
    MenuState state = inPhase(SessionPhase::signedIn(avery(), contoso()));
    state.isRecording = true;
    state.elapsedLabel = "1:23";
    state.upload = UploadStatus::uploading(0.424);
    state.availableUpdate = AvailableUpdate{"2.4.0", "https://updates.kavo.example/download"};
    state.autoCaptureEnabled = false;
    return state;
}

struct MenuCase {
    const char* name;
    MenuState state;
    std::vector<std::string> expected;
};

// Keeps test listings readable: a case prints as its name.
void PrintTo(const MenuCase& menuCase, std::ostream* out) { *out << menuCase.name; }

std::vector<MenuCase> everyPhase() {
    const std::string identity = "Contoso & Sons \u2014 avery.quinn@contoso.test (disabled)";
    return {
        {"bootstrapping", inPhase(SessionPhase::bootstrapping()),
         {"Signing in... (disabled)", "---", "Quit <Ctrl+Q>"}},
        {"signedOutAfterAFailure", signedOutAfterAFailure(),
         {"Sign In", "Sign-in is unavailable: no client id (disabled)", "---", "Quit <Ctrl+Q>"}},
        {"tenantNotRegistered", inPhase(SessionPhase::tenantNotRegistered(avery())),
         {"Your organisation isn't set up for Meetings yet. (disabled)",
          "Contact your IT administrator. (disabled)", "---", "Sign Out", "---",
          "Quit <Ctrl+Q>"}},
        {"notEntitled", inPhase(SessionPhase::notEntitled(avery())),
         {"avery.quinn@contoso.test doesn't have access to Meetings. (disabled)",
          "Contact your IT administrator. (disabled)", "---", "Sign Out", "---",
          "Quit <Ctrl+Q>"}},
        {"discoveryUnavailable",
         inPhase(SessionPhase::discoveryUnavailable(avery(), "The server is busy.")),
         {"The server is busy. (disabled)", "Try Again", "---", "Sign Out", "---",
          "Quit <Ctrl+Q>"}},
        {"signedInIdle", signedInIdle(),
         {identity, "---", "Start Recording <Ctrl+R>", "---",
          "4 Mar, 09:05 \u2014 1:02:05 \u2014 Uploaded",
          "3 Mar, 14:00 \u2014 12:34 \u2014 Not uploaded (disabled)", "---",
          "[x] Record Meetings Automatically", "Report a Problem", "Sign Out", "---",
          "Quit <Ctrl+Q>"}},
        {"signedInRecording", signedInRecording(),
         {identity, "---", "Recording 1:23 (disabled)", "Stop Recording <Ctrl+R>", "---",
          "Uploading 42% (disabled)", "---", "[ ] Record Meetings Automatically",
          "Report a Problem", "Sign Out", "---", "New Version Available \u2014 Open Download Page",
          "Quit <Ctrl+Q>"}},
    };
}

std::filesystem::path pngDirectory() {
    if (const char* dir = std::getenv("KAVO_MENU_PNG_DIR"); dir && *dir) return dir;
    return KAVO_MENU_PNG_DEFAULT_DIR;
}

class TrayMenuPhases : public ::testing::TestWithParam<MenuCase> {
protected:
    testing::ScopedTimeZone zone{"UTC0"};
};

TEST_P(TrayMenuPhases, DrawsEveryItemInOrderWithQuitLast) {
    std::vector<MenuItem> chosen;
    TrayMenu tray([&](const MenuItem& item) { chosen.push_back(item); });
    const std::vector<MenuItem> items = menuItems(GetParam().state);
    tray.update(items);

    EXPECT_EQ(drawn(tray.menu()), GetParam().expected);
    const QList<QAction*> actions = tray.menu().actions();
    ASSERT_EQ(static_cast<std::size_t>(actions.size()), items.size());
    EXPECT_EQ(actions.back()->text(), "Quit");
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(tray.action(i), actions[i]);

    // Every row that can be chosen reports its own item; texts and dividers report nothing.
    for (std::size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(describe(actions[i]));
        chosen.clear();
        actions[i]->trigger();
        const bool choosable =
            items[i].kind == MenuItem::Kind::button || items[i].kind == MenuItem::Kind::toggle;
        ASSERT_EQ(chosen.size(), choosable ? 1u : 0u);
        if (choosable) {
            EXPECT_EQ(chosen.front(), items[i]);
        }
    }
}

TEST_P(TrayMenuPhases, SavesTheDrawnMenuAsAPicture) {
    TrayMenu tray([](const MenuItem&) {});
    tray.update(menuItems(GetParam().state));

    const std::filesystem::path dir = pngDirectory();
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / (std::string(GetParam().name) + ".png");
    std::filesystem::remove(file);

    tray.menu().popup(QPoint(0, 0));
    ASSERT_TRUE(tray.menu().grab().save(QString::fromStdString(file.string())));
    tray.menu().hide();

    QImage image(QString::fromStdString(file.string()));
    ASSERT_FALSE(image.isNull()) << file;
    // A row is some 20 pixels high; every row must have been laid out.
    EXPECT_GE(image.height(), 12 * static_cast<int>(GetParam().expected.size()) / 2);
    EXPECT_GE(image.width(), 100);
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) colours.insert(image.pixel(x, y));
    }
    // Background and text at least, with antialiased edges in between.
    EXPECT_GT(colours.size(), 4) << file;
}

INSTANTIATE_TEST_SUITE_P(
    EverySessionPhase, TrayMenuPhases, ::testing::ValuesIn(everyPhase()),
    [](const ::testing::TestParamInfo<MenuCase>& param) { return std::string(param.param.name); });

TEST(TrayMenu, ClickingARowOfTheOpenMenuChoosesIt) {
    std::vector<MenuItem> chosen;
    TrayMenu tray([&](const MenuItem& item) { chosen.push_back(item); });
    tray.update(menuItems(signedInIdle()));
    QMenu& menu = tray.menu();
    menu.popup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu));

    // The identity row is text: clicking it does nothing and the menu stays open.
    QTest::mouseClick(&menu, Qt::LeftButton, {}, menu.actionGeometry(tray.action(0)).center());
    EXPECT_TRUE(chosen.empty());

    QTest::mouseClick(&menu, Qt::LeftButton, {}, menu.actionGeometry(tray.action(2)).center());
    ASSERT_EQ(chosen.size(), 1u);
    EXPECT_EQ(chosen.front().action, MenuAction::startRecording);
    menu.hide();
}

TEST(TrayMenu, TheLinkRowCarriesItsRecordingsAddress) {
    const testing::ScopedTimeZone zone("UTC0");
    std::vector<MenuItem> chosen;
    TrayMenu tray([&](const MenuItem& item) { chosen.push_back(item); });
    tray.update(menuItems(signedInIdle()));
    tray.action(4)->trigger();
    ASSERT_EQ(chosen.size(), 1u);
    EXPECT_EQ(chosen.front().action, MenuAction::openRecording);
    EXPECT_EQ(chosen.front().link, "https://kavo.example/app/meetings/rec-1");
}

TEST(TrayMenu, TheToggleShowsTheModelsStateNotQtsOwnFlip) {
    MenuState state = signedInIdle();
    std::vector<MenuItem> chosen;
    TrayMenu tray([&](const MenuItem& item) { chosen.push_back(item); });
    tray.update(menuItems(state));
    QAction* toggle = tray.action(7);
    ASSERT_EQ(shownText(toggle->text()), "Record Meetings Automatically");
    ASSERT_TRUE(toggle->isChecked());

    toggle->trigger();
    ASSERT_EQ(chosen.size(), 1u);
    EXPECT_EQ(chosen.front().action, MenuAction::toggleAutoCapture);
    EXPECT_TRUE(chosen.front().isOn);
    // Until the model says otherwise the switch is still on.
    EXPECT_TRUE(toggle->isChecked());

    state.autoCaptureEnabled = false;
    tray.update(menuItems(state));
    EXPECT_FALSE(tray.action(7)->isChecked());
}

TEST(TrayMenu, TheHandlerMayRedrawTheMenuFromItsChoice) {
    MenuState state = signedInIdle();
    TrayMenu* self = nullptr;
    std::vector<MenuAction> chosen;
    TrayMenu tray([&](const MenuItem& item) {
        chosen.push_back(*item.action);
        if (item.action == MenuAction::startRecording) {
            state.isRecording = true;
            self->update(menuItems(state));
        }
    });
    self = &tray;
    tray.update(menuItems(state));
    tray.action(2)->trigger();
    EXPECT_EQ(chosen, (std::vector{MenuAction::startRecording}));
    EXPECT_EQ(shownText(tray.action(3)->text()), "Stop Recording");
    tray.action(3)->trigger();
    EXPECT_EQ(chosen, (std::vector{MenuAction::startRecording, MenuAction::stopRecording}));
}

TEST(TrayMenu, RedrawsOnlyWhatChanged) {
    MenuState state = signedInRecording();
    TrayMenu tray([](const MenuItem&) {});
    tray.update(menuItems(state));
    const QList<QAction*> first = tray.menu().actions();

    // The same items: nothing is redrawn.
    tray.update(menuItems(state));
    EXPECT_EQ(tray.menu().actions(), first);

    // The time ticks and the switch flips: the same actions show the new values, so an
    // open menu keeps its place.
    state.elapsedLabel = "1:24";
    state.autoCaptureEnabled = true;
    tray.update(menuItems(state));
    EXPECT_EQ(tray.menu().actions(), first);
    EXPECT_EQ(shownText(tray.action(2)->text()), "Recording 1:24");
    EXPECT_TRUE(tray.action(7)->isChecked());

    // Another set of rows: the menu is drawn again.
    state.isRecording = false;
    tray.update(menuItems(state));
    EXPECT_EQ(tray.menu().actions().size(), first.size() - 1);
    EXPECT_EQ(describe(tray.action(2)), "Start Recording <Ctrl+R>");
}

// Not a colour of the icons' own making: the red of the recording dot.
bool isRed(QRgb pixel) {
    return qAlpha(pixel) > 200 && qRed(pixel) > 180 && qGreen(pixel) < 90 && qBlue(pixel) < 90;
}

TEST(TrayIcon, WithoutATrayHostTheMenuIsOfferedFromAWindow) {
    TrayMenu tray([](const MenuItem&) {});
    tray.update(menuItems(signedInIdle()));
    TrayIcon icon(tray.menu());
    // Offscreen there is no tray host.
    EXPECT_FALSE(icon.usesSystemTray());
    ASSERT_NE(icon.fallbackWindow(), nullptr);
    icon.show();
    EXPECT_TRUE(icon.fallbackWindow()->isVisible());
    auto* button = icon.fallbackWindow()->findChild<QToolButton*>();
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->menu(), &tray.menu());
    EXPECT_EQ(button->text(), "Kavo Meetings");
}

TEST(TrayIcon, RecordingShowsARedDotAndTheRunningTime) {
    TrayMenu tray([](const MenuItem&) {});
    TrayIcon icon(tray.menu());
    const QImage idle = icon.icon().pixmap(32, 32).toImage();
    EXPECT_FALSE(icon.showsRecording());
    EXPECT_EQ(icon.toolTip(), "Kavo Meetings");

    icon.setLabel(menuBarLabel(signedInRecording()));
    EXPECT_TRUE(icon.showsRecording());
    EXPECT_EQ(icon.toolTip(), "Recording 1:23");
    auto* button = icon.fallbackWindow()->findChild<QToolButton*>();
    ASSERT_NE(button, nullptr);
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
    EXPECT_NE(recording, idle);

    icon.setLabel(MenuBarLabel{});
    EXPECT_EQ(icon.toolTip(), "Kavo Meetings");
    EXPECT_EQ(icon.icon().pixmap(32, 32).toImage(), idle);
}

}  // namespace
}  // namespace kavo
