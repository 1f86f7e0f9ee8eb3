#include "can_ui/can_dialogs.h"

#include <array>
#include <charconv>
#include <string>
#include <utility>

#include "can_ui/can_texts.h"

namespace romtide {

namespace {

struct Product {
    const char* text;
    int32_t code;
};
constexpr std::array<Product, 3> kProducts{{
    {"Quadra", 387},
    {"Inkra", 498},
    {"Drehgeber (RKxx,RLxx,RMxx)", 497},
}};

// The node id as typed or pasted; nothing unless the whole text is a 32-bit number.
std::optional<int64_t> parseNodeId(const std::string& text) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
    }
    int32_t value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

Tfrm_can_option::Tfrm_can_option(Tbootloader& session, ui::MessageBoxes& messages,
                                 Controls controls, std::function<void()> close)
    : session_(session), messages_(messages), controls_(controls), close_(std::move(close)) {}

void Tfrm_can_option::FormCreate() {
    const auto& items = canui::baudListItems();
    controls_.combobox_baudrate.setItems({items.begin(), items.end()});
    controls_.combobox_baudrate.setItemIndex(session_.canComm->GetBaudIndex());
    controls_.edit_id.setText(std::to_string(session_.GetNodeId()));
}

bool Tfrm_can_option::edit_idKeyPress(char key) {
    return (key >= '0' && key <= '9') || key == 8;
}

void Tfrm_can_option::button_can_option_okayClick() {
    bool noRate = controls_.combobox_baudrate.itemIndex() < 0;
    bool noId = controls_.edit_id.text().empty();
    if (noRate || noId) {
        if (noRate) {
            messages_.show({"Please select a baudrate or click 'Cancel'.", "Bootloader",
                            ui::MessageIcon::None, ui::MessageButtons::Ok});
        }
        if (noId) {
            messages_.show({"Please select an ID or click 'Cancel'.", "Bootloader",
                            ui::MessageIcon::None, ui::MessageButtons::Ok});
        }
        return;
    }
    auto node = parseNodeId(controls_.edit_id.text());
    if (!node || *node < 1 || *node > 127) {
        messages_.show({"The NodeID number has to be between 1 and 127.", "Bootloader",
                        ui::MessageIcon::Information, ui::MessageButtons::Ok});
        return;
    }
    session_.SetNodeId(static_cast<int32_t>(*node));
    // The index of the item whose text the list shows.
    const auto& items = canui::baudListItems();
    std::string shown = controls_.combobox_baudrate.text();
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] == shown) {
            session_.canComm->SetBaudIndex(static_cast<int32_t>(i));
            break;
        }
    }
    close_();
}

void Tfrm_can_option::button_can_opt_cancelClick() {
    close_();
}

Tfrm_selproduct::Tfrm_selproduct(Tbootloader& session, Controls controls,
                                 std::function<void()> close)
    : session_(session), controls_(controls), close_(std::move(close)) {}

void Tfrm_selproduct::FormCreate() {
    std::vector<std::string> items;
    for (const auto& p : kProducts) {
        items.emplace_back(p.text);
    }
    controls_.combobox_devices.setItems(items);
    controls_.combobox_devices.setText("Quadra");
}

void Tfrm_selproduct::button_okayClick() {
    std::string text = controls_.combobox_devices.text();
    for (const auto& p : kProducts) {
        if (text == p.text) {
            Tbootloader::selectedProduct = p.code;
            break;
        }
    }
    close_();
}

void Tfrm_selproduct::button_cancelClick() {
    Tbootloader::selectedProduct = kCancelled;
    close_();
}

}  // namespace romtide
