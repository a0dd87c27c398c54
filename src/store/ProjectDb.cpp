#include "store/ProjectDb.h"
