#include "gui/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitVornResources()
{
    Q_INIT_RESOURCE(vornbackup);
}

namespace vorn {

void EnsureResources()
{
    static const bool done = [] {
        InitVornResources();
        return true;
    }();
    (void)done;
}

} // namespace vorn
