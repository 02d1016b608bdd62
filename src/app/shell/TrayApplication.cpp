#include "app/shell/TrayApplication.h"

#include <fmt/format.h>

#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QUrl>

namespace kavo::shell {

TrayApplication::TrayApplication(LinuxServices& services, const Clock& clock, Options options)
    : options_(std::move(options)),
      services_(services),
      menu_([this](const MenuItem& item) { desktop_->app().perform(item); }),
      icon_(menu_.menu()) {
    // Without a browser the sign-in shows a code to enter on another device; it arrives
    // on the sign-in's worker thread.
    services.setShowDeviceCode([this](const OAuthSignInService::DeviceCodePrompt& prompt) {
        main_.post([this, prompt] { showDeviceCode(prompt.message); });
    });
    desktop_ = std::make_unique<LinuxDesktop>(
        services, clock,
        LinuxDesktop::Shell{
            .main = &main_,
            .openURL =
                [](const std::string& url) {
                    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
                },
            .showReport =
                [this](std::shared_ptr<ProblemReportForm> form) { reports_.show(std::move(form)); },
            .quit = [] { QApplication::quit(); },
        });
    desktop_->app().observe([this] { refresh(); });
    refresh();
    icon_.show();
}

TrayApplication::~TrayApplication() {
    // The application posts to the main scheduler and calls back into the menu.
    desktop_.reset();
    services_.setShowDeviceCode({});
}

void TrayApplication::showDeviceCode(const std::string& message) {
    if (!deviceCode_) {
        deviceCode_ = std::make_unique<QMessageBox>(QMessageBox::Information, "Sign In", QString(),
                                                    QMessageBox::Close);
        deviceCode_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        deviceCode_->setModal(false);
    }
    deviceCode_->setText(QString::fromStdString(message));
    deviceCode_->show();
    deviceCode_->raise();
    deviceCode_->activateWindow();
}

void TrayApplication::refresh() {
    // The code is of no use once the sign-in has ended, either way.
    if (deviceCode_ && desktop_->app().session().phase().kind() != SessionPhase::Kind::signingIn) {
        deviceCode_->hide();
    }
    auto items = desktop_->app().menu();
    const std::string text = describe(items);
    menu_.update(std::move(items));
    icon_.setLabel(desktop_->app().label());
    if (text == printed_) return;
    printed_ = text;
    if (options_.printMenu) options_.printMenu(text);
    if (!options_.menuImage.empty()) saveImage(menu_, options_.menuImage);
}

std::string TrayApplication::describe(const std::vector<MenuItem>& items) {
    std::string text;
    for (const MenuItem& item : items) {
        switch (item.kind) {
            case MenuItem::Kind::divider:
                text += "----";
                break;
            case MenuItem::Kind::text:
                text += item.title;
                break;
            case MenuItem::Kind::button:
                text += "[" + item.title + "]";
                break;
            case MenuItem::Kind::toggle:
                text += (item.isOn ? "[x] " : "[ ] ") + item.title;
                break;
        }
        if (item.shortcut) text += fmt::format("  Ctrl+{}", item.shortcut->key);
        if (item.link) text += "  " + *item.link;
        text += "\n";
    }
    return text;
}

bool TrayApplication::saveImage(TrayMenu& menu, const std::string& path) {
    QMenu& drawn = menu.menu();
    const bool wasVisible = drawn.isVisible();
    if (!wasVisible) drawn.popup(QPoint(0, 0));
    const bool saved = drawn.grab().save(QString::fromStdString(path), "PNG");
    if (!wasVisible) drawn.hide();
    return saved;
}

}  // namespace kavo::shell
