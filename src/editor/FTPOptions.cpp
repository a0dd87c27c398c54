#include "editor/FTPOptions.h"

#include "editor/EditorState.h"
#include "editor/EditorWidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QKeyEvent>
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

} // namespace

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
