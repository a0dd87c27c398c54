#pragma once

#include "rules/FilterRule.h"

#include <QWidget>
#include <string>
#include <string_view>
#include <vector>

class QComboBox;
class QDateEdit;
class QGridLayout;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTimeEdit;

namespace vorn {
struct BackupProject;
struct EditorState;

// A typed name filter made safe for a rule item: every "^", "(" and ")" goes, and so does
// the separator where it stands at a character boundary (where it can only be the separator,
// never part of a UTF-8 character). Multibyte characters are kept whole.
[[nodiscard]] std::string CleanNameFilter(std::string_view typed);

// How a stored rule item is shown: UTF-8, with the separator drawn as " · " (every font
// has that glyph; the ideographic comma it stands for is missing from many).
[[nodiscard]] QString RuleItemDisplayText(std::string_view item);
} // namespace vorn

// The "Filter Rules" page: the project's rule items, and the controls to compose a new one
// from a name filter, a modification-time range and a size range.
class CSelectRule : public QWidget {
    Q_OBJECT
public:
    // Shows the defaults, and the items of state.editedProject when state.isModifying.
    explicit CSelectRule(const vorn::EditorState& state, QWidget* parent = nullptr);

    // Writes ftprule: every item followed by "^".
    void Collect(vorn::BackupProject& project) const;

    // The stored bytes of the items, in list order.
    [[nodiscard]] std::vector<std::string> Items() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The date, time and size conditions under the list.
    QGridLayout* MakeConditionGrid();
    // Fills the list from a stored rule text, items ending in "^".
    void ShowRules(const std::string& text);
    void FillPresets();
    // When a pattern of the filter box can match no file, names it with the form probably
    // meant and, if the user takes it, puts that form into the box.
    void OfferPatternAdvice();
    void AddItem();
    void DeleteItem();
    void AppendItem(const std::string& item);
    [[nodiscard]] std::string BuildItem() const;
    void UpdateTimeControls();
    void UpdateSizeControls();

    QListWidget* list_;
    QComboBox* filterCombo_;
    QComboBox* timeOp1_;
    QDateEdit* date1_;
    QTimeEdit* time1_;
    QComboBox* timeOp2_;
    QDateEdit* date2_;
    QTimeEdit* time2_;
    QComboBox* sizeOp1_;
    QLineEdit* size1_;
    QComboBox* unit1_;
    QComboBox* sizeOp2_;
    QLineEdit* size2_;
    QComboBox* unit2_;
    QPushButton* addButton_;
    QPushButton* deleteButton_;
};
