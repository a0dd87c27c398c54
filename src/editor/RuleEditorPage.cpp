#include "editor/RuleEditorPage.h"

#include "editor/EditorState.h"
#include "editor/EditorWidgets.h"
#include "gui/Prompt.h"
#include "rules/PatternAdvice.h"

#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimeEdit>
#include <QVBoxLayout>

namespace vorn {
namespace {

bool IsContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// Length of the UTF-8 character that starts at `i`, or 1 for a byte that starts none.
std::size_t CharacterLength(std::string_view text, std::size_t i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (i + length > text.size())
        return 1;
    for (std::size_t k = 1; k < length; ++k) {
        if (!IsContinuation(static_cast<unsigned char>(text[i + k])))
            return 1;
    }
    return length;
}

} // namespace

std::string CleanNameFilter(std::string_view typed)
{
    std::string clean;
    clean.reserve(typed.size());
    std::size_t i = 0;
    while (i < typed.size()) {
        const char c = typed[i];
        if (c == '^' || c == '(' || c == ')') {
            ++i;
            continue;
        }
        if (typed.substr(i, kRuleSeparator.size()) == kRuleSeparator) {
            i += kRuleSeparator.size();
            continue;
        }
        const std::size_t length = CharacterLength(typed, i);
        clean.append(typed.substr(i, length));
        i += length;
    }
    return clean;
}

QString RuleItemDisplayText(std::string_view item)
{
    QString shown;
    std::size_t start = 0;
    while (start <= item.size()) {
        const std::size_t at = item.find(kRuleSeparator, start);
        const std::size_t end = at == std::string_view::npos ? item.size() : at;
        shown += QString::fromUtf8(item.data() + start, static_cast<qsizetype>(end - start));
        if (at == std::string_view::npos)
            break;
        shown += QStringLiteral(" \u00B7 ");
        start = at + kRuleSeparator.size();
    }
    return shown;
}

} // namespace vorn

namespace {

constexpr int ItemBytesRole = Qt::UserRole;

QComboBox* MakeCombo(QWidget* parent, const char* objectName, const QStringList& entries)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(objectName);
    combo->addItems(entries);
    return combo;
}

QDateEdit* MakeDate(QWidget* parent, const char* objectName)
{
    auto* edit = new QDateEdit(QDate::currentDate(), parent);
    edit->setObjectName(objectName);
    // Month-day-year, the form the rule parser reads.
    edit->setDisplayFormat("MM-dd-yyyy");
    edit->setCalendarPopup(true);
    return edit;
}

QTimeEdit* MakeTime(QWidget* parent, const char* objectName, QTime time)
{
    auto* edit = new QTimeEdit(time, parent);
    edit->setObjectName(objectName);
    // 24-hour: the parser takes the first number as the hour and ignores any AM/PM marker.
    edit->setDisplayFormat("HH:mm:ss");
    return edit;
}

const QString kPatternHelp = QStringLiteral(
    "Patterns separated by blanks: .ext (the name ends with ext), @text (the name contains text), "
    "#text (the name begins with text). A file is copied when any rule matches it.");

} // namespace

