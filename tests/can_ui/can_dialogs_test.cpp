// Choosing node id, baud rate and product by hand.
#include <gtest/gtest.h>

#include "can_ui/can_dialogs.h"
#include "support/fakes.h"

namespace romtide {
namespace {

class SelectSlave : public ::testing::Test {
  protected:
    void SetUp() override {
        Tbootloader::resetSharedState();
        session.canComm->SetBaudIndex(2);
        dialog.FormCreate();
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& m : ui.messages.shown) {
            out.push_back(m.text);
        }
        return out;
    }

    test::TestServices ui;
    Tbootloader session{ui.services};
    ui::PlainComboBox rates;
    ui::PlainLineEdit id;
    int closed = 0;
    Tfrm_can_option dialog{session, ui.messages, {rates, id}, [this] { ++closed; }};
};

TEST_F(SelectSlave, CreationShowsTheValuesOfThatMomentOnly) {
    EXPECT_EQ(rates.itemIndex(), 2);
    EXPECT_EQ(rates.text(), "    50 kBit/s");
    EXPECT_EQ(id.text(), "1");
    session.SetNodeId(9);
    EXPECT_EQ(id.text(), "1") << "the fields are not refilled later";
}

TEST_F(SelectSlave, OkWritesNodeAndRateAndCloses) {
    rates.setItemIndex(8);
    id.setText("127");
    dialog.button_can_option_okayClick();
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(session.GetNodeId(), 127);
    EXPECT_EQ(session.GetSdoId(), 0x67F);
    EXPECT_EQ(session.canComm->GetBaudIndex(), 8);
    EXPECT_TRUE(ui.messages.shown.empty());
}

TEST_F(SelectSlave, BothFieldsEmptyGiveBothMessagesRateFirstAndStayOpen) {
    rates.setItemIndex(-1);
    id.setText("");
    dialog.button_can_option_okayClick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"Please select a baudrate or click 'Cancel'.",
                                                 "Please select an ID or click 'Cancel'."}));
    for (const auto& m : ui.messages.shown) {
        EXPECT_EQ(m.title, "Bootloader");
        EXPECT_EQ(m.icon, ui::MessageIcon::None);
    }
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(session.GetNodeId(), 1);
}

TEST_F(SelectSlave, NodeIdsOutsideOneTo127OrNotNumbersGiveTheRangeMessage) {
    for (const char* bad : {"0", "128", "12a", "-5", "99999999999", " 7", "+"}) {
        ui.messages.shown.clear();
        id.setText(bad);
        dialog.button_can_option_okayClick();
        ASSERT_EQ(ui.messages.shown.size(), 1u) << bad;
        EXPECT_EQ(ui.messages.shown[0].text, "The NodeID number has to be between 1 and 127.");
        EXPECT_EQ(ui.messages.shown[0].icon, ui::MessageIcon::Information);
        EXPECT_EQ(closed, 0);
        EXPECT_EQ(session.GetNodeId(), 1) << bad;
    }
    id.setText("1");
    dialog.button_can_option_okayClick();
    EXPECT_EQ(closed, 1);
}

TEST_F(SelectSlave, CancelWritesNothingAndTheKeyFilterPassesDigitsAndBackspace) {
    rates.setItemIndex(0);
    id.setText("50");
    dialog.button_can_opt_cancelClick();
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(session.GetNodeId(), 1);
    EXPECT_EQ(session.canComm->GetBaudIndex(), 2);
    EXPECT_TRUE(Tfrm_can_option::edit_idKeyPress('0'));
    EXPECT_TRUE(Tfrm_can_option::edit_idKeyPress('9'));
    EXPECT_TRUE(Tfrm_can_option::edit_idKeyPress(8));
    EXPECT_FALSE(Tfrm_can_option::edit_idKeyPress('a'));
    EXPECT_FALSE(Tfrm_can_option::edit_idKeyPress('-'));
    EXPECT_FALSE(Tfrm_can_option::edit_idKeyPress(' '));
}

TEST(SelectProduct, ExactItemTextsChooseTheProductCancelChoosesTwo) {
    Tbootloader::resetSharedState();
    test::TestServices ui;
    Tbootloader session(ui.services);
    ui::PlainComboBox devices;
    int closed = 0;
    Tfrm_selproduct dialog(session, {devices}, [&] { ++closed; });
    dialog.FormCreate();
    EXPECT_EQ(devices.text(), "Quadra");

    dialog.button_okayClick();
    EXPECT_EQ(Tbootloader::selectedProduct, 387);
    for (auto [text, code] :
         {std::pair{"Inkra", 498}, std::pair{"Drehgeber (RKxx,RLxx,RMxx)", 497}}) {
        devices.setText(text);
        dialog.button_okayClick();
        EXPECT_EQ(Tbootloader::selectedProduct, code);
    }
    Tbootloader::selectedProduct = 0;
    devices.setText("quadra");
    dialog.button_okayClick();
    EXPECT_EQ(Tbootloader::selectedProduct, 0) << "case matters; nothing is written";
    dialog.button_cancelClick();
    EXPECT_EQ(Tbootloader::selectedProduct, 2);
    EXPECT_EQ(closed, 5);
}

}  // namespace
}  // namespace romtide
