#include "rules/FilterRule.h"
