#include "app/share_app.h"
