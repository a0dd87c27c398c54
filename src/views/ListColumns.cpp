#include "views/ListColumns.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QTableView>
#include <algorithm>

namespace {

// Average character width of the 8-point dialog font the classic widths were chosen for.
constexpr double kClassicCharWidth = 6.0;
constexpr int kCellPadding = 16;

} // namespace

void ApplyColumnWidths(QTableView* list, const std::vector<int>& classicWidths, const QStringList& samples)
{
    const QFontMetrics cells(list->font());
    const QFontMetrics captions(list->horizontalHeader()->font());
    const double scale = std::max(1.0, cells.averageCharWidth() / kClassicCharWidth);
    for (int c = 0; c < static_cast<int>(classicWidths.size()); ++c) {
        int width = static_cast<int>(classicWidths[static_cast<std::size_t>(c)] * scale);
        const QString caption = list->model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        width = std::max(width, captions.horizontalAdvance(caption) + kCellPadding);
        if (c < samples.size() && !samples[c].isEmpty())
            width = std::max(width, cells.horizontalAdvance(samples[c]) + kCellPadding);
        list->horizontalHeader()->resizeSection(c, width);
    }
}
