// A flat combo box seen as a list of code-name items, so the fill rule of the
// data layer can fill the forms' lists.
#pragma once

#include "TFlatComboBox.h"
#include "plan_vocabulary.h"

class ComboList : public CodeNameList {
public:
    explicit ComboList(TFlatComboBox *combo) : combo_(combo) {}

    void clear_all() override { combo_->clearAll(); }
    void add_item(const std::string &item) override { combo_->addItem(QString::fromStdString(item)); }
    int item_count() const override { return combo_->count(); }
    std::string item(int index) const override { return combo_->itemText(index).toStdString(); }
    void set_text(const std::string &text) override { combo_->setText(QString::fromStdString(text)); }
    std::string text() const override { return combo_->text().toStdString(); }

private:
    TFlatComboBox *combo_;
};

// The shown text of a combo box as the statements use it.
inline std::string text_of(const TFlatComboBox *combo) { return combo->text().toStdString(); }
