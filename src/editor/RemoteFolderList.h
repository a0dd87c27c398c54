#pragma once

#include "engine/ConnectionOps.h"

#include <QTreeWidget>
#include <string>
#include <vector>

// The remote folder list of the directory settings page and the destination dialog: rows of
// name, size text and display time, with ".." on top, then the folders, then the files.
class RemoteFolderList : public QTreeWidget {
    Q_OBJECT
public:
    enum Column { NameColumn, SizeColumn, TimeColumn };

    explicit RemoteFolderList(QWidget* parent = nullptr);

    // Replaces the rows by ".." and the listed entries. Listed "." and ".." entries, and names
    // that cannot be a single folder level (empty, "/", "\" or NUL inside), are left out.
    void Fill(const std::vector<vorn::RemoteEntry>& entries);

    // Column 0 takes what is left of the list's width (at least `nameWidth`); the other two
    // get these widths, widened when the font needs more room for a size or a date and time.
    void SetColumnWidths(int nameWidth, int sizeWidth, int timeWidth);

    [[nodiscard]] QString NameAt(int row) const;
    // The name exactly as the server listed it (its bytes need not be valid UTF-8).
    [[nodiscard]] std::string NameBytesAt(int row) const;
    [[nodiscard]] bool IsFileRow(int row) const;
    [[nodiscard]] int rowCount() const { return topLevelItemCount(); }

signals:
    // A double click on a row; the row index may be -1 when it fell on empty space.
    void rowDoubleClicked(int row);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
