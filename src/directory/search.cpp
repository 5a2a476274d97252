#include "directory/search.h"
