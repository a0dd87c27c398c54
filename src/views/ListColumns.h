#pragma once

#include <QStringList>
#include <vector>

class QTableView;

// Sets the column widths of a list from the classic pixel widths, scaled to the font in use
// and never narrower than the column's caption or a typical cell (`samples`, may be shorter
// than the column list), so a larger desktop font keeps the proportions without cutting the
// texts the user needs to read.
void ApplyColumnWidths(
    QTableView* list, const std::vector<int>& classicWidths, const QStringList& samples = {});