CSelectRule::CSelectRule(const vorn::EditorState& state, QWidget* parent)
    : QWidget(parent)
    , list_(new QListWidget(this))
    , filterCombo_(new QComboBox(this))
    , timeOp1_(MakeCombo(this, "timeOp1Combo", { "<", ">=", "Any" }))
    , date1_(MakeDate(this, "date1Edit"))
    , time1_(MakeTime(this, "time1Edit", QTime(0, 0, 0)))
    , timeOp2_(MakeCombo(this, "timeOp2Combo", { "<=", ">" }))
    , date2_(MakeDate(this, "date2Edit"))
    , time2_(MakeTime(this, "time2Edit", QTime(23, 59, 59)))
    , sizeOp1_(MakeCombo(this, "sizeOp1Combo", { "<", ">=", "Any" }))
    , size1_(vorn::editor::MakeEdit(this, "size1Edit", 8, true))
    , unit1_(MakeCombo(this, "unit1Combo", { "BYTE", "KB", "MB", "GB" }))
    , sizeOp2_(MakeCombo(this, "sizeOp2Combo", { "<=", ">" }))
    , size2_(vorn::editor::MakeEdit(this, "size2Edit", 8, true))
    , unit2_(MakeCombo(this, "unit2Combo", { "BYTE", "KB", "MB", "GB" }))
    , addButton_(vorn::editor::MakeButton(this, "addRuleButton", "Add"))
    , deleteButton_(vorn::editor::MakeButton(this, "deleteRuleButton", "Delete"))
{
    setObjectName("filterRulesPage");
    list_->setObjectName("ruleList");
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    filterCombo_->setObjectName("fileFilterCombo");
    filterCombo_->setEditable(true);
    filterCombo_->setInsertPolicy(QComboBox::NoInsert);
    // No inline completion: typing ".mp3" must not silently become the whole audio preset.
    filterCombo_->setCompleter(nullptr);
    filterCombo_->setToolTip(kPatternHelp);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(addButton_);
    buttons->addWidget(deleteButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(MakeConditionGrid());
    layout->addLayout(buttons);

    timeOp1_->setCurrentIndex(2);
    sizeOp1_->setCurrentIndex(2);
    timeOp2_->setCurrentIndex(0);
    sizeOp2_->setCurrentIndex(0);
    deleteButton_->setEnabled(false);

    if (state.isModifying)
        ShowRules(state.editedProject.ftprule);
    UpdateTimeControls();
    UpdateSizeControls();

    FillPresets();

    connect(timeOp1_, &QComboBox::currentIndexChanged, this, &CSelectRule::UpdateTimeControls);
    connect(sizeOp1_, &QComboBox::currentIndexChanged, this, &CSelectRule::UpdateSizeControls);
    connect(addButton_, &QPushButton::clicked, this, &CSelectRule::AddItem);
    connect(deleteButton_, &QPushButton::clicked, this, &CSelectRule::DeleteItem);
    connect(list_, &QListWidget::itemSelectionChanged, this,
        [this] { deleteButton_->setEnabled(!list_->selectedItems().isEmpty()); });
}

QGridLayout* CSelectRule::MakeConditionGrid()
{
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("File Filter:", this), 0, 0);
    grid->addWidget(filterCombo_, 0, 1, 1, 3);
    // What the patterns mean, under the box: "*.tmp", the form most tools take, matches nothing.
    auto* help = new QLabel(kPatternHelp, this);
    help->setObjectName("filterHelpLabel");
    help->setWordWrap(true);
    help->setTextFormat(Qt::PlainText);
    help->setForegroundRole(QPalette::PlaceholderText);
    grid->addWidget(help, 1, 1, 1, 3);
    grid->addWidget(new QLabel("Data/Time:", this), 2, 0);
    grid->addWidget(timeOp1_, 2, 1);
    grid->addWidget(date1_, 2, 2);
    grid->addWidget(time1_, 2, 3);
    grid->addWidget(timeOp2_, 3, 1);
    grid->addWidget(date2_, 3, 2);
    grid->addWidget(time2_, 3, 3);
    grid->addWidget(new QLabel("File Size:", this), 4, 0);
    grid->addWidget(sizeOp1_, 4, 1);
    grid->addWidget(size1_, 4, 2);
    grid->addWidget(unit1_, 4, 3);
    grid->addWidget(sizeOp2_, 5, 1);
    grid->addWidget(size2_, 5, 2);
    grid->addWidget(unit2_, 5, 3);
    grid->setColumnStretch(2, 1);
    grid->setColumnStretch(3, 1);
    return grid;
}

void CSelectRule::ShowRules(const std::string& text)
{
    std::size_t start = 0;
    for (std::size_t at = text.find('^'); at != std::string::npos; at = text.find('^', start)) {
        AppendItem(text.substr(start, at - start));
        start = at + 1;
    }
}

void CSelectRule::FillPresets()
{
    // A sorted list: the presets in byte order, "Any Files" last.
    QStringList presets { ".txt .doc .docx .pdf", ".mp3 .ogg .wav .ape .wma .flac", ".bmp .png .jpg .gif",
        "Any Files" };
    presets.sort(Qt::CaseSensitive);
    filterCombo_->addItems(presets);
    filterCombo_->setCurrentIndex(filterCombo_->findText("Any Files"));
}

