#include "views/VornRemoteTrans.h"

CVornRemoteTrans::CVornRemoteTrans(QWidget* parent)
    : FilePane("sourceView", "sourceList", "Source Folder Path: ", "sourceLabel", parent)
{
}
