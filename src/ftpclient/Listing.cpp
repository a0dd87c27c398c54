#include "ftpclient/Listing.h"
