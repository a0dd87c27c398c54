#include "store/BackupProject.h"
