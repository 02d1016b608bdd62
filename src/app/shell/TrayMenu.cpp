#include "app/shell/TrayMenu.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QString>
#include <algorithm>
#include <cctype>

namespace kavo {
namespace {

// Qt reads "&" in an action's text as a mnemonic marker; a tenant called "Smith & Co"
// must show its ampersand.
QString actionText(const std::string& title) {
    return QString::fromStdString(title).replace(QLatin1Char('&'), QLatin1String("&&"));
}

QKeySequence keySequence(const std::optional<KeyboardShortcut>& shortcut) {
    if (!shortcut) return {};
    const int key = std::toupper(static_cast<unsigned char>(shortcut->key));
    if (key >= 'A' && key <= 'Z') {
        return QKeySequence(QKeyCombination(Qt::ControlModifier, Qt::Key(Qt::Key_A + (key - 'A'))));
    }
    if (key >= '0' && key <= '9') {
        return QKeySequence(QKeyCombination(Qt::ControlModifier, Qt::Key(Qt::Key_0 + (key - '0'))));
    }
    return {};
}

// Same rows of the same kinds, actions and shortcuts: the drawn actions can be kept.
bool sameShape(const std::vector<MenuItem>& a, const std::vector<MenuItem>& b) {
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](const MenuItem& x, const MenuItem& y) {
            return x.kind == y.kind && x.action == y.action && x.shortcut == y.shortcut;
        });
}

}  // namespace

TrayMenu::TrayMenu(Handler handler)
    : handler_(std::move(handler)), menu_(std::make_unique<QMenu>()) {
    menu_->setTitle(QStringLiteral("Kavo Meetings"));
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::update(std::vector<MenuItem> items) {
    if (items == items_) return;
    const bool keepActions = sameShape(items_, items);
    items_ = std::move(items);
    if (keepActions) {
        for (std::size_t i = 0; i < items_.size(); ++i) apply(i);
    } else {
        rebuild();
    }
}

void TrayMenu::rebuild() {
    menu_->clear();  // deletes the actions it owns
    actions_.clear();
    actions_.reserve(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i) {
        QAction* action = nullptr;
        if (items_[i].kind == MenuItem::Kind::divider) {
            action = menu_->addSeparator();
        } else {
            action = menu_->addAction(QString());
            QObject::connect(action, &QAction::triggered, menu_.get(), [this, i] { trigger(i); });
        }
        actions_.push_back(action);
        apply(i);
    }
}

void TrayMenu::apply(std::size_t index) {
    const MenuItem& item = items_[index];
    QAction* action = actions_[index];
    if (item.kind == MenuItem::Kind::divider) return;
    action->setText(actionText(item.title));
    action->setShortcut(keySequence(item.shortcut));
    // Shortcuts are drawn in the menu and work while it is open.
    action->setShortcutVisibleInContextMenu(true);
    action->setCheckable(item.kind == MenuItem::Kind::toggle);
    action->setChecked(item.kind == MenuItem::Kind::toggle && item.isOn);
    action->setEnabled(item.kind != MenuItem::Kind::text && item.enabled);
    if (item.link) {
        action->setToolTip(QString::fromStdString(*item.link));
    } else {
        action->setToolTip(QString());
    }
}

void TrayMenu::trigger(std::size_t index) {
    if (index >= items_.size()) return;
    // A copy: the handler may redraw the menu and replace the items.
    const MenuItem item = items_[index];
    // Qt flips a checkable action by itself; the model decides, through the next update.
    if (item.kind == MenuItem::Kind::toggle) actions_[index]->setChecked(item.isOn);
    if (handler_) handler_(item);
}

}  // namespace kavo
