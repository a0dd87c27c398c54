#pragma once

#include "store/ProjectOptions.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QSpinBox;

namespace vorn {
struct EditorState;
} // namespace vorn

// The "Options" page: the project options other than the backup mode (which the copy rules
// page sets). A new project starts from the defaults; Modify shows state.editedOptions.
class FTPOptions : public QWidget {
    Q_OBJECT
public:
    explicit FTPOptions(const vorn::EditorState& state, QWidget* parent = nullptr);

    // Writes every option but `incremental` into `options`.
    void Collect(vorn::ProjectOptions& options) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The exclude patterns with their syntax, and the code page of names.
    QGroupBox* MakeNamesGroup(const vorn::ProjectOptions& options);

    QSpinBox* fullEvery_;
    QSpinBox* keepArchives_;
    QCheckBox* verifyArchive_;
    QSpinBox* retries_;
    QSpinBox* connections_;
    QComboBox* verify_;
    QLineEdit* exclude_ = nullptr;
    QComboBox* charset_ = nullptr;
};
