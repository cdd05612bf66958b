#include "app/version.h"

const char* const velkaroVersion = "v.20170127";

const std::string base64PaddingTexts[3] = {"", "==", "="};

const std::string silhouettesUrlPrefix = "/img/silhouettes";
const std::string picturesUrlPrefix = "/img/aircrafts";
