#include "app/version.h"

const char* const velkaroVersion = "v.20170127";
