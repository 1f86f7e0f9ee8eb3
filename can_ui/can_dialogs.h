// The two small dialogs of the CAN download window: choosing baud rate and node id by
// hand ("Select slave"), and naming the product of a first-generation bootloader.
// Both write class-wide session values and close; the CAN window acts on them.
#pragma once

#include <functional>

#include "session/tbootloader.h"
#include "ui/dialogs.h"
#include "ui/widgets.h"

namespace romtide {

class Tfrm_can_option {
  public:
    struct Controls {
        ui::ComboBox& combobox_baudrate;
        ui::LineEdit& edit_id;
    };
    // `close` closes the dialog (the view ends its modal loop).
    Tfrm_can_option(Tbootloader& session, ui::MessageBoxes& messages, Controls controls,
                    std::function<void()> close);

    // Creation, once at program start: the fields show the values of that moment and
    // are not refilled when the dialog opens again.
    void FormCreate();
    // Digits and backspace pass; every other key is dropped.
    static bool edit_idKeyPress(char key);
    void button_can_option_okayClick();
    void button_can_opt_cancelClick();

    static constexpr const char* kCaption = "CAN download - Select slave";

  private:
    Tbootloader& session_;
    ui::MessageBoxes& messages_;
    Controls controls_;
    std::function<void()> close_;
};

class Tfrm_selproduct {
  public:
    struct Controls {
        ui::ComboBox& combobox_devices;
    };
    Tfrm_selproduct(Tbootloader& session, Controls controls, std::function<void()> close);

    void FormCreate();
    void button_okayClick();
    void button_cancelClick();

    static constexpr const char* kCaption = "CAN download - select product";
    // Value of the selected product when the user cancelled the choice.
    static constexpr int32_t kCancelled = 2;

  private:
    Tbootloader& session_;
    Controls controls_;
    std::function<void()> close_;
};

}  // namespace romtide
