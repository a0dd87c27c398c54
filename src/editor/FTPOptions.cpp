#include "editor/FTPOptions.h"

#include "editor/EditorState.h"
#include "editor/EditorWidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QSpinBox* MakeNumber(QWidget* parent, const char* objectName, int low, int high, int value)
{
    auto* box = new QSpinBox(parent);
    box->setObjectName(objectName);
    box->setRange(low, high);
    box->setValue(value);
    return box;
}

// The code pages offered for the servers' names; iconv knows many more, which the headless
// 'options' command takes.
constexpr const char* kCharsets[]
    = { "auto", "UTF-8", "GBK", "GB18030", "Big5", "Shift_JIS", "EUC-JP", "EUC-KR", "CP1250", "CP1251",
          "CP1252", "KOI8-R", "ISO-8859-1", "ISO-8859-2", "ISO-8859-5", "ISO-8859-15" };

} // namespace

QGroupBox* FTPOptions::MakeNamesGroup(const vorn::ProjectOptions& options)
{
    auto* names = new QGroupBox("Names", this);
    exclude_ = new QLineEdit(QString::fromStdString(options.exclude), names);
    exclude_->setObjectName("excludeEdit");
    exclude_->setPlaceholderText("cache/ *.log");
    auto* syntax
        = new QLabel("Patterns separated by spaces, below the project's folder: a name matches at any "
                     "depth (*.log), a path with \"/\" from the folder (wp-content/uploads/*/tmp/), "
                     "* stays within a name, ** spans folders (**/node_modules/), and a trailing "
                     "\"/\" matches folders, which are not entered.",
            names);
    syntax->setObjectName("excludeSyntaxLabel");
    syntax->setTextFormat(Qt::PlainText);
    syntax->setWordWrap(true);
    charset_ = new QComboBox(names);
    charset_->setObjectName("charsetBox");
    for (const char* name : kCharsets)
        charset_->addItem(name);
    const QString current = options.charset.empty() ? "auto" : QString::fromStdString(options.charset);
    if (charset_->findText(current) < 0)
        charset_->addItem(current);
    charset_->setCurrentText(current);
    charset_->setToolTip(
        "The code page of the servers' names. auto: UTF-8 when the server offers it, else the "
        "names' bytes as they come.");
    auto* layout = new QFormLayout(names);
    layout->addRow("Exclude:", exclude_);
    layout->addRow(syntax);
    layout->addRow("Code Page Of Names:", charset_);
    return names;
}

FTPOptions::FTPOptions(const vorn::EditorState& state, QWidget* parent)
    : QWidget(parent)
{
    setObjectName("optionsPage");
    const vorn::ProjectOptions options = state.isModifying ? state.editedOptions : vorn::ProjectOptions {};

    auto* archives = new QGroupBox("Archives", this);
    fullEvery_ = MakeNumber(archives, "fullEveryBox", 1, 365, options.fullEvery);
    fullEvery_->setToolTip(
        "With \"Backup New And Changed Files Only.\", every N-th archive holds all files.");
    keepArchives_ = MakeNumber(archives, "keepArchivesBox", 0, 1000, options.keepArchives);
    keepArchives_->setSpecialValueText("All");
    verifyArchive_ = new QCheckBox("Check Each Archive After Writing It", archives);
    verifyArchive_->setObjectName("verifyArchiveCheck");
    verifyArchive_->setChecked(options.verifyArchive);
    auto* archiveLayout = new QFormLayout(archives);
    archiveLayout->addRow("Full Archive Every (Runs):", fullEvery_);
    archiveLayout->addRow("Archives To Keep:", keepArchives_);
    archiveLayout->addRow(verifyArchive_);

    auto* transfers = new QGroupBox("Transfers", this);
    retries_ = MakeNumber(transfers, "retriesBox", 0, 10, options.retries);
    connections_ = MakeNumber(transfers, "connectionsBox", 1, 10, options.connections);
    auto* transferLayout = new QFormLayout(transfers);
    transferLayout->addRow("Retries Of A Failed Transfer:", retries_);
    transferLayout->addRow("Connections At Once:", connections_);
    verify_ = new QComboBox(transfers);
    verify_->setObjectName("verifyCombo");
    verify_->addItem("Size");
    verify_->addItem("Size And Server Checksum");
    verify_->setCurrentIndex(options.verifyChecksum ? 1 : 0);
    verify_->setToolTip(
        "Server checksums are HASH, XSHA256, XSHA1, XMD5 or XCRC; a server without "
        "them is checked by size. A copy whose checksum differs fails and the old copy is kept.");
    transferLayout->addRow("Check Each Copy By:", verify_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(archives);
    layout->addWidget(transfers);
    layout->addWidget(MakeNamesGroup(options));
    layout->addStretch(1);
}

void FTPOptions::Collect(vorn::ProjectOptions& options) const
{
    options.fullEvery = fullEvery_->value();
    options.keepArchives = keepArchives_->value();
    options.verifyArchive = verifyArchive_->isChecked();
    options.retries = retries_->value();
    options.connections = connections_->value();
    options.verifyChecksum = verify_->currentIndex() == 1;
    // Line breaks pasted into the field separate patterns as spaces do.
    options.exclude = exclude_->text().simplified().toStdString();
    const QString charset = charset_->currentText();
    options.charset = charset == "auto" ? std::string() : charset.toStdString();
}

void FTPOptions::keyPressEvent(QKeyEvent* event)
{
    // As on every page of the project dialog, Enter and Esc do nothing.
    if (vorn::editor::IsEnterOrEscape(event)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
