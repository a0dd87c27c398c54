#pragma once

#include "engine/RunObserver.h"

#include <QString>

// The texts the window shows for the statuses a run reports: the status list's "Status" cell
// and the project list's "Transfer Status" cell.
[[nodiscard]] inline QString StatusText(vorn::FileStatus status)
{
    return QString::fromLatin1(vorn::FileStatusText(status));
}

[[nodiscard]] inline QString StatusText(vorn::ProjectStatus status)
{
    return QString::fromLatin1(vorn::ProjectStatusText(status));
}
