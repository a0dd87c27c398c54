#pragma once

#include "views/StatusListModel.h"

#include <QWidget>

class QLabel;
class QTableView;

// The "Transmission Window": every file the runs handled, newest first, and under it the
// result line of the last run. It only displays; rows come from the run on the GUI thread.
class CVornStatus : public QWidget {
    Q_OBJECT
public:
    explicit CVornStatus(QWidget* parent = nullptr);

    // Inserts a row at the top; the id finds the row later wherever it has moved to.
    StatusListModel::RowId AddRow(
        const QString& time, const QString& name, const QString& size, const QString& status);
    bool SetRowStatus(StatusListModel::RowId id, const QString& status, const QString& reason = {});
    void SetResultText(const QString& text);
    [[nodiscard]] QString resultText() const;
    // Deletes every row and empties the result line.
    void Clear();
    [[nodiscard]] int rowCount() const;

    [[nodiscard]] StatusListModel* model() const { return model_; }
    [[nodiscard]] QTableView* list() const { return list_; }
    [[nodiscard]] QLabel* resultLabel() const { return resultLabel_; }

private:
    StatusListModel* model_;
    QTableView* list_;
    QLabel* resultLabel_;
};
