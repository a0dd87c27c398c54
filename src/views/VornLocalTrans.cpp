#include "views/VornLocalTrans.h"

CVornLocalTrans::CVornLocalTrans(QWidget* parent)
    : FilePane("destinationView", "destinationList", "Destination Folder Path: ", "destinationLabel", parent)
{
}
