#include "config/reload.h"
// placeholder: the reload is built with the settings
void CheckConfigUpdate() {}
void UpdateConfig() {}
