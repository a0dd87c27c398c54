#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
#include <memory>
#include <string>
#include <vector>

class QFileIconProvider;

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
        // The name as the file system or the server gave it, byte for byte: what a
        // double-click walks into, even when the bytes are not valid UTF-8.
        std::string rawName = {};
        // Local entries: the full path, whose icon comes from the desktop's file icons.
        QString localPath = {};
    };

    explicit FileListModel(QObject* parent = nullptr);
    ~FileListModel() override;

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
    // Desktop icons of local entries, looked up when a row is first drawn: a large folder
    // costs nothing for the rows nobody scrolls to.
    mutable std::vector<QIcon> localIcons_;
    mutable std::unique_ptr<QFileIconProvider> iconProvider_;
};
