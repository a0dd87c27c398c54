#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
#include <vector>

// Folder contents shown in a file pane: name with its icon, size text and time text.
class FileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Name, Size, ModifyTime, ColumnCount };
    // The pane icons, in the order of the small image list.
    enum class Kind { Document, Folder, Parent, Error };

    struct Entry {
        Kind kind = Kind::Document;
        QString name;
        QString size;
        QString modifyTime;
    };

    explicit FileListModel(QObject* parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void SetEntries(std::vector<Entry> entries);
    void Clear();
    [[nodiscard]] const Entry* EntryAt(int row) const;

    static int ColumnWidth(int column);
    static QIcon SmallIcon(Kind kind);

private:
    std::vector<Entry> entries_;
};
