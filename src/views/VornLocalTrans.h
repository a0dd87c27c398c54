#pragma once

#include "views/FilePane.h"

// The destination pane: the local folder of an Ftp->Local project, or the destination
// folder on the destination server of an Ftp->Ftp project, of the project last clicked.
class CVornLocalTrans : public FilePane {
    Q_OBJECT
public:
    explicit CVornLocalTrans(QWidget* parent = nullptr);
};
