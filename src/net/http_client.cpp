#include "net/http_client.h"
