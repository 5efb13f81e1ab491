#include "platform/unique_fd.h"