void CSelectRule::Collect(vorn::BackupProject& project) const
{
    std::string text;
    for (const std::string& item : Items())
        text += item + "^";
    project.ftprule = text;
}

std::vector<std::string> CSelectRule::Items() const
{
    std::vector<std::string> items;
    for (int row = 0; row < list_->count(); ++row)
        items.push_back(list_->item(row)->data(ItemBytesRole).toByteArray().toStdString());
    return items;
}

void CSelectRule::AppendItem(const std::string& item)
{
    auto* row = new QListWidgetItem(vorn::RuleItemDisplayText(item));
    // The separator bytes are not UTF-8: the item is kept as bytes, the text only shows it.
    row->setData(ItemBytesRole, QByteArray::fromStdString(item));
    list_->addItem(row);
}

std::string CSelectRule::BuildItem() const
{
    const std::string separator(vorn::kRuleSeparator);
    std::string filter = filterCombo_->currentText().toStdString();
    if (filter == "Any Files")
        filter.clear();
    std::string item = "File Rule(" + vorn::CleanNameFilter(filter) + ")" + separator;

    item += "Modify Time ";
    if (timeOp1_->currentIndex() == 2) {
        item += "Any";
    } else {
        item += timeOp1_->currentText().toStdString() + date1_->text().toStdString() + " "
            + time1_->text().toStdString() + "|" + timeOp2_->currentText().toStdString()
            + date2_->text().toStdString() + " " + time2_->text().toStdString();
    }

    item += separator + "File Size ";
    if (sizeOp1_->currentIndex() == 2) {
        item += "Any";
    } else {
        item += sizeOp1_->currentText().toStdString() + size1_->text().toStdString()
            + unit1_->currentText().toStdString() + "|" + sizeOp2_->currentText().toStdString()
            + size2_->text().toStdString() + unit2_->currentText().toStdString();
    }
    return item;
}

void CSelectRule::OfferPatternAdvice()
{
    const QString typed = filterCombo_->currentText();
    if (typed == QLatin1String("Any Files"))
        return;
    const std::string filter = typed.toStdString();
    const std::vector<vorn::PatternAdvice> advice = vorn::AdviseNamePatterns(filter);
    if (advice.empty())
        return;
    QStringList named;
    for (const vorn::PatternAdvice& a : advice)
        named << QString::fromStdString("\"" + a.pattern + "\" (did you mean \"" + a.suggestion + "\"?)");
    const QString fixed = QString::fromStdString(vorn::ApplyPatternAdvice(filter));
    const QString question = "These patterns match no file name:\n" + named.join("\n") + "\n\n" + kPatternHelp
        + "\n\nYes adds the rule with the filter \"" + fixed + "\"; No adds it as typed.";
    // The user decides: a rule is stored with the meaning it was given.
    if (Prompt::Question(question, "File Filter", this, true) == Prompt::Answer::Yes)
        filterCombo_->setEditText(fixed);
}

void CSelectRule::AddItem()
{
    OfferPatternAdvice();
    const std::string item = BuildItem();
    for (const std::string& existing : Items()) {
        if (existing == item)
            return;
    }
    AppendItem(item);
}

void CSelectRule::DeleteItem()
{
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty())
        return;
    const int row = list_->row(selected.first());
    // The neighbour before it takes the selection (the second item when the first goes).
    const int next = row == 0 ? 1 : row - 1;
    list_->clearSelection();
    if (next < list_->count())
        list_->setCurrentRow(next);
    delete list_->takeItem(row);
    deleteButton_->setEnabled(!list_->selectedItems().isEmpty());
}

void CSelectRule::UpdateTimeControls()
{
    const bool on = timeOp1_->currentIndex() != 2;
    for (QWidget* w : std::initializer_list<QWidget*> { date1_, time1_, timeOp2_, date2_, time2_ })
        w->setEnabled(on);
}

void CSelectRule::UpdateSizeControls()
{
    const bool on = sizeOp1_->currentIndex() != 2;
    for (QWidget* w : std::initializer_list<QWidget*> { size1_, unit1_, sizeOp2_, size2_, unit2_ })
        w->setEnabled(on);
}

void CSelectRule::keyPressEvent(QKeyEvent* event)
{
    if (vorn::editor::IsEnterOrEscape(event)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
