#pragma once

#include "views/FilePane.h"

// The source pane: the source folder of the project last clicked, on its FTP server.
class CVornRemoteTrans : public FilePane {
    Q_OBJECT
public:
    explicit CVornRemoteTrans(QWidget* parent = nullptr);
};
