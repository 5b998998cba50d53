#include "config/settings.h"

#include "protocol/system.h"

const char* const configFileName = "VelmoraSpamAssassin.cfg";

namespace {
PluginMutex settingsMutex;
Immortal<std::shared_ptr<const Settings>> current(std::make_shared<const Settings>());
}  // namespace

std::shared_ptr<const Settings> CurrentSettings()
{
    PluginLock lock(settingsMutex);
    return *current;
}

void PublishSettings(Settings settings)
{
    auto next = std::make_shared<const Settings>(std::move(settings));
    PluginLock lock(settingsMutex);
    current->swap(next);
}

// placeholder: the settings reader is built in its own change
Settings ApplySettingsTree(const Settings& previous, std::shared_ptr<const cfgfItem>) { return previous; }
void ReadConfigFile() {}
