#pragma once

#include "views/FileListModel.h"

#include <QWidget>

class QLabel;
class QTableView;

// A pane that lists one folder: the list, and under it a caption and the folder's path.
// The two file panes share this shape; what fills them is theirs.
class FilePane : public QWidget {
    Q_OBJECT
public:
    FilePane(const QString& objectName, const QString& listName, const QString& caption,
        const QString& labelName, QWidget* parent = nullptr);

    // Deletes every row and empties the path label (the Clean commands).
    virtual void Clear();
    void SetPathText(const QString& path);
    [[nodiscard]] QString pathText() const;
    [[nodiscard]] int rowCount() const;

    [[nodiscard]] FileListModel* model() const { return model_; }
    [[nodiscard]] QTableView* list() const { return list_; }
    [[nodiscard]] QLabel* pathLabel() const { return pathLabel_; }

private:
    FileListModel* model_;
    QTableView* list_;
    QLabel* captionLabel_;
    QLabel* pathLabel_;
};
