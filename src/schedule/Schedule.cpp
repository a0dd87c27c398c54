#include "schedule/Schedule.h"
