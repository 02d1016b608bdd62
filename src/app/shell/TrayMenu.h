#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "app/MenuModel.h"

class QAction;
class QMenu;

namespace kavo {

// The menu model drawn as a QMenu: one QAction per item, in the model's order. Texts are
// disabled actions, toggles are checkable, dividers are separators, shortcuts are
// Ctrl+letter. Choosing an action calls the handler with (a copy of) its item; the handler
// may update the menu.
class TrayMenu {
public:
    using Handler = std::function<void(const MenuItem&)>;

    explicit TrayMenu(Handler handler);
    TrayMenu(const TrayMenu&) = delete;
    TrayMenu& operator=(const TrayMenu&) = delete;
    ~TrayMenu();

    // Redraws the menu when `items` differ from those drawn. When only titles, links,
    // enabled or check states differ the actions are updated in place, so an open menu
    // (the recording time ticks every second) keeps its highlighted row.
    void update(std::vector<MenuItem> items);

    const std::vector<MenuItem>& items() const { return items_; }
    // The action drawn for items()[index].
    QAction* action(std::size_t index) const { return actions_.at(index); }
    QMenu& menu() { return *menu_; }

private:
    void rebuild();
    void apply(std::size_t index);
    void trigger(std::size_t index);

    Handler handler_;
    std::unique_ptr<QMenu> menu_;
    std::vector<MenuItem> items_;
    std::vector<QAction*> actions_;  // owned by menu_
};

}  // namespace kavo
