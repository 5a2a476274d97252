#include "directory/directory_client.h"
