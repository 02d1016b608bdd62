#pragma once

#include <QMessageBox>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/LinuxDesktop.h"
#include "app/LinuxServices.h"
#include "app/MenuModel.h"
#include "app/shell/QtMainScheduler.h"
#include "app/shell/ReportWindow.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/TrayMenu.h"
#include "base/Clock.h"

namespace kavo::shell {

// The tray application: the application on the Qt event loop, its menu in the tray (or in
// a small window where the desktop has no tray), the report window and the browser.
// Made and used on the GUI thread of a running QApplication.
class TrayApplication {
public:
    struct Options {
        // Called with the menu as text whenever it changes.
        std::function<void(const std::string&)> printMenu;
        // Saved as a PNG of the drawn menu whenever it changes, when not empty.
        std::string menuImage;
    };

    TrayApplication(LinuxServices& services, const Clock& clock, Options options);
    TrayApplication(const TrayApplication&) = delete;
    TrayApplication& operator=(const TrayApplication&) = delete;
    ~TrayApplication();

    KavoMeetingsDesktopApp& app() { return desktop_->app(); }
    TrayMenu& menu() { return menu_; }
    TrayIcon& icon() { return icon_; }
    Scheduler& main() { return main_; }

    // The menu as plain text, one item a line.
    static std::string describe(const std::vector<MenuItem>& items);
    // Draws the menu as it pops up and saves it as a PNG; false when it could not be saved.
    static bool saveImage(TrayMenu& menu, const std::string& path);

private:
    void refresh();
    void showDeviceCode(const std::string& message);

    Options options_;
    LinuxServices& services_;
    QtMainScheduler main_;
    ReportPresenter reports_;
    TrayMenu menu_;
    TrayIcon icon_;
    std::unique_ptr<QMessageBox> deviceCode_;
    std::unique_ptr<LinuxDesktop> desktop_;
    std::string printed_;
};

}  // namespace kavo::shell
