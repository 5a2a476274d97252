#include "directory/shared_files.h"
